// pagolinth-ecc: checks, corrects and re-encodes every ECC step of a NAND dump on any page
// layout, extracts the corrected user data, injects bit errors for testing, and finds a dump's
// ECC convention. A user of the layouts (layout/), the engine (codec/) and the streaming pass
// (scan/).
#include <CLI/CLI.hpp>  // CLI::App, CLI::ParseError
#ifndef _WIN32
#include <unistd.h>  // write, STDERR_FILENO
#endif

#include <algorithm>   // std::stable_sort, std::min, std::max
#include <cerrno>      // errno
#include <chrono>      // std::chrono::steady_clock, std::chrono::system_clock
#include <csignal>     // std::signal, SIGBUS
#include <cinttypes>   // PRId64
#include <cstdio>      // std::printf, std::fprintf, std::fopen, std::fread, std::fwrite
#include <cstdlib>     // std::_Exit, std::atexit
#include <ctime>       // std::time
#include <filesystem>  // std::filesystem::path
#include <memory>      // std::unique_ptr
#include <string>      // std::string
#include <thread>      // std::thread::hardware_concurrency
#include <utility>     // std::move
#include <vector>      // std::vector

#include "audit/audit_record.h"  // audit_writer, audit_begin, audit_add_batch, audit_end
#include "codec/codec.h"         // bch_code, bch_decode
#include "codec/layout_code.h"   // build_layout_code, code_text, mask_name
#include "files/file_digest.h"   // sha256_of_file, sha256_of_path
#include "scan/dump_scan.h"      // run_scan, find_bad_blocks
#include "detect/evidence.h"     // chance_of_decoding, log10_chance_of_at_least, odds_text
#include "files/output_file.h"   // file_ptr, open_dump, staged_output, check_output_names
#include "report/report_text.h"  // counted
#include "report/scan_report.h"  // scan_report, report_*, summary_lines, layout_label
#include "layout/layout.h"       // nand_layout, default_layout, check_layout, gather_message
#include "layout/layout_file.h"  // read_layout_file
#include "platform/platform.h"   // platform_is_terminal, platform_stdout_is
#include "report/html_report.h"  // write_html_report; report_stats, report_stats_batch
#include "tools/ecc_detect.h"    // add_detect_command, run_detect_command
#include "version/version.h"     // pagolinth_version_text

namespace {

constexpr int kMaxFlips = 64;

// Exit statuses.
constexpr int kAllGood = 0;
constexpr int kUncorrectable = 1;
constexpr int kUsage = 2;

struct ecc_options {
  std::string layout_file;
  std::int32_t page_size = 2048;
  std::int32_t spare_size = 64;
  std::int32_t block_pages = 64;
  int t = 8;
  std::string bit_order = "msb";
  std::string ecc_mask = "none";
  int threads = 1;
  std::string dump;
  std::string out;
  std::string csv;
  std::string map;
  std::string report;        // --report FILE.html
  std::string command_text;  // the words the tool was run with, shell-quoted
  bool force = false;
  std::string flips;
  std::uint64_t seed = 1;
  int probe_sectors = 256;
  std::string bad_blocks;  // extract: "skip", "keep", or "" for the default
  bool with_protected = false;
  std::string audit;      // the audit record's name; "" for the default beside the output
  bool no_audit = false;  // --no-audit
  std::vector<std::string> command_line;  // every word as given, for the audit record
};

// The options that describe the built-in layout, which a layout file replaces.
struct shorthand_options {
  std::vector<CLI::Option*> options;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "pagolinth-ecc: %s\n", message.c_str());
  return kUsage;
}

// The word as a POSIX shell reads it back unchanged: bare when it holds only characters
// no shell treats specially, otherwise in single quotes.
std::string quoted(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_@%+=:,./-") == std::string::npos;
  if (plain)
    return word;
  std::string q = "'";
  for (char c : word)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The progress line on standard error: percentage, speed and time left, a few times a second,
// only when standard error is a terminal.
class progress_line {
 public:
  progress_line(const char* verb, std::int64_t total)
      : verb_(verb), total_(total), shown_(platform_is_terminal(stderr)) {}
  ~progress_line() {
    if (shown_ && printed_)
      std::fprintf(stderr, "\r%60s\r", "");
  }
  void operator()(std::int64_t done) {
    if (!shown_ || total_ <= 0)
      return;
    const auto now = std::chrono::steady_clock::now();
    if (printed_ && now - last_ < std::chrono::milliseconds(250))
      return;
    last_ = now;
    printed_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
    std::fprintf(stderr, "\r%s: %5.1f%%  %8.1f MB/s  %d:%02d left   ", verb_,
                 100.0 * static_cast<double>(done) / static_cast<double>(total_), rate / 1e6,
                 static_cast<int>(left) / 60, static_cast<int>(left) % 60);
    std::fflush(stderr);
  }

 private:
  const char* verb_;
  std::int64_t total_;
  bool shown_;
  bool printed_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_;
};

// The layout a command works on: the file given with --layout, or the built-in layout for the
// geometry and code options.
std::string make_layout(const ecc_options& o, nand_layout& layout) {
  if (!o.layout_file.empty())
    return read_layout_file(o.layout_file, layout).message;
  if (o.page_size < 512 && o.page_size >= 1)
    return "a page of less than 512 bytes holds no sector";
  layout = default_layout(o.page_size, o.spare_size, o.block_pages);
  layout.code.t = o.t;
  layout.code.lsb_first = o.bit_order == "lsb";
  layout.code.mask = o.ecc_mask == "erased-ff" ? layout_mask::erased_ff : layout_mask::none;
  return check_layout(layout).message;
}

// The layout a command works on and its code, built and checked against each other.
std::string layout_and_code(const ecc_options& o, nand_layout& layout, bch_code& code) {
  if (std::string e = make_layout(o, layout); !e.empty())
    return e;
  return build_layout_code(layout, code).message;
}

void print_layout_lines(std::FILE* to, const nand_layout& layout, const bch_code& code) {
  std::fprintf(to, "layout:          %s\n", layout_label(layout).c_str());
  std::fprintf(to, "code:            %s\n", code_text(layout.code, code.ecc_bytes).c_str());
}

#ifdef SIGBUS
// check maps the dump: should another program shorten it meanwhile, reading the vanished part
// raises SIGBUS. That ends the run with a message and status 2 instead of a crash; write(2),
// for stdio may be locked by the thread the signal interrupted.
extern "C" void on_dump_shrunk(int) {
  static const char message[] =
      "pagolinth-ecc: the dump became shorter while it was being read; nothing is reported\n";
  [[maybe_unused]] const auto written = write(STDERR_FILENO, message, sizeof message - 1);
  std::_Exit(kUsage);
}
#endif

// Refuses a dump too short to hold one whole page: an empty file, or a /proc file that
// reports no size, has nothing to check, which must not pass for a clean dump.
struct opened_dump {
  file_ptr file;
  std::int64_t bytes = 0;
};

std::string require_whole_page(const std::string& path, std::int64_t bytes,
                               std::int64_t page_bytes) {
  if (bytes >= page_bytes)
    return "";
  return path + " holds no whole page (" + counted(bytes, "byte", "bytes") +
         "; a page with its spare is " + counted(page_bytes, "byte", "bytes") + ")";
}

// The hash of what goes to standard output, for the audit record of "-o -"; null otherwise.
platform_sha256* g_stdout_hash = nullptr;
std::int64_t g_stdout_bytes = 0;

// Writes an output's bytes; what goes to standard output is hashed on the way, for it cannot
// be read back.
bool put_output(const void* data, std::size_t bytes, std::FILE* out) {
  if (std::fwrite(data, 1, bytes, out) != bytes)
    return false;
  if (out == stdout && g_stdout_hash) {
    platform_sha256_update(*g_stdout_hash, data, bytes);
    g_stdout_bytes += static_cast<std::int64_t>(bytes);
  }
  return true;
}

// Copies the last `bytes` bytes (the tail after the whole pages) from `in` to `out`.
bool copy_tail(std::FILE* in, std::FILE* out, std::int64_t bytes) {
  std::vector<unsigned char> buffer(64 * 1024);
  while (bytes > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(bytes, 64 * 1024));
    if (std::fread(buffer.data(), 1, n, in) != n)
      return false;
    if (out && !put_output(buffer.data(), n, out))
      return false;
    bytes -= static_cast<std::int64_t>(n);
  }
  return true;
}

std::string default_output(const std::string& dump) {
  return (std::filesystem::u8path(dump).parent_path() / "Dump_New.bin").u8string();
}

enum class command { check, fix, encode, inject, extract };

// Writes the user data (and with --protected the protected bytes) of every page of a batch,
// leaving out the blocks that are skipped as bad.
class extractor {
 public:
  extractor(const nand_layout& layout, std::vector<std::int64_t> skipped, bool with_protected)
      : layout_(layout), skipped_(std::move(skipped)), with_protected_(with_protected) {}

  bool write(const scan_batch& batch, std::FILE* out) {
    const std::int64_t page_bytes = raw_page_bytes(layout_);
    buffer_.clear();
    for (std::int64_t p = 0; p < batch.pages; ++p) {
      const std::int64_t block = (batch.first_page + p) / layout_.block_pages;
      while (next_ < skipped_.size() && skipped_[next_] < block)
        ++next_;
      if (next_ < skipped_.size() && skipped_[next_] == block)
        continue;
      const unsigned char* page = batch.bytes + p * page_bytes;
      for (const layout_step& step : layout_.steps)
        append(page, step.data);
      if (with_protected_) {
        for (const layout_step& step : layout_.steps)
          append(page, step.protected_);
      }
      ++pages_;
    }
    return buffer_.empty() || put_output(buffer_.data(), buffer_.size(), out);
  }

  std::int64_t pages() const { return pages_; }

 private:
  void append(const unsigned char* page, const std::vector<layout_span>& spans) {
    for (const layout_span& span : spans)
      buffer_.insert(buffer_.end(), page + span.offset, page + span.offset + span.length);
  }

  const nand_layout& layout_;
  std::vector<std::int64_t> skipped_;  // ascending
  bool with_protected_;
  std::size_t next_ = 0;
  std::int64_t pages_ = 0;
  std::vector<unsigned char> buffer_;
};

// Where a command writes a dump, "-o -" sends it to standard output.
constexpr char kStdout[] = "-";

// Set once a failure to write standard output has been reported, so it is reported once.
bool g_stdout_failed = false;

std::string stdout_failure(int error) {
  g_stdout_failed = true;
  return "cannot write to standard output: " +
         (error != 0 ? error_text(error) : std::string("an earlier write failed"));
}

// Every way out of main passes here (exit runs it): a report that never reached the user must
// not pass for success. std::_Exit, for exit must not run twice. stdout is flushed, not
// closed: destructors of static objects may still come after this and touch it.
void check_stdout_at_exit() {
  if (g_stdout_failed)
    return;
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int error = errno;
  if (flushed && !std::ferror(stdout))
    return;
  std::fprintf(stderr, "pagolinth-ecc: %s\n", stdout_failure(error).c_str());
  std::_Exit(kUsage);
}
[[maybe_unused]] const bool g_stdout_checked = std::atexit(check_stdout_at_exit) == 0;

// The outputs of a pass, in the order of `named`: each staged, or null when not asked for or
// written to standard output.
using staged_list = std::vector<std::unique_ptr<staged_output>>;

// Checks every output against the input and the others, then stages each. Only "-o" may be
// "-", and only when standard output is not a terminal nor the input. Leftover temporary files
// of interrupted runs are reported on standard error. A new output is one more entry in
// `named`.
std::string stage_outputs(const std::vector<named_output>& named, const std::string& input,
                          bool force, staged_list& staged) {
  for (const named_output& n : named) {
    if (n.path != kStdout)
      continue;
    if (n.option != "-o")
      return n.option + " -: only the dump can go to standard output (-o -); name a file";
    if (platform_is_terminal(stdout))
      return "-o -: standard output is a terminal; redirect it to a file or a pipe";
    if (platform_stdout_is(input))
      return "-o -: standard output is the input; the input is never written to";
  }
  if (status e = check_output_names(named, input); !e.ok())
    return e.message;
  for (const named_output& n : named) {
    staged.emplace_back();
    if (n.path.empty() || n.path == kStdout)
      continue;
    staged.back() = std::make_unique<staged_output>();
    const std::string e = stage_output(*staged.back(), n.path, input, force).message;
    for (const leftover_temp& l : staged.back()->leftovers) {
      if (l.removed) {
        std::fprintf(stderr,
                     "pagolinth-ecc: warning: removed %s, left by an interrupted run (process "
                     "%ld)\n",
                     l.path.c_str(), l.pid);
      } else if (l.maker_gone) {
        std::fprintf(stderr,
                     "pagolinth-ecc: warning: %s, left by an interrupted run (process %ld), is "
                     "not a regular file or could not be removed; left alone\n",
                     l.path.c_str(), l.pid);
      } else {
        std::fprintf(stderr,
                     "pagolinth-ecc: warning: %s is a temporary file of process %ld, which may "
                     "still run; left alone\n",
                     l.path.c_str(), l.pid);
      }
    }
    if (!e.empty())
      return e;
  }
  return "";
}

// The open file of a staged output, or null.
std::FILE* file_of(const staged_list& staged, std::size_t i) {
  return staged[i] ? staged[i]->file.get() : nullptr;
}

// Takes the open file of a staged output over (for the report, which closes it), or null.
file_ptr take_file(staged_list& staged, std::size_t i) {
  return staged[i] ? std::move(staged[i]->file) : file_ptr{};
}

// The HTML report of --report, written into its staged file once the pass is complete. The
// dump's SHA-256 is `dump_sha256` when the audit record has taken it already, else taken here.
std::string write_report_page(const ecc_options& o, const nand_layout& layout, const bch_code& code,
                              std::FILE* dump, std::int64_t dump_bytes, std::int64_t tail,
                              const std::string& dump_sha256, const scan_report& report,
                              const report_stats& stats, std::FILE* to) {
  report_header h;
  h.dump_name = o.dump;
  h.dump_bytes = dump_bytes;
  h.tail_bytes = tail;
  h.sha256 = dump_sha256;
  if (h.sha256.empty()) {
    if (status hashed = sha256_of_file(dump, h.sha256); !hashed.ok())
      return o.dump + ": " + hashed.message;
  }
  h.code_text = code_text(layout.code, code.ecc_bytes);
  h.version = pagolinth_version_text("pagolinth-ecc");
  h.command_line = o.command_text;
  h.time = std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count();
  errno = 0;
  if (!write_html_report(to, h, report, stats) || std::fflush(to) != 0)
    return write_failure(o.report, errno);
  return "";
}

// OUT.audit.json beside OUT; when that file name would pass the 255 bytes file systems allow,
// OUT's name is cut (at a UTF-8 character boundary) and a hash of it added, so that a long
// output name still gets its record, under a name that is the same for every run.
std::string default_record_name(const std::string& out_path) {
  constexpr char kSuffix[] = ".audit.json";
  constexpr std::size_t kLongest = 255;
  const std::filesystem::path p = std::filesystem::u8path(out_path);
  const std::string name = p.filename().u8string();
  if (name.size() + sizeof kSuffix - 1 <= kLongest)
    return out_path + kSuffix;
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : name)
    hash = (hash ^ c) * 16777619u;
  std::size_t keep = kLongest - (sizeof kSuffix - 1) - 9;
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
    --keep;
  char tag[16];
  std::snprintf(tag, sizeof tag, "-%08x", static_cast<unsigned>(hash));
  return (p.parent_path() / std::filesystem::u8path(name.substr(0, keep) + tag + kSuffix))
      .u8string();
}

std::string absolute_name(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::absolute(std::filesystem::u8path(path), ec);
  return ec ? path : p.u8string();
}

// A finished output as its audit record names it: size and SHA-256 read back from the file.
std::string hashed_output(const std::string& path, audit_file& f) {
  f.path = path;
  f.absolute_path = absolute_name(path);
  std::error_code ec;
  const auto size = std::filesystem::file_size(std::filesystem::u8path(path), ec);
  f.bytes = ec ? -1 : static_cast<std::int64_t>(size);
  const status hashed = sha256_of_path(path, f.sha256);
  return hashed.ok() ? "" : "cannot hash " + path + " for the audit record: " + hashed.message;
}

// check, fix, encode, inject and extract: one streaming pass, with or without an output.
int run_pass(const ecc_options& o, command cmd) {
  const std::string started = audit_utc_time(std::time(nullptr));
  const char* verb = cmd == command::check    ? "check"
                     : cmd == command::fix    ? "fix"
                     : cmd == command::encode ? "encode"
                     : cmd == command::inject ? "inject"
                                              : "extract";
  nand_layout layout;
  bch_code code;
  if (std::string e = layout_and_code(o, layout, code); !e.empty())
    return fail(e);

  scan_settings s;
  s.layout = &layout;
  s.code = &code;
  s.action = cmd == command::check    ? scan_action::check
             : cmd == command::encode ? scan_action::encode
             : cmd == command::inject ? scan_action::inject
                                      : scan_action::fix;
  s.threads = o.threads;
  s.seed = o.seed;
  if (cmd == command::inject) {
    int a = 0, b = 0;
    char dash = 0, extra = 0;
    const int n = std::sscanf(o.flips.c_str(), "%d%c%d%c", &a, &dash, &b, &extra);
    if (n == 1)
      b = a;
    if (!((n == 1) || (n == 3 && dash == '-')) || a < 0 || b < a || b > kMaxFlips)
      return fail("--flips takes N or MIN-MAX, from 0 to " + std::to_string(kMaxFlips));
    s.flips_min = a;
    s.flips_max = b;
  }
  const bool skip_bad =
      cmd == command::extract &&
      (o.bad_blocks == "skip" || (o.bad_blocks.empty() && layout.bad_block.present));
  if (skip_bad && !layout.bad_block.present)
    return fail("--bad-blocks skip needs a layout that names a bad-block marker ([bad_block])");

  opened_dump dump;
  if (status e = open_dump(o.dump, dump.file, dump.bytes); !e.ok())
    return fail(e.message);
  const std::int64_t page_bytes = raw_page_bytes(layout);
  if (std::string e = require_whole_page(o.dump, dump.bytes, page_bytes); !e.empty())
    return fail(e);
  const std::int64_t pages = dump.bytes / page_bytes;
  const std::int64_t tail = dump.bytes - pages * page_bytes;
  std::vector<std::int64_t> bad_blocks;
  if (status e = find_bad_blocks(dump.file.get(), dump.bytes, layout, bad_blocks); !e.ok())
    return fail(o.dump + ": " + e.message);

  // The dump (or image), the CSV, the map and the HTML report, in this order in `named` and
  // `staged`.
  const bool writes = cmd != command::check;
  const bool reports = cmd == command::check || cmd == command::fix || cmd == command::extract;
  const std::string out_path = !writes ? "" : o.out.empty() ? default_output(o.dump) : o.out;
  const bool to_stdout = out_path == kStdout;
  // The audit record goes beside the output unless named or refused; check, and a dump on
  // standard output, have one only when it is named.
  const std::string audit_path = o.no_audit             ? ""
                                 : !o.audit.empty()     ? o.audit
                                 : writes && !to_stdout ? default_record_name(out_path)
                                                        : "";
  audit_file input_file;
  if (!audit_path.empty()) {
    input_file.path = o.dump;
    input_file.absolute_path = absolute_name(o.dump);
    input_file.bytes = dump.bytes;
    if (status hashed = sha256_of_file(dump.file.get(), input_file.sha256); !hashed.ok())
      return fail(o.dump + ": " + hashed.message);
  }
  const std::vector<named_output> named = {{"-o", out_path},
                                           {"--csv", reports ? o.csv : ""},
                                           {"--map", reports ? o.map : ""},
                                           {"--report", reports ? o.report : ""},
                                           {"--audit", audit_path}};
  constexpr std::size_t kOut = 0, kCsv = 1, kMap = 2, kReport = 3, kAudit = 4;
  staged_list staged;
  if (std::string e = stage_outputs(named, o.dump, o.force, staged); !e.empty())
    return fail(e);
  std::FILE* out = to_stdout ? stdout : file_of(staged, kOut);
  const std::string out_name = to_stdout ? "standard output" : out_path;
  if (to_stdout) {
    platform_binary_stdout();
    platform_ignore_file_size_signal();
  }
  // With the dump on standard output, the report goes to standard error.
  std::FILE* info = to_stdout ? stderr : stdout;
  scan_report report;
  report_open(report, s, pages, bad_blocks, o.dump, take_file(staged, kCsv),
              take_file(staged, kMap));

  const bool wants_report = reports && !o.report.empty();
  report_stats stats;
  if (wants_report)
    report_stats_open(stats, layout, code.t, pages, bad_blocks);
  // The record lists what the output changed against the input where both are dumps; for
  // check and extract, the decoder's corrections.
  const audit_changes changes = cmd == command::check || cmd == command::extract
                                    ? audit_changes::decoded
                                    : audit_changes::written;
  const bool with_status = cmd != command::encode && cmd != command::inject;
  std::FILE* const audit_out = file_of(staged, kAudit);
  audit_writer audit;
  platform_sha256 stdout_hash;
  if (audit_out) {
    audit_head head;
    head.program = "pagolinth-ecc";
    head.command = verb;
    head.command_line = o.command_line;
    std::error_code ec;
    head.working_directory = std::filesystem::current_path(ec).u8string();
    head.started_utc = started;
    head.layout = &layout;
    head.code = &code;
    head.input = input_file;
    head.changes = changes;
    head.changes_in_csv = reports ? o.csv : "";
    errno = 0;
    if (!audit_begin(audit, audit_out, head).ok())
      return fail(write_failure(audit_path, errno));
    if (to_stdout)
      g_stdout_hash = &stdout_hash;
  }
  std::vector<unsigned char> input_pages;  // a batch's pages as read, for the record

  extractor extract(layout, skip_bad ? bad_blocks : std::vector<std::int64_t>{}, o.with_protected);
#ifdef SIGBUS
  std::signal(SIGBUS, on_dump_shrunk);
#endif
  progress_line progress(verb, dump.bytes);
  std::string write_error;  // reported as it is, not as a fault of the dump
  const status scanned = run_scan(
      dump.file.get(), dump.bytes, s,
      [&](const scan_batch& batch) -> status {
        errno = 0;
        if (!report_batch(report, batch)) {
          const bool csv_failed = report.csv && std::ferror(report.csv.get());
          write_error = write_failure(csv_failed ? o.csv : o.map, errno);
          return status::error(write_error);
        }
        if (wants_report)
          report_stats_batch(stats, batch);
        if (audit_out) {
          const unsigned char* before = nullptr;
          if (changes == audit_changes::written) {
            input_pages.resize(static_cast<std::size_t>(batch.pages * page_bytes));
            if (!platform_read_at(dump.file.get(), batch.first_page * page_bytes,
                                  input_pages.data(), input_pages.size())) {
              return status::error("cannot read the dump again for the audit record");
            }
            before = input_pages.data();
          }
          errno = 0;
          if (!audit_add_batch(audit, batch, before, with_status)) {
            write_error = write_failure(audit_path, errno);
            return status::error(write_error);
          }
        }
        bool ok = true;
        if (cmd == command::extract) {
          ok = extract.write(batch, out);
        } else if (writes) {
          const auto bytes = static_cast<std::size_t>(batch.pages * page_bytes);
          ok = put_output(batch.bytes, bytes, out);
        }
        if (!ok) {
          write_error = to_stdout ? stdout_failure(errno) : write_failure(out_name, errno);
          return status::error(write_error);
        }
        return status::success();
      },
      [&](std::int64_t done) { progress(done); });
  if (!write_error.empty())
    return fail(write_error);
  if (!scanned.ok())
    return fail(o.dump + ": " + scanned.message);
  const bool copies_tail = writes && cmd != command::extract;
  errno = 0;
  if (!copy_tail(dump.file.get(), copies_tail ? out : nullptr, tail)) {
    if (copies_tail && std::ferror(out))
      return fail(to_stdout ? stdout_failure(errno) : write_failure(out_name, errno));
    return fail("cannot copy the tail of " + o.dump);
  }
  if (status e = report_close(report); !e.ok())
    return fail(e.message);
  if (wants_report) {
    if (std::string e =
            write_report_page(o, layout, code, dump.file.get(), dump.bytes, tail, input_file.sha256,
                              report, stats, file_of(staged, kReport));
        !e.empty())
      return fail(e);
  }
  if (to_stdout) {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
      return fail(stdout_failure(errno));
  }
  // The record is committed last, so that an output that fails leaves none.
  for (std::size_t i = 0; i < staged.size(); ++i) {
    if (!staged[i] || i == kAudit)
      continue;
    if (status e = commit_output(*staged[i]); !e.ok())
      return fail(e.message);
  }
  int verdict = kAllGood;
  if (cmd != command::encode && cmd != command::inject)
    verdict = uncorrectable_outside_bad_blocks(report) > 0 ? kUncorrectable : kAllGood;
  if (audit_out) {
    audit_tail ending;
    ending.totals = report.totals;
    ending.tail_bytes = tail;
    ending.exit_status = verdict;
    ending.has_output = writes;
    if (to_stdout) {
      ending.output.path = kStdout;
      ending.output.bytes = g_stdout_bytes;
      ending.output.sha256 = platform_sha256_hex(stdout_hash);
      g_stdout_hash = nullptr;
    } else if (writes) {
      if (std::string e = hashed_output(out_path, ending.output); !e.empty())
        return fail(e);
    }
    const std::pair<const char*, const std::string*> sides[] = {
        {"csv", &o.csv}, {"map", &o.map}, {"report", &o.report}};
    for (const auto& [role, path] : sides) {
      if (!reports || path->empty())
        continue;
      audit_file f;
      if (std::string e = hashed_output(*path, f); !e.empty())
        return fail(e);
      ending.side_files.emplace_back(role, f);
    }
    ending.ended_utc = audit_utc_time(std::time(nullptr));
    errno = 0;
    if (!audit_end(audit, ending).ok())
      return fail(write_failure(audit_path, errno));
    if (status e = commit_output(*staged[kAudit]); !e.ok())
      return fail(e.message);
  }

  std::fprintf(info, "dump:            %s, %" PRId64 " bytes\n", o.dump.c_str(), dump.bytes);
  print_layout_lines(info, layout, code);
  if (reports) {
    for (const std::string& line : summary_lines(report, tail))
      std::fprintf(info, "%s\n", line.c_str());
  } else {
    std::fprintf(info, "pages:           %" PRId64 ", %s\n", report.totals.pages,
                 counted(report.totals.sectors, "sector", "sectors").c_str());
    if (cmd == command::inject)
      std::fprintf(info, "bits flipped:    %" PRId64 "\n", report.totals.injected_bits);
    if (tail > 0)
      std::fprintf(info, "tail:            %s copied unchanged\n",
                   counted(tail, "byte", "bytes").c_str());
  }
  if (cmd == command::extract) {
    const std::int64_t as_read =
        report.totals.uncorrectable - (skip_bad ? report.totals.bad_block_uncorrectable : 0);
    std::fprintf(
        info, "extracted:       %" PRId64 " %s%s; %" PRId64 " uncorrectable %s written as read\n",
        extract.pages(), extract.pages() == 1 ? "page" : "pages",
        o.with_protected ? ", protected bytes after each page's data" : "", as_read,
        as_read == 1 ? "sector" : "sectors");
    if (skip_bad) {
      std::fprintf(info, "skipped:         %zu %s\n", bad_blocks.size(),
                   bad_blocks.size() == 1 ? "bad block" : "bad blocks");
    }
  }
  if (writes)
    std::fprintf(info, "written:         %s\n", out_name.c_str());
  if (!o.csv.empty() && reports)
    std::fprintf(info, "csv:             %s\n", o.csv.c_str());
  if (!o.map.empty() && reports)
    std::fprintf(info, "map:             %s\n", o.map.c_str());
  if (wants_report)
    std::fprintf(info, "report:          %s\n", o.report.c_str());
  if (audit_out)
    std::fprintf(info, "audit:           %s\n", audit_path.c_str());
  else if (writes && to_stdout && !o.no_audit)
    std::fprintf(
        info,
        "audit:           none (the output went to standard output; --audit FILE writes one)\n");
  // Standard output is flushed and checked on the way out (check_stdout_at_exit), where a
  // failure is still reported with its cause.
  return verdict;
}

// verify-audit: hashes again the files an audit record names.
int run_verify_audit(const std::string& record) {
  std::vector<audit_check> files;
  std::vector<std::string> skipped;
  if (status e = audit_verify(record, files, skipped); !e.ok())
    return fail(e.message);
  int verdict = kAllGood;
  for (const audit_check& c : files) {
    if (c.problem == audit_problem::none) {
      std::printf("%-7s matches  %s\n", (c.role + ":").c_str(), c.path.c_str());
      continue;
    }
    verdict = kUncorrectable;
    std::printf("%-7s %s  %s\n", (c.role + ":").c_str(),
                c.problem == audit_problem::changed   ? "CHANGED"
                : c.problem == audit_problem::missing ? "MISSING"
                                                      : "UNREADABLE",
                c.path.c_str());
    if (c.problem == audit_problem::changed)
      std::printf("         recorded sha256 %s\n         now      sha256 %s\n", c.recorded.c_str(),
                  c.found.c_str());
    else if (c.problem == audit_problem::unreadable)
      std::printf("         %s\n", c.why.c_str());
  }
  for (const std::string& line : skipped)
    std::printf("note:   %s\n", line.c_str());
  std::printf(verdict == kAllGood
                  ? "verified: every file the record names is as recorded\n"
                  : "NOT verified: a file the record names differs from the record\n");
  return verdict;
}

int run_layout(const ecc_options& o) {
  nand_layout layout;
  bch_code code;
  if (std::string e = layout_and_code(o, layout, code); !e.empty())
    return fail(e);
  std::fputs(layout_to_toml(layout).c_str(), stdout);
  return kAllGood;
}

struct probe_candidate {
  layout_code code;
  std::int64_t clean = 0, corrected = 0, erased = 0, uncorrectable = 0;
  double chance = 1;          // share of random steps that would decode
  double log10_evidence = 0;  // log10 of the odds that chance gives `usable` or more
  std::int64_t usable() const { return clean + corrected; }
};

// A step with at most 8 zero bits in its message is (nearly) erased and tells nothing about
// the convention.
bool nearly_erased(const unsigned char* message, std::size_t bytes) {
  int zeros = 0;
  for (std::size_t i = 0; i < bytes && zeros <= 8; ++i) {
    unsigned v = static_cast<unsigned char>(~message[i]);
    while (v) {
      zeros += static_cast<int>(v & 1);
      v >>= 1;
    }
  }
  return zeros <= 8;
}

// The largest t of field degree m whose ECC fits `ecc_bytes` bytes.
int largest_t(int m, std::int64_t ecc_bytes) {
  return static_cast<int>(std::min<std::int64_t>(8 * ecc_bytes / m, 200));
}

int run_probe(const ecc_options& o) {
  nand_layout layout;
  if (std::string e = make_layout(o, layout); !e.empty())
    return fail(e);
  if (o.probe_sectors < 1 || o.probe_sectors > 100000)
    return fail("--sectors takes a number from 1 to 100000");
  opened_dump dump;
  if (status e = open_dump(o.dump, dump.file, dump.bytes); !e.ok())
    return fail(e.message);

  if (std::string e = require_whole_page(o.dump, dump.bytes, raw_page_bytes(layout)); !e.empty())
    return fail(e);
  const auto page_bytes = static_cast<std::size_t>(raw_page_bytes(layout));
  std::vector<unsigned char> page(page_bytes);
  struct sample {
    std::vector<unsigned char> message, ecc;
  };
  std::vector<sample> samples;
  std::int64_t smallest_ecc = INT64_MAX;
  for (const layout_step& step : layout.steps)
    smallest_ecc = std::min(smallest_ecc, step.ecc.length);
  while (static_cast<int>(samples.size()) < o.probe_sectors &&
         std::fread(page.data(), 1, page_bytes, dump.file.get()) == page_bytes) {
    for (std::size_t k = 0;
         k < layout.steps.size() && static_cast<int>(samples.size()) < o.probe_sectors; ++k) {
      const layout_step& step = layout.steps[k];
      sample one;
      one.message.resize(static_cast<std::size_t>(step_message_bytes(step)));
      gather_message(page.data(), step, one.message.data());
      if (nearly_erased(one.message.data(), one.message.size()))
        continue;
      one.ecc.assign(page.data() + step.ecc.offset,
                     page.data() + step.ecc.offset + step.ecc.length);
      samples.push_back(std::move(one));
    }
  }
  if (samples.empty())
    return fail(o.dump + ": no sector that is not erased to probe");
  const auto sampled = static_cast<std::int64_t>(samples.size());

  // The layout's code with every bit order, mask and padding, and every t whose ECC fits.
  std::vector<probe_candidate> candidates;
  const bool from_file = !o.layout_file.empty();
  const int t_max = from_file ? largest_t(layout.code.m, smallest_ecc) : 8;
  std::vector<layout_mask> masks = {layout_mask::none, layout_mask::erased_ff};
  if (layout.code.mask == layout_mask::bytes)
    masks.push_back(layout_mask::bytes);
  for (bool lsb : {false, true}) {
    for (layout_mask mask : masks) {
      // The built-in layout's options have no padding but the last: its candidates neither.
      for (bool pad_start : {false, true}) {
        if (pad_start && !from_file)
          continue;
        for (int t = 1; t <= t_max; ++t) {
          probe_candidate c;
          c.code = layout.code;
          c.code.lsb_first = lsb;
          c.code.mask = mask;
          c.code.pad_start = pad_start;
          c.code.t = t;
          nand_layout variant = layout;
          variant.code = c.code;
          bch_code code;
          if (!build_layout_code(variant, code).ok())
            continue;
          // Padding has a place only when the parity leaves bits of its last byte unused.
          if (pad_start && code.parity_bits % 8 == 0)
            continue;
          bch_decode_result result;
          for (const sample& one : samples) {
            std::vector<unsigned char> message = one.message;
            std::vector<unsigned char> ecc = one.ecc;
            bch_decode(code, message.data(), message.size(), ecc.data(), result);
            switch (result.status) {
              case bch_status::clean:
                ++c.clean;
                break;
              case bch_status::corrected:
                ++c.corrected;
                break;
              case bch_status::erased:
                ++c.erased;
                break;
              case bch_status::uncorrectable:
                ++c.uncorrectable;
                break;
            }
          }
          std::size_t longest = 0;
          for (const sample& one : samples)
            longest = std::max(longest, one.message.size());
          // Steps of random bits decode at this rate; only what goes beyond it is evidence.
          c.chance = chance_of_decoding(static_cast<std::int64_t>(8 * longest) + code.parity_bits,
                                        code.parity_bits, t);
          c.log10_evidence = log10_chance_of_at_least(c.usable(), sampled, c.chance);
          candidates.push_back(c);
        }
      }
    }
  }
  if (candidates.empty())
    return fail("no code of the layout's field fits its ECC bytes");
  // The candidate whose decoded count random data is least likely to reach comes first; a
  // share of decoded steps alone would favour t = 1, under which half of all random steps
  // decode. Among equals the larger t, whose chance corrections are the rarest.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const probe_candidate& a, const probe_candidate& b) {
                     if (a.log10_evidence != b.log10_evidence)
                       return a.log10_evidence < b.log10_evidence;
                     if (a.clean != b.clean)
                       return a.clean > b.clean;
                     return a.code.t > b.code.t;
                   });
  std::printf("probe of %s: %" PRId64 " sectors that are not erased, from the start\n",
              o.dump.c_str(), sampled);
  if (from_file) {
    std::printf("layout: %s\n", layout_label(layout).c_str());
    std::printf(
        "rank  bit-order  ecc-mask   pad     t  usable  chance  odds      clean  corrected  "
        "uncorrectable\n");
  } else {
    std::printf(
        "rank  bit-order  ecc-mask   t  usable  chance  odds      clean  corrected  "
        "uncorrectable\n");
  }
  const std::size_t shown = std::min<std::size_t>(candidates.size(), 40);
  for (std::size_t i = 0; i < shown; ++i) {
    const probe_candidate& c = candidates[i];
    std::printf("%4zu  %-9s  %-9s  ", i + 1, c.code.lsb_first ? "lsb" : "msb",
                mask_name(c.code.mask));
    if (from_file)
      std::printf("%-5s  %2d", c.code.pad_start ? "start" : "end", c.code.t);
    else
      std::printf("%d", c.code.t);
    std::printf("  %5.1f%%  %5.1f%%  %-8s  %5" PRId64 "  %9" PRId64 "  %13" PRId64 "\n",
                100.0 * static_cast<double>(c.usable()) / static_cast<double>(sampled),
                100.0 * c.chance, odds_text(c.log10_evidence).c_str(), c.clean, c.corrected,
                c.uncorrectable);
  }
  if (shown < candidates.size())
    std::printf("(%zu more candidates, none better)\n", candidates.size() - shown);
  std::printf(
      "usable: steps that decode clean or corrected; chance: the share random data would reach;\n"
      "odds: the probability that chance alone decodes as many\n");
  const probe_candidate& best = candidates.front();
  if (best.log10_evidence > kEvidenceBar) {
    std::printf(
        best.usable() == 0 ? "no convention decodes any sector: %s\n"
                           : "no convention decodes more sectors than random data would: %s\n",
        from_file ? "the layout's spans or code are probably wrong for this dump"
                  : "the geometry (--page-size, --spare-size) or the layout is probably wrong "
                    "for this dump");
    std::printf("pagolinth-ecc detect %s finds the layout and the code from the dump itself\n",
                quoted(o.dump).c_str());
    return kUncorrectable;
  }
  if (from_file) {
    std::printf(
        "best: in [code] of %s: t = %d, bit_order = \"%s\", ecc_mask = \"%s\", pad = \"%s\"\n",
        o.layout_file.c_str(), best.code.t, best.code.lsb_first ? "lsb" : "msb",
        best.code.mask == layout_mask::bytes ? "(the file's hex mask)" : mask_name(best.code.mask),
        best.code.pad_start ? "start" : "end");
    return kAllGood;
  }
  std::printf(
      "best: pagolinth-ecc check --page-size %d --spare-size %d --block-pages %d -t %d "
      "--bit-order %s --ecc-mask %s %s\n",
      o.page_size, o.spare_size, o.block_pages, best.code.t, best.code.lsb_first ? "lsb" : "msb",
      mask_name(best.code.mask), quoted(o.dump).c_str());
  return kAllGood;
}

// Adds the layout options every command shares: --layout, or the built-in layout's geometry
// and code, which --layout replaces.
void add_layout_options(CLI::App* cmd, ecc_options& o, shorthand_options& shorthands,
                        bool with_code = true) {
  cmd->add_option("--layout", o.layout_file,
                  "layout file (TOML): page geometry, where each step's data and ECC lie, and "
                  "the code; replaces the options below");
  shorthands.options.push_back(
      cmd->add_option("--page-size", o.page_size, "built-in layout: page size without spare, bytes")
          ->capture_default_str());
  shorthands.options.push_back(
      cmd->add_option("--spare-size", o.spare_size, "built-in layout: spare size, bytes")
          ->capture_default_str());
  shorthands.options.push_back(
      cmd->add_option("--block-pages", o.block_pages, "built-in layout: pages per block")
          ->capture_default_str());
  if (with_code) {
    shorthands.options.push_back(
        cmd->add_option("-t", o.t, "built-in layout: bit errors corrected per sector, 1 to 8")
            ->capture_default_str());
    shorthands.options.push_back(
        cmd->add_option("--bit-order", o.bit_order,
                        "built-in layout: msb, each byte most significant bit first; lsb, the "
                        "opposite")
            ->check(CLI::IsMember({"msb", "lsb"}))
            ->capture_default_str());
    shorthands.options.push_back(
        cmd->add_option("--ecc-mask", o.ecc_mask,
                        "built-in layout: none, or erased-ff (ECC masked so that erased sectors "
                        "carry all-0xFF ECC)")
            ->check(CLI::IsMember({"none", "erased-ff"}))
            ->capture_default_str());
  }
}

// Adds the audit record's options of a command that writes an output.
void add_audit_options(CLI::App* cmd, ecc_options& o) {
  CLI::Option* named =
      cmd->add_option("--audit", o.audit,
                      "the audit record (JSON: version, command, hashes, counts, changed bits); "
                      "default: OUTPUT.audit.json, none for -o - unless named");
  cmd->add_flag("--no-audit", o.no_audit, "write no audit record")->excludes(named);
}

// Adds the dump and the options of every command that reads one.
void add_common(CLI::App* cmd, ecc_options& o, shorthand_options& shorthands,
                bool with_code = true) {
  cmd->add_option("DUMP", o.dump, "the dump: raw pages with spare, end to end")->required();
  add_layout_options(cmd, o, shorthands, with_code);
  cmd->add_option("--threads", o.threads, "worker threads (default: the machine's cores)")
      ->check(CLI::Range(1, 64));
}

// Lets options come before the command (`pagolinth-ecc --page-size 4096 check DUMP`) by
// moving the command word to the front; the words around it keep their order. A word is taken
// for the command only where it cannot be the value of the option before it.
std::vector<char*> command_first(int argc, char** argv, const std::vector<std::string>& commands) {
  std::vector<char*> args(argv, argv + argc);
  if (argc < 3 || argv[1][0] != '-')
    return args;
  const auto takes_no_value = [](const std::string& word) {
    return word == "--force" || word == "--protected" || word == "-h" || word == "--help" ||
           word == "--no-audit" || word == "--version" || word.find('=') != std::string::npos;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (std::find(commands.begin(), commands.end(), word) != commands.end()) {
      args.erase(args.begin() + i);
      args.insert(args.begin() + 1, argv[i]);
      return args;
    }
    if (word == "--")
      break;
    if (word.size() > 1 && word[0] == '-' && !takes_no_value(word))
      ++i;  // its value, whatever it looks like
  }
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  ecc_options o;
  for (int i = 0; i < argc; ++i)
    o.command_text += (i > 0 ? " " : "") + quoted(argv[i]);
  o.command_line.assign(argv, argv + argc);
  o.threads = static_cast<int>(std::min(64u, std::max(1u, std::thread::hardware_concurrency())));
  shorthand_options shorthands;

  CLI::App app{
      "Checks and corrects every ECC step of a NAND dump against its BCH ECC, writes corrected\n"
      "dumps, extracts the user data, re-encodes ECC, injects bit errors and finds the ECC\n"
      "convention. Any page layout and code can be given as a layout file (--layout); without\n"
      "one, the built-in layout: a 4-byte header, then 512-byte sectors each followed by 13 ECC\n"
      "bytes, with a 6-byte hole after byte 468 of the last sector, and the BCH code over\n"
      "GF(2^13).",
      "pagolinth-ecc"};
  app.require_subcommand(1);
  app.set_version_flag("--version", pagolinth_version_text("pagolinth-ecc"),
                       "print the version and the source revision it was built from");
  app.footer(
      "Exit status: 0 when every sector is clean, erased or corrected; 1 when any is\n"
      "uncorrectable outside the blocks marked bad (or probe finds nothing that beats chance); 2\n"
      "for bad usage, a bad layout file or unreadable input.\n"
      "Example: pagolinth-ecc check Dump.bin --layout board.toml --csv errors.csv --map map.svg");

  CLI::App* check = app.add_subcommand("check", "check every sector and print a summary");
  add_common(check, o, shorthands);
  check->add_option("--csv", o.csv, "also write one row per sector that is not clean");
  check->add_option("--map", o.map, "also draw the dump as an SVG picture, one cell per page");
  check->add_option("--report", o.report,
                    "also write a self-contained HTML report: map, charts, uncorrectable steps");
  check->add_flag("--force", o.force, "replace existing --csv, --map, --report and --audit files");
  check->add_option("--audit", o.audit,
                    "also write an audit record (JSON): version, command, hashes, counts, "
                    "corrections");
  check->footer("Example: pagolinth-ecc check Dump.bin --layout layouts/spare-end-4096-224.toml");

  CLI::App* fix =
      app.add_subcommand("fix", "write the dump with every correctable sector corrected");
  add_common(fix, o, shorthands);
  fix->add_option("-o,--output", o.out,
                  "output file (default: Dump_New.bin beside the dump); - for standard output");
  fix->add_flag("--force", o.force, "replace an existing output");
  add_audit_options(fix, o);
  fix->add_option("--csv", o.csv, "also write one row per sector that is not clean");
  fix->add_option("--map", o.map, "also draw the dump as an SVG picture, one cell per page");
  fix->add_option("--report", o.report, "also write a self-contained HTML report");
  fix->footer("Example: pagolinth-ecc fix Dump.bin -o Dump_Fixed.bin");

  CLI::App* extract = app.add_subcommand(
      "extract", "write the corrected user data of every page, without spare and ECC");
  add_common(extract, o, shorthands);
  extract->add_option("-o,--output", o.out, "output image; - for standard output")->required();
  extract->add_flag("--force", o.force, "replace an existing output");
  add_audit_options(extract, o);
  extract
      ->add_option("--bad-blocks", o.bad_blocks,
                   "skip: leave blocks marked bad out of the image (the default when the layout "
                   "names a marker); keep: write them too")
      ->check(CLI::IsMember({"skip", "keep"}));
  extract->add_flag("--protected", o.with_protected,
                    "also write each page's protected spare bytes after its data");
  extract->add_option("--csv", o.csv, "also write one row per sector that is not clean");
  extract->add_option("--report", o.report, "also write a self-contained HTML report");
  extract->footer("Example: pagolinth-ecc extract Dump.bin --layout board.toml -o image.bin");

  CLI::App* encode = app.add_subcommand("encode", "recompute every sector's ECC from its data");
  add_common(encode, o, shorthands);
  encode->add_option("-o,--output", o.out, "output file; - for standard output")->required();
  encode->add_flag("--force", o.force, "replace an existing output");
  add_audit_options(encode, o);
  encode->footer("Example: pagolinth-ecc encode Edited.bin -o Encoded.bin");

  CLI::App* inject = app.add_subcommand("inject", "flip random bits in every sector, for testing");
  add_common(inject, o, shorthands);
  inject->add_option("-o,--output", o.out, "output file; - for standard output")->required();
  inject->add_flag("--force", o.force, "replace an existing output");
  add_audit_options(inject, o);
  inject->add_option("--flips", o.flips, "bits flipped per sector: N, or MIN-MAX drawn at random")
      ->required();
  inject->add_option("--seed", o.seed, "seed of the random choice")->capture_default_str();
  inject->footer("Example: pagolinth-ecc inject Encoded.bin -o Noisy.bin --flips 1-8 --seed 7");

  CLI::App* probe = app.add_subcommand(
      "probe", "find the bit order, ECC mask, padding and t a dump was written with");
  add_common(probe, o, shorthands, false);
  probe->add_option("--sectors", o.probe_sectors, "sectors to try, from the start")
      ->capture_default_str();
  probe->footer("Example: pagolinth-ecc probe Dump.bin --sectors 1000");

  CLI::App* layout_cmd = app.add_subcommand(
      "layout", "print the layout in effect as a layout file, to start your own from");
  add_layout_options(layout_cmd, o, shorthands);
  layout_cmd->footer("Example: pagolinth-ecc layout --page-size 4096 --spare-size 224 > my.toml");

  detect_command_options detect_o;
  CLI::App* detect_cmd = add_detect_command(app, detect_o);

  std::string record;
  CLI::App* verify_cmd = app.add_subcommand(
      "verify-audit",
      "hash again the input and the outputs an audit record names; exit 0 when all match, 1 "
      "when one changed or is missing, 2 when the record cannot be read");
  verify_cmd->add_option("RECORD", record, "the audit record, e.g. Dump_New.bin.audit.json")
      ->required();
  verify_cmd->footer("Example: pagolinth-ecc verify-audit Dump_New.bin.audit.json");

  std::vector<std::string> commands;
  for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
    commands.push_back(sub->get_name());
  std::vector<char*> args = command_first(argc, argv, commands);
  try {
    app.parse(static_cast<int>(args.size()), args.data());
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "pagolinth-ecc: %s (see --help)\n", e.what());
    return kUsage;
  }
  if (!o.layout_file.empty()) {
    for (const CLI::Option* opt : shorthands.options) {
      if (opt->count() > 0) {
        return fail(opt->get_name() +
                    " describes the built-in layout; with --layout the layout file gives the "
                    "geometry and the code");
      }
    }
  }

  if (check->parsed())
    return run_pass(o, command::check);
  if (fix->parsed())
    return run_pass(o, command::fix);
  if (extract->parsed())
    return run_pass(o, command::extract);
  if (encode->parsed())
    return run_pass(o, command::encode);
  if (inject->parsed())
    return run_pass(o, command::inject);
  if (layout_cmd->parsed())
    return run_layout(o);
  if (detect_cmd->parsed())
    return run_detect_command(detect_o);
  if (verify_cmd->parsed())
    return run_verify_audit(record);
  return run_probe(o);
}
