// Audit records: the JSON file that goes with every output of pagolinth-ecc, naming the tool's
// version, the command, the layout and code, the hashes of the input and of every output, the
// summary's counts and every changed bit, and the reading back of such a record to verify it.
// A library: it writes only to the file it is given, never prints and never exits.
#pragma once

#include <cstdint>  // std::int64_t
#include <cstdio>   // std::FILE
#include <ctime>    // std::time_t
#include <string>   // std::string
#include <vector>   // std::vector

#include "codec/codec.h"         // bch_code
#include "scan/dump_scan.h"      // scan_batch
#include "report/scan_report.h"  // scan_totals
#include "layout/layout.h"       // nand_layout
#include "status/status.h"       // status

// One file a record names: the input, or an output.
struct audit_file {
  std::string path;           // as given on the command line; "-" for standard output
  std::string absolute_path;  // as resolved when the record was made; "" for standard output
  std::int64_t bytes = -1;    // size, -1 when unknown
  std::string sha256;         // 64 lower-case hex digits, "" when not hashed
};

// How the changed bits of a pass are found, and what "changed" means in the record.
enum class audit_changes {
  written,  // fix, encode, inject: the output's pages against the input's, byte by byte
  decoded,  // check, extract: the bits the decoder corrected, at their offsets in the input
};

// What is known when the pass starts.
struct audit_head {
  std::string program;                    // e.g. "pagolinth-ecc"
  std::string command;                    // check, fix, encode, inject, extract or combine
  std::vector<std::string> command_line;  // every word, the program's name first
  std::string working_directory;
  std::string started_utc;              // audit_utc_time of the start
  const nand_layout* layout = nullptr;  // REQUIRES: set, check_layout passed
  const bch_code* code = nullptr;       // REQUIRES: set, built for the layout
  audit_file input;
  // A command over several reads of one chip: the reads after the first (`input`), at most
  // 15, recorded as input_2, input_3, ...
  std::vector<audit_file> more_inputs;
  audit_changes changes = audit_changes::written;
  // When a CSV lists the steps, its path: the record then refers to it instead of repeating
  // the bits (counts are still given). "" lists them in the record.
  std::string changes_in_csv;
};

// What is known when the pass and every output are complete.
struct audit_tail {
  std::string ended_utc;
  scan_totals totals;           // the summary's counts
  std::int64_t tail_bytes = 0;  // bytes after the last whole page of the input
  bool has_output = false;
  audit_file output;  // the dump or image written, when has_output
  std::vector<std::pair<std::string, audit_file>> side_files;  // e.g. {"csv", ...}, {"map", ...}
  int exit_status = 0;                                         // the status the command ends with
};

// The state of a record being written: the head, then the changed steps one by one, then the
// tail. Memory does not grow with the number of changes.
struct audit_writer {
  std::FILE* file = nullptr;  // not owned
  const nand_layout* layout = nullptr;
  audit_changes changes = audit_changes::written;
  bool listing = true;             // false when the CSV lists the steps
  std::int64_t steps_changed = 0;  // steps with at least one changed bit
  std::int64_t bits_0_to_1 = 0;    // changed bits that were 0 in the input and are 1 now
  std::int64_t bits_1_to_0 = 0;
  bool failed = false;  // a write to `file` failed
};

// "2025-01-31T23:59:59Z" for `when`; "" when the time cannot be represented.
std::string audit_utc_time(std::time_t when);

// Starts the record on `file` (opened for writing, empty) with the head. Fails when a write
// failed.
status audit_begin(audit_writer& w, std::FILE* file, const audit_head& head);

// Adds the steps of a batch whose bits changed: with audit_changes::written, `input` holds the
// same pages as read from the input (batch.pages raw pages) and every differing bit inside a
// step's data, protected or ECC bytes is listed; with audit_changes::decoded, `input` is not
// read and the decoder's fixes of the batch are listed. Steps are listed in page order, each
// with its page, its index in the page, the dump offset of its first data byte, the decoder's
// verdict (not with encode or inject, which decode nothing) and its bits: dump offset, bit
// (0 = least significant, as stored) and the value read. Returns false when writing failed.
// REQUIRES: audit_begin succeeded; batches in page order.
bool audit_add_batch(audit_writer& w, const scan_batch& batch, const unsigned char* input,
                     bool with_status);

// Ends the record with the tail. Fails when a write failed, earlier or now. The file is
// flushed but not closed.
status audit_end(audit_writer& w, const audit_tail& tail);

// What verify finds for one file a record names.
enum class audit_problem {
  none,        // the file is as recorded
  changed,     // its SHA-256 differs from the recorded one
  missing,     // no file at any of the names tried
  unreadable,  // it exists but is not hashed (see `why`): no regular file (a device, a FIFO, a
               // folder), a read failed, or it holds more than its size says (a /proc file)
};

// Where verify found a file a record names. A record travels with its outputs (a case folder
// copied or moved), so the file beside the record is the one that counts.
enum class audit_place {
  beside,          // beside the record: the path as given taken from the record's folder, or the
                   // file's name in that folder
  absolute,        // only at the recorded absolute path: no copy beside the record
  working_folder,  // only at the path as given, taken from the working folder: no copy beside
                   // the record, and none at the recorded absolute path
};

struct audit_check {
  std::string role;  // "input", "input_2" ... (the reads of a combine), "output", "csv", ...
  // The name hashed, absolute; for a missing file the first name looked at, where the copy
  // beside the record would be.
  std::string path;
  audit_place place = audit_place::beside;  // where `path` is; beside for a missing file
  std::vector<std::string> also_tried;      // missing: the other names looked at, in order
  std::string recorded;                     // the recorded SHA-256
  std::string found;  // the SHA-256 now, "" when the file is missing or unreadable
  audit_problem problem = audit_problem::none;
  std::string why;  // unreadable: why it is not hashed, one line
};

// Reads the record at `path` and hashes again every file it names, in the order input (and the
// other inputs of a combine, input_2 ...), output,
// csv, map, report. A file is looked for beside the record first (the path as given taken from
// the record's folder, then the file's name in that folder), then at its recorded absolute path,
// then at the path as given taken from the working folder; the first name that exists is
// hashed, and `place` tells which it was. `skipped` gets one line for each file that cannot be
// re-read (an output that went to standard output). The record is read as it streams, keeping
// only the names and hashes of its files: memory does not grow with its size (a fix record
// lists every changed bit). Succeeds when the record was read, whatever the files' state (see
// each check's `problem`); fails, with one line, when it cannot be read; when it is no regular
// file (a folder, a device, a FIFO: refused unread, "DIR is a folder, not an audit record");
// when it does not start as a pagolinth audit record does (an object whose first member is
// "record" naming the kind), which ends the reading there; when a value in it is longer than
// 1 MiB or nests deeper than any record; when it is no JSON, or record_version is not 1.
status audit_verify(const std::string& path, std::vector<audit_check>& files,
                    std::vector<std::string>& skipped);
