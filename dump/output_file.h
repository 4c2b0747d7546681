// Files of the tools: an owning FILE handle, and an output that is written under a temporary
// name beside its final one and renamed only when complete, so that a crash, Ctrl-C or a full
// disk never leaves a half-written file under the final name.
#pragma once

#include <cstdio>  // std::FILE
#include <memory>  // std::unique_ptr
#include <string>  // std::string

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Closes `f` (if open) and reports whether everything written reached the file.
bool close_checked(file_ptr& f);

// True when both names exist and denote the same file.
bool same_file(const std::string& a, const std::string& b);

struct staged_output {
  std::string final_path;
  std::string temp_path;
  file_ptr file;     // open on temp_path while staged
  ~staged_output();  // removes the temporary file unless committed
};

// Creates the temporary file beside `path`. Refuses (returns a message) when `path` exists,
// is not an empty regular file and `force` is false, when it is the same file as `input`, or
// when the folder is not writable. Returns "" on success.
std::string stage_output(staged_output& out, const std::string& path, const std::string& input,
                         bool force);

// Flushes the temporary file to the disk, closes it and renames it to its final name.
// Returns "" or a message; on failure the temporary file is removed.
std::string commit_output(staged_output& out);
