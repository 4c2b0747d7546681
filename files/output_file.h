// Files of the tools: an owning FILE handle, the checks every output name passes (a new or
// regular file, never the input, never a link, device, FIFO or socket, never another output),
// and an output that is written under a temporary name beside its final one and renamed only
// when complete, so that a crash, a signal or a full disk never leaves a half-written file.
#pragma once

#include <cstdint>       // std::uint32_t, std::int64_t
#include <cstdio>        // std::FILE
#include <memory>        // std::unique_ptr
#include <string>        // std::string
#include <system_error>  // std::error_code
#include <vector>        // std::vector

#include "status/status.h"  // status

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Opens the dump at `path` for reading and measures it. Only a regular file will do: a
// folder, a device such as /dev/zero (endless) or a FIFO (opening it waits for a writer) is
// refused before it is opened. Succeeds with `file` open at its start and `bytes` set, or
// fails with a message naming the path and the reason.
status open_dump(const std::string& path, file_ptr& file, std::int64_t& bytes);

// Closes `f` (if open) and reports whether everything written reached the file.
bool close_checked(file_ptr& f);

// True when both names exist and denote the same file (links followed).
bool same_file(const std::string& a, const std::string& b);

// A system error number in words, for messages: "permission denied", "file too large".
std::string error_text(int error);
std::string error_text(const std::error_code& error);

// "cannot write NAME: <error_text(error)>", the message of every failed write of an output.
std::string write_failure(const std::string& name, int error);

// Checks a name given for an output, before anything is written. Refuses (returns a message)
// when `path` names a folder, a symbolic link (outputs are never written through links, and a
// link is not replaced either), a device, FIFO or socket; when it is the same file as `input`;
// when it is a regular file that is not empty and `force` is false; when its file name is
// longer than the system allows. Succeeds when `path` may be written. An empty `input` is
// no file. `hint` is added to the refusal of a device, FIFO or socket, for a program that can
// write the output to standard output instead ("use -o - for standard output"). Works on any
// string; writes and creates nothing.
status check_output_path(const std::string& path, const std::string& input, bool force,
                         const std::string& hint = "");

// One output of a command: the option that named it ("-o", "--csv") and the name.
struct named_output {
  std::string option;
  std::string path;
};

// Refuses two outputs that name the same file, and an output that names the input. Names that
// exist are compared by identity (hard and symbolic links included), others by their absolute,
// normalised path (case-insensitively on Windows). Empty names and "-" (standard output) are
// skipped. Fails with a message naming both options.
status check_output_names(const std::vector<named_output>& outputs, const std::string& input);

// The temporary name of an output whose file name (without folder) is `final_name`, made by
// process `pid` with the random `tag`: "<final_name>.part-<pid>-<8 hex digits>". When that
// would exceed 255 bytes, the final name is cut (at a UTF-8 character boundary) and a hash of
// it added, so the temporary name always fits and is still the same for every run.
std::string temp_name(const std::string& final_name, long pid, std::uint32_t tag);

// True when `name` is a temporary name temp_name made for `final_name`; sets `pid` to its maker.
bool parse_temp_name(const std::string& name, const std::string& final_name, long& pid);

// A temporary file of another run, found beside an output when it was staged.
struct leftover_temp {
  std::string path;
  long pid = 0;             // the process that made it
  bool maker_gone = false;  // no process of that id runs any more
  bool removed = false;     // maker gone and the file removed; else it was kept
};

struct staged_output {
  std::string final_path;
  std::string temp_path;
  std::string input;
  bool force = false;
  std::string hint;  // check_output_path's
  file_ptr file;     // open on temp_path while staged; a caller may take it over (see commit)
  int slot = -1;     // the platform's signal-cleanup slot
  std::vector<leftover_temp> leftovers;

  staged_output() = default;
  staged_output(const staged_output&) = delete;
  staged_output& operator=(const staged_output&) = delete;
  ~staged_output();  // removes the temporary file unless committed
};

// Checks `path` with check_output_path (and `hint`), looks beside it for temporary files of earlier
// runs (those of processes that are gone are removed, the others kept; all are listed in
// out.leftovers for the caller to report), then creates the temporary file (new, never through
// a name that appeared meanwhile) and tracks it for removal on a fatal signal. Fails with a
// message that says why (e.g. "permission denied", a missing folder).
// REQUIRES: `out` not staged yet.
status stage_output(staged_output& out, const std::string& path, const std::string& input,
                    bool force, const std::string& hint = "");

// Flushes the temporary file to the disk, closes it, checks the final name once more with
// check_output_path (it may have changed meanwhile) and renames the temporary file to it.
// When the caller took out.file over and closed it itself, the file is reopened to be synced.
// On failure the temporary file is removed.
status commit_output(staged_output& out);
