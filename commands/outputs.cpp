// The outputs of the commands that write dumps: staged under temporary names, hashed on the
// way, named in audit records, and the HTML report written once a pass is complete.
#include <cerrno>      // errno
#include <chrono>      // std::chrono::system_clock
#include <ctime>       // std::time
#include <filesystem>  // std::filesystem
#include <utility>     // std::pair

#include "codec/layout_code.h"  // code_text
#include "commands/commands_internal.h"
#include "files/file_digest.h"   // sha256_of_file, sha256_of_path
#include "platform/platform.h"   // platform_is_terminal, platform_file_is
#include "report/html_report.h"  // write_html_report
#include "version/version.h"     // pagolinth_version_text

// Copies the last `bytes` bytes (the tail after the whole pages) from `in` to `out`, or only
// reads them past when `out` is null.
bool copy_tail(std::FILE* in, output_sink* out, std::int64_t bytes) {
  std::vector<unsigned char> buffer(64 * 1024);
  while (bytes > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(bytes, 64 * 1024));
    if (std::fread(buffer.data(), 1, n, in) != n)
      return false;
    if (out && !out->put(buffer.data(), n))
      return false;
    bytes -= static_cast<std::int64_t>(n);
  }
  return true;
}

// The outputs of a pass, in the order of `named`: each staged, or null when not asked for or
// written to standard output.
using staged_list = std::vector<std::unique_ptr<staged_output>>;

// Checks every output against the inputs and the others, then stages each. Only "-o" may be
// "-", and only when standard output is not a terminal nor an input. Leftover temporary files
// of interrupted runs are told to `warning`.
// REQUIRES: at least one input.
status stage_outputs(const std::vector<named_output>& named, const output_rules& q,
                     staged_list& staged) {
  for (const named_output& n : named) {
    if (n.path != kStdout)
      continue;
    if (n.option != "-o")
      return status::error(n.option +
                           " -: only the dump can go to standard output (-o -); name a file");
    if (platform_is_terminal(q.standard_output))
      return status::error("-o -: standard output is a terminal; redirect it to a file or a pipe");
    for (const std::string& input : q.inputs) {
      if (!platform_file_is(q.standard_output, input))
        continue;
      if (q.inputs.size() == 1)
        return status::error("-o -: standard output is the input; the input is never written to");
      return status::error("-o -: standard output is the input " + input +
                           "; an input is never written to");
    }
  }
  for (const std::string& input : q.inputs) {
    if (status e = check_output_names(named, input); !e.ok())
      return e;
  }
  for (const named_output& n : named) {
    staged.emplace_back();
    if (n.path.empty() || n.path == kStdout)
      continue;
    staged.back() = std::make_unique<staged_output>();
    // Only the dump itself may go to standard output instead.
    const status e = stage_output(*staged.back(), n.path, q.inputs[0], q.force,
                                  n.option == "-o" ? "use -o - for standard output" : "");
    for (const leftover_temp& l : staged.back()->leftovers) {
      if (!q.warning)
        break;
      if (l.removed) {
        q.warning("warning: removed " + l.path + ", left by an interrupted run (process " +
                  std::to_string(l.pid) + ")");
      } else if (l.maker_gone) {
        q.warning("warning: " + l.path + ", left by an interrupted run (process " +
                  std::to_string(l.pid) +
                  "), is not a regular file or could not be removed; left alone");
      } else {
        q.warning("warning: " + l.path + " is a temporary file of process " +
                  std::to_string(l.pid) + ", which may still run; left alone");
      }
    }
    if (!e.ok())
      return e;
  }
  return status::success();
}

std::FILE* file_of(const staged_list& staged, std::size_t i) {
  return staged[i] ? staged[i]->file.get() : nullptr;
}

// Takes the open file of a staged output over (for the report, which closes it), or null.
file_ptr take_file(staged_list& staged, std::size_t i) {
  return staged[i] ? std::move(staged[i]->file) : file_ptr{};
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
status hashed_output(const std::string& path, audit_file& f) {
  f.path = path;
  f.absolute_path = absolute_name(path);
  std::error_code ec;
  const auto size = std::filesystem::file_size(std::filesystem::u8path(path), ec);
  f.bytes = ec ? -1 : static_cast<std::int64_t>(size);
  const status hashed = sha256_of_path(path, f.sha256);
  if (hashed.ok())
    return hashed;
  return status::error("cannot hash " + path + " for the audit record: " + hashed.message);
}

// The words of the command line, each quoted for the shell, for the report.
std::string command_text(const std::vector<std::string>& words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i)
    text += (i > 0 ? " " : "") + shell_quoted(words[i]);
  return text;
}

// The HTML report of --report, written into its staged file once the pass is complete. The
// dump's SHA-256 is `dump_sha256` when the audit record has taken it already, else taken here.
status write_report_page(const report_names& q, const nand_layout& layout, const bch_code& code,
                         std::FILE* dump, std::int64_t dump_bytes, std::int64_t tail,
                         const std::string& dump_sha256, const scan_report& report,
                         const report_stats& stats, std::FILE* to) {
  report_header h;
  h.dump_name = q.dump;
  h.dump_bytes = dump_bytes;
  h.tail_bytes = tail;
  h.sha256 = dump_sha256;
  if (h.sha256.empty()) {
    if (status hashed = sha256_of_file(dump, h.sha256); !hashed.ok())
      return status::error(q.dump + ": " + hashed.message);
  }
  h.code_text = code_text(layout.code, code.ecc_bytes);
  h.version = pagolinth_version_text(q.program);
  h.command_line = command_text(q.command_line);
  h.time = std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count();
  // The picture is a view, not a finding: a page it cannot read leaves it out.
  const std::int64_t page_bytes = raw_page_bytes(layout);
  draw_dump_picture(
      [dump](std::int64_t offset, unsigned char* out, std::size_t bytes) {
        return platform_read_at(dump, offset, out, bytes);
      },
      page_bytes, (dump_bytes - tail) / page_bytes, h.picture);
  errno = 0;
  if (!write_html_report(to, h, report, stats) || std::fflush(to) != 0)
    return status::error(write_failure(q.report, errno));
  return status::success();
}

status finish_record(audit_writer& audit, audit_tail& ending, const std::string& csv,
                     const std::string& map, const std::string& report,
                     const std::string& audit_path, staged_output& staged) {
  const std::pair<const char*, const std::string*> sides[] = {
      {"csv", &csv}, {"map", &map}, {"report", &report}};
  for (const auto& [role, path] : sides) {
    if (path->empty())
      continue;
    audit_file f;
    if (status e = hashed_output(*path, f); !e.ok())
      return e;
    ending.side_files.emplace_back(role, f);
  }
  ending.ended_utc = audit_utc_time(std::time(nullptr));
  errno = 0;
  if (!audit_end(audit, ending).ok())
    return status::error(write_failure(audit_path, errno));
  return commit_output(staged);
}

void output_lines(std::vector<std::string>& lines, const std::string& written,
                  const std::string& csv, const std::string& map, const std::string& report,
                  const std::string& audit, bool no_record_on_stdout) {
  const std::pair<const char*, const std::string*> named[] = {{"written:         ", &written},
                                                              {"csv:             ", &csv},
                                                              {"map:             ", &map},
                                                              {"report:          ", &report},
                                                              {"audit:           ", &audit}};
  for (const auto& [label, name] : named) {
    if (!name->empty())
      lines.push_back(label + *name);
  }
  if (audit.empty() && no_record_on_stdout)
    lines.push_back(
        "audit:           none (the output went to standard output; --audit FILE writes one)");
}

audit_head record_head(const std::string& program, const std::string& command,
                       const std::vector<std::string>& command_line, const std::string& started,
                       const nand_layout& layout, const bch_code& code, const audit_file& input) {
  audit_head head;
  head.program = program;
  head.command = command;
  head.command_line = command_line;
  std::error_code ec;
  head.working_directory = std::filesystem::current_path(ec).u8string();
  head.started_utc = started;
  head.layout = &layout;
  head.code = &code;
  head.input = input;
  return head;
}
