// pagolinth-ecc: checks, corrects and re-encodes every ECC step of a NAND dump on any page
// layout, extracts the corrected user data, injects bit errors for testing, and finds a dump's
// layout and code. A user of the commands library (commands/): this file parses the options,
// shows progress and prints what each command returns.
#include <CLI/CLI.hpp>  // CLI::App, CLI::ParseError
#ifndef _WIN32
#include <unistd.h>  // write, STDERR_FILENO
#endif

#include <algorithm>  // std::min, std::max
#include <cerrno>     // errno
#include <chrono>     // std::chrono::steady_clock
#include <csignal>    // std::signal, SIGBUS
#include <cstdio>     // std::printf, std::fprintf, std::sscanf
#include <cstdlib>    // std::_Exit, std::atexit
#include <string>     // std::string
#include <thread>     // std::thread::hardware_concurrency
#include <vector>     // std::vector

#include "commands/commands.h"  // pass_request, run_pass, run_probe, run_detect, ...
#include "files/output_file.h"  // error_text
#include "platform/platform.h"  // platform_is_terminal
#include "status/guard.h"       // run_guarded
#include "version/version.h"    // pagolinth_version_text

namespace {

// Exit statuses.
constexpr int kAllGood = 0;
constexpr int kUncorrectable = 1;
constexpr int kUsage = 2;

int fail(const std::string& message) {
  std::fprintf(stderr, "pagolinth-ecc: %s\n", message.c_str());
  return kUsage;
}

// The progress line on standard error, a few times a second, only when standard error is a
// terminal; cleared when it goes.
class progress_line {
 public:
  progress_line() : shown_(platform_is_terminal(stderr)) {}
  ~progress_line() {
    if (shown_ && printed_)
      std::fprintf(stderr, "\r%60s\r", "");
  }
  // A pass: percentage, speed and time left.
  void bytes(const char* verb, std::int64_t done, std::int64_t total) {
    if (!due() || total <= 0)
      return;
    const double seconds = std::chrono::duration<double>(last_ - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const double left = rate > 0 ? static_cast<double>(total - done) / rate : 0;
    std::fprintf(stderr, "\r%s: %5.1f%%  %8.1f MB/s  %d:%02d left   ", verb,
                 100.0 * static_cast<double>(done) / static_cast<double>(total), rate / 1e6,
                 static_cast<int>(left) / 60, static_cast<int>(left) % 60);
    std::fflush(stderr);
  }
  // The layout search: its share done.
  void share(double done) {
    if (!due())
      return;
    std::fprintf(stderr, "\rdetect: searching %5.1f%%   ", 100.0 * done);
    std::fflush(stderr);
  }

 private:
  bool due() {
    if (!shown_)
      return false;
    const auto now = std::chrono::steady_clock::now();
    if (printed_ && now - last_ < std::chrono::milliseconds(250))
      return false;
    last_ = now;
    printed_ = true;
    return true;
  }

  bool shown_;
  bool printed_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_;
};

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

// Set once a failure to write standard output has been reported, so it is reported once.
bool g_stdout_failed = false;

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
  std::fprintf(stderr, "pagolinth-ecc: cannot write to standard output: %s\n",
               error != 0 ? error_text(error).c_str() : "an earlier write failed");
  std::_Exit(kUsage);
}
[[maybe_unused]] const bool g_stdout_checked = std::atexit(check_stdout_at_exit) == 0;

void print_lines(std::FILE* to, const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    std::fprintf(to, "%s\n", line.c_str());
}

// The options as parsed, before they become a command's request.
struct ecc_options {
  layout_choice layout;
  std::string bit_order = "msb";
  std::string ecc_mask = "none";
  int threads = 1;
  std::string dump, out, csv, map, report, audit;
  bool no_audit = false;
  bool force = false;
  std::string flips;
  std::uint64_t seed = 1;
  int probe_sectors = 256;
  std::string bad_blocks;  // extract: "skip", "keep", or "" for the layout's say
  bool with_protected = false;
  std::vector<CLI::Option*> shorthands;  // the built-in layout's options, which --layout replaces
  detect_request detect;
  std::string record;              // verify-audit
  std::vector<std::string> reads;  // combine
  std::string period = "auto";     // xor-key
  std::int64_t search_budget = kDefaultSearchBudget;
};

// Adds the layout options every command shares: --layout, or the built-in layout's geometry
// and code, which --layout replaces.
void add_layout_options(CLI::App* cmd, ecc_options& o, bool with_code = true) {
  cmd->add_option("--layout", o.layout.layout_file,
                  "layout file (TOML): page geometry, where each step's data and ECC lie, and "
                  "the code; replaces the options below");
  o.shorthands.push_back(cmd->add_option("--page-size", o.layout.page_size,
                                         "built-in layout: page size without spare, bytes")
                             ->capture_default_str());
  o.shorthands.push_back(
      cmd->add_option("--spare-size", o.layout.spare_size, "built-in layout: spare size, bytes")
          ->capture_default_str());
  o.shorthands.push_back(
      cmd->add_option("--block-pages", o.layout.block_pages, "built-in layout: pages per block")
          ->capture_default_str());
  if (!with_code)
    return;
  o.shorthands.push_back(
      cmd->add_option("-t", o.layout.t, "built-in layout: bit errors corrected per sector, 1 to 8")
          ->capture_default_str());
  o.shorthands.push_back(cmd->add_option("--bit-order", o.bit_order,
                                         "built-in layout: msb, each byte most significant bit "
                                         "first; lsb, the opposite")
                             ->check(CLI::IsMember({"msb", "lsb"}))
                             ->capture_default_str());
  o.shorthands.push_back(cmd->add_option("--ecc-mask", o.ecc_mask,
                                         "built-in layout: none, or erased-ff (ECC masked so that "
                                         "erased sectors carry all-0xFF ECC)")
                             ->check(CLI::IsMember({"none", "erased-ff"}))
                             ->capture_default_str());
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
void add_common(CLI::App* cmd, ecc_options& o, bool with_code = true) {
  cmd->add_option("DUMP", o.dump, "the dump: raw pages with spare, end to end")->required();
  add_layout_options(cmd, o, with_code);
  cmd->add_option("--threads", o.threads, "worker threads (default: the machine's cores)")
      ->check(CLI::Range(1, 64));
}

// Adds the output of a command that writes a dump or an image.
void add_output(CLI::App* cmd, ecc_options& o, const char* what) {
  cmd->add_option("-o,--output", o.out, what)->required();
  cmd->add_flag("--force", o.force, "replace an existing output");
  add_audit_options(cmd, o);
}

void add_detect(CLI::App& app, detect_request& d) {
  CLI::App* cmd = app.add_subcommand(
      "detect", "find the page layout and BCH code from the dump alone and write a layout file");
  cmd->add_option("DUMP", d.dump, "the dump: raw pages with spare, end to end")->required();
  CLI::Option* page = cmd->add_option("--page-size", d.page_size,
                                      "page size without spare, bytes (default: guessed)");
  CLI::Option* spare =
      cmd->add_option("--spare-size", d.spare_size, "spare size, bytes (default: guessed)");
  page->needs(spare);
  spare->needs(page);
  cmd->add_option("--block-pages", d.block_pages, "pages per block")->capture_default_str();
  cmd->add_option("-o,--output", d.out,
                  "write the layout file here (default: the layout file on standard output)");
  cmd->add_option("--xor-key", d.xor_key,
                  "a scrambler's key file (whole raw pages, as xor-key writes it): taken off "
                  "before the search and named in the layout found");
  cmd->add_flag("--force", d.force, "replace an existing output");
  cmd->add_option("--pages", d.pages, "pages sampled, spread over the dump")
      ->check(CLI::Range(16, 100000))
      ->capture_default_str();
  cmd->add_flag("--quick", d.quick,
                "skip the long search for dumps in which most steps carry bit errors: a dump "
                "without ECC is given up in seconds");
  cmd->footer(
      "Exit status: 0 when a layout holding all of the page's data is found, 1 when nothing beats "
      "chance or the steps found leave data out, 2 for bad usage or "
      "input.\nExample: pagolinth-ecc detect Dump.bin --page-size 4096 --spare-size 224 -o "
      "board.toml");
}

// How `word` reads before the command `cmd`: as an option that takes the next word as its
// value, as one that does not (a flag, or an option written with its value: "--seed=7",
// "-t8"), or as none of the command's (or the program's) options.
enum class word_kind { takes_value, self_contained, unknown };

word_kind kind_of(const CLI::App& app, const CLI::App& cmd, const std::string& word) {
  if (word.size() < 2 || word[0] != '-')
    return word_kind::unknown;
  const std::string name = word.substr(0, word.find('='));
  const bool attached = name.size() < word.size() || (word[1] != '-' && word.size() > 2);
  const CLI::Option* option =
      cmd.get_option_no_throw(attached && word[1] != '-' ? word.substr(0, 2) : name);
  if (option == nullptr)
    option = app.get_option_no_throw(name);
  if (option == nullptr)
    return word_kind::unknown;
  return !attached && option->get_items_expected_min() > 0 ? word_kind::takes_value
                                                           : word_kind::self_contained;
}

// Lets options come before the command (`pagolinth-ecc --page-size 4096 check DUMP`) by moving
// the command word to the front; the words around it keep their order. A word is the command
// when the words before it read as that command's options and their values, as the command
// registered them. Should none read so (a misspelt option), the first command word that is no
// option's value moves, and the parser then names the option it does not know.
std::vector<char*> command_first(int argc, char** argv, CLI::App& app) {
  std::vector<char*> args(argv, argv + argc);
  if (argc < 3 || argv[1][0] != '-')
    return args;
  for (bool strict : {true, false}) {
    for (int at = 2; at < argc; ++at) {
      const CLI::App* cmd = nullptr;
      for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
        if (sub->get_name() == argv[at])
          cmd = sub;
      }
      if (cmd == nullptr)
        continue;
      int i = 1;
      while (i < at && std::string(argv[i]) != "--") {
        const word_kind kind = kind_of(app, *cmd, argv[i]);
        if (kind == word_kind::unknown && strict)
          break;
        i += kind == word_kind::takes_value ? 2 : 1;
      }
      if (i != at)
        continue;  // the word is the value of an option before it, or follows a stranger
      args.erase(args.begin() + at);
      args.insert(args.begin() + 1, argv[at]);
      return args;
    }
  }
  return args;
}

// "N" or "MIN-MAX" into a range; an unreadable text gives a range the pass refuses.
void parse_flips(const std::string& text, pass_request& q) {
  int a = 0, b = 0;
  char dash = 0, extra = 0;
  const int n = std::sscanf(text.c_str(), "%d%c%d%c", &a, &dash, &b, &extra);
  if (n == 1)
    b = a;
  const bool readable = n == 1 || (n == 3 && dash == '-');
  q.flips_min = readable ? a : -1;
  q.flips_max = readable ? b : -1;
}

int run_pass_command(const ecc_options& o, pass_command command, const char* verb,
                     const std::vector<std::string>& words) {
  pass_request q;
  q.command = command;
  q.dump = o.dump;
  q.layout = o.layout;
  q.threads = o.threads;
  q.out = o.out;
  q.csv = o.csv;
  q.map = o.map;
  q.report = o.report;
  q.audit = o.audit;
  q.no_audit = o.no_audit;
  q.force = o.force;
  q.seed = o.seed;
  if (command == pass_command::inject)
    parse_flips(o.flips, q);
  q.bad_blocks = o.bad_blocks == "skip"   ? bad_block_choice::skip
                 : o.bad_blocks == "keep" ? bad_block_choice::keep
                                          : bad_block_choice::by_layout;
  q.with_protected = o.with_protected;
  q.command_line = words;
  q.warning = [](const std::string& line) { fail(line); };
  pass_outcome r;
  {
    progress_line progress;
    q.progress = [&](std::int64_t done, std::int64_t total) { progress.bytes(verb, done, total); };
#ifdef SIGBUS
    std::signal(SIGBUS, on_dump_shrunk);
#endif
    r = run_pass(q);
  }
  g_stdout_failed = r.standard_output_failed;
  if (!r.error.ok())
    return fail(r.error.message);
  // With the dump on standard output, the summary goes to standard error.
  print_lines(r.output_on_standard_output ? stderr : stdout, r.summary);
  // Standard output is flushed and checked on the way out (check_stdout_at_exit), where a
  // failure is still reported with its cause.
  return r.uncorrectable ? kUncorrectable : kAllGood;
}

int run_combine_command(const ecc_options& o, const std::vector<std::string>& words) {
  combine_request q;
  q.reads = o.reads;
  q.layout = o.layout;
  q.threads = o.threads;
  q.out = o.out;
  q.csv = o.csv;
  q.map = o.map;
  q.report = o.report;
  q.audit = o.audit;
  q.no_audit = o.no_audit;
  q.force = o.force;
  q.search_budget = o.search_budget;
  q.command_line = words;
  q.warning = [](const std::string& line) { fail(line); };
  combine_outcome r;
  {
    progress_line progress;
    q.progress = [&](std::int64_t done, std::int64_t total) {
      progress.bytes("combine", done, total);
    };
    r = run_combine(q);
  }
  g_stdout_failed = r.standard_output_failed;
  if (!r.error.ok())
    return fail(r.error.message);
  print_lines(r.output_on_standard_output ? stderr : stdout, r.summary);
  return r.uncorrectable ? kUncorrectable : kAllGood;
}

int run_xor_key_command(const ecc_options& o, const std::vector<std::string>& words) {
  xor_key_request q;
  q.dump = o.dump;
  q.layout = o.layout;
  q.out = o.out;
  q.audit = o.audit;
  q.no_audit = o.no_audit;
  q.force = o.force;
  q.command_line = words;
  q.warning = [](const std::string& line) { fail(line); };
  if (o.period != "auto") {
    char extra = 0;
    long long period = 0;
    if (std::sscanf(o.period.c_str(), "%lld%c", &period, &extra) != 1 || period < 1 ||
        period > kMaxKeyPeriod)
      return fail("--period takes auto or 1 to " + std::to_string(kMaxKeyPeriod) + " pages");
    q.period = period;
  }
  const xor_key_outcome r = run_xor_key(q);
  if (!r.error.ok())
    return fail(r.error.message);
  print_lines(stdout, r.lines);
  return r.found ? kAllGood : kUncorrectable;
}

int run_detect_command(detect_request q) {
  detect_outcome r;
  {
    progress_line progress;
    q.progress = [&progress](double done) { progress.share(done); };
    r = run_detect(q);
  }
  if (!r.error.ok())
    return fail(r.error.message);
  std::fputs(r.text.c_str(), stdout);
  return r.complete ? kAllGood : kUncorrectable;
}

int run_program(int argc, char** argv) {
  ecc_options o;
  const std::vector<std::string> words(argv, argv + argc);
  o.threads = static_cast<int>(std::min(64u, std::max(1u, std::thread::hardware_concurrency())));

  CLI::App app{
      "Checks and corrects every ECC step of a NAND dump against its BCH ECC, writes corrected\n"
      "dumps, merges several reads of one chip, extracts the user data, re-encodes ECC, injects\n"
      "bit errors and finds the ECC convention. Any page layout and code can be given as a layout "
      "file (--layout); without\n"
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
  add_common(check, o);
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
  add_common(fix, o);
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
  add_common(extract, o);
  add_output(extract, o, "output image; - for standard output");
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
  add_common(encode, o);
  add_output(encode, o, "output file; - for standard output");
  encode->footer("Example: pagolinth-ecc encode Edited.bin -o Encoded.bin");

  CLI::App* inject = app.add_subcommand("inject", "flip random bits in every sector, for testing");
  add_common(inject, o);
  add_output(inject, o, "output file; - for standard output");
  inject->add_option("--flips", o.flips, "bits flipped per sector: N, or MIN-MAX drawn at random")
      ->required();
  inject->add_option("--seed", o.seed, "seed of the random choice")->capture_default_str();
  inject->footer("Example: pagolinth-ecc inject Encoded.bin -o Noisy.bin --flips 1-8 --seed 7");

  CLI::App* combine = app.add_subcommand(
      "combine",
      "merge several reads of one chip into one corrected dump: each sector from the read that "
      "decodes, else their majority, else a search over the bits where they disagree");
  combine
      ->add_option("READS", o.reads,
                   "2 to 16 reads of one chip, one size; the first is the main one")
      ->required()
      ->expected(2, kMaxReads);
  add_layout_options(combine, o);
  combine->add_option("--threads", o.threads, "worker threads (default: the machine's cores)")
      ->check(CLI::Range(1, 64));
  add_output(combine, o, "the combined dump; - for standard output");
  combine->add_option("--csv", o.csv,
                      "also write one row per sector not clean in the first read, with its source");
  combine->add_option("--map", o.map, "also draw the combined dump as an SVG picture");
  combine->add_option("--report", o.report, "also write a self-contained HTML report");
  combine
      ->add_option("--search-budget", o.search_budget,
                   "decodes the search may spend on one sector before it gives up")
      ->capture_default_str()
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{1000000000}));
  combine->footer(
      "Example: pagolinth-ecc combine read1.bin read2.bin read3.bin -o Combined.bin --csv "
      "sources.csv");

  CLI::App* xor_key = app.add_subcommand(
      "xor-key", "recover a scrambler's XOR key and its period from the dump, as a key file");
  add_common(xor_key, o);
  add_output(xor_key, o, "the key file, for a layout's [scrambler] table");
  xor_key
      ->add_option("--period", o.period,
                   "pages before the key repeats: auto (found from the dump) or 1 to 1024")
      ->capture_default_str();
  xor_key->footer("Example: pagolinth-ecc xor-key Dump.bin --layout board.toml -o key.bin");

  CLI::App* probe = app.add_subcommand(
      "probe", "find the bit order, ECC mask, padding and t a dump was written with");
  add_common(probe, o, false);
  probe->add_option("--sectors", o.probe_sectors, "sectors to try, from the start")
      ->capture_default_str();
  probe->footer("Example: pagolinth-ecc probe Dump.bin --sectors 1000");

  CLI::App* layout_cmd = app.add_subcommand(
      "layout", "print the layout in effect as a layout file, to start your own from");
  add_layout_options(layout_cmd, o);
  layout_cmd->footer("Example: pagolinth-ecc layout --page-size 4096 --spare-size 224 > my.toml");

  add_detect(app, o.detect);

  CLI::App* verify_cmd = app.add_subcommand(
      "verify-audit",
      "hash again the input and the outputs an audit record names, beside the record first; "
      "exit 0 when all match, 1 when one changed or is missing, 2 when the record cannot be "
      "read");
  verify_cmd->add_option("RECORD", o.record, "the audit record, e.g. Dump_New.bin.audit.json")
      ->required();
  verify_cmd->footer("Example: pagolinth-ecc verify-audit Dump_New.bin.audit.json");

  std::vector<char*> args = command_first(argc, argv, app);
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
  if (!o.layout.layout_file.empty()) {
    for (const CLI::Option* opt : o.shorthands) {
      if (opt->count() > 0) {
        return fail(opt->get_name() +
                    " describes the built-in layout; with --layout the layout file gives the "
                    "geometry and the code");
      }
    }
  }
  o.layout.lsb_first = o.bit_order == "lsb";
  o.layout.erased_ff = o.ecc_mask == "erased-ff";

  const std::pair<CLI::App*, pass_command> passes[] = {{check, pass_command::check},
                                                       {fix, pass_command::fix},
                                                       {extract, pass_command::extract},
                                                       {encode, pass_command::encode},
                                                       {inject, pass_command::inject}};
  for (const auto& [cmd, command] : passes) {
    if (cmd->parsed())
      return run_pass_command(o, command, cmd->get_name().c_str(), words);
  }
  if (combine->parsed())
    return run_combine_command(o, words);
  if (xor_key->parsed())
    return run_xor_key_command(o, words);
  if (layout_cmd->parsed()) {
    const layout_outcome r = run_layout({o.layout});
    if (!r.error.ok())
      return fail(r.error.message);
    std::fputs(r.toml.c_str(), stdout);
    return kAllGood;
  }
  if (verify_cmd->parsed()) {
    const verify_outcome r = run_verify_audit({o.record});
    if (!r.error.ok())
      return fail(r.error.message);
    print_lines(stdout, r.lines);
    return r.verified ? kAllGood : kUncorrectable;
  }
  if (probe->parsed()) {
    probe_request q;
    q.dump = o.dump;
    q.layout = o.layout;
    q.sectors = o.probe_sectors;
    const probe_outcome r = run_probe(q);
    if (!r.error.ok())
      return fail(r.error.message);
    print_lines(stdout, r.lines);
    return r.found ? kAllGood : kUncorrectable;
  }
  return run_detect_command(o.detect);
}

}  // namespace

int main(int argc, char** argv) {
  return run_guarded("pagolinth-ecc", kUsage, [&] { return run_program(argc, argv); });
}
