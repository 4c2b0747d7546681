// pagolinth-ecc: checks, corrects and re-encodes every sector of a NAND dump against its BCH
// ECC, injects bit errors for testing, and finds a dump's ECC convention. A user of the page
// layout (layout/page_layout.h), the engine (codec/codec.h) and the streaming pass.
#include <CLI/CLI.hpp>  // CLI::App, CLI::ParseError

#include <algorithm>   // std::sort, std::min
#include <chrono>      // std::chrono::steady_clock
#include <cinttypes>   // PRId64
#include <cstdio>      // std::printf, std::fprintf, std::fopen, std::fread, std::fwrite
#include <filesystem>  // std::filesystem::path
#include <string>      // std::string
#include <thread>      // std::thread::hardware_concurrency
#include <vector>      // std::vector

#include "codec/codec.h"            // bch_code, bch_code_init, bch_decode
#include "layout/page_layout.h"  // extract_sector, sectors_per_page, kSectorLength, kEccLength
#include "platform/platform.h"     // platform_is_terminal, platform_fseek64, platform_ftell64
#include "dump/dump_scan.h"      // run_scan, check_geometry
#include "dump/output_file.h"    // file_ptr, staged_output
#include "dump/scan_report.h"    // scan_report, report_*, print_summary

namespace {

constexpr int kFieldDegree = 13;  // the construction's field for 13-byte ECC areas
constexpr int kMaxFlips = 64;

// Exit statuses.
constexpr int kAllGood = 0;
constexpr int kUncorrectable = 1;
constexpr int kUsage = 2;

struct ecc_options {
  dump_geometry_options geometry;
  int t = 8;
  std::string bit_order = "msb";
  std::string ecc_mask = "none";
  int threads = 1;
  std::string dump;
  std::string out;
  std::string csv;
  std::string map;
  bool force = false;
  std::string flips;
  std::uint64_t seed = 1;
  int probe_sectors = 256;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "pagolinth-ecc: %s\n", message.c_str());
  return kUsage;
}

std::string quoted(const std::string& word) {
  if (word.find_first_of(" \t'\"\\$`") == std::string::npos && !word.empty())
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

std::string build_code(const ecc_options& o, int t, bch_code& code) {
  bch_code_options co;
  co.bit_order = o.bit_order == "lsb" ? bch_bit_order::lsb_first : bch_bit_order::msb_first;
  co.ecc_mask = o.ecc_mask == "erased-ff" ? bch_ecc_mask::erased_ff : bch_ecc_mask::none;
  const std::string error = bch_code_init(code, kFieldDegree, t, co);
  if (!error.empty())
    return error;
  if (code.ecc_bytes > kEccLength) {
    return "t = " + std::to_string(t) + " needs " + std::to_string(code.ecc_bytes) +
           " ECC bytes; the page layout stores " + std::to_string(kEccLength);
  }
  return "";
}

struct opened_dump {
  file_ptr file;
  std::int64_t bytes = 0;
};

std::string open_dump(const std::string& path, opened_dump& d) {
  d.file.reset(std::fopen(path.c_str(), "rb"));
  if (!d.file)
    return "cannot open " + path;
  if (platform_fseek64(d.file.get(), 0, SEEK_END) != 0 ||
      (d.bytes = platform_ftell64(d.file.get())) < 0 ||
      platform_fseek64(d.file.get(), 0, SEEK_SET) != 0) {
    return "cannot measure " + path + " (not a regular file?)";
  }
  return "";
}

// Copies the last `bytes` bytes (the tail after the whole pages) from `in` to `out`.
bool copy_tail(std::FILE* in, std::FILE* out, std::int64_t bytes) {
  std::vector<unsigned char> buffer(64 * 1024);
  while (bytes > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(bytes, 64 * 1024));
    if (std::fread(buffer.data(), 1, n, in) != n)
      return false;
    if (out && std::fwrite(buffer.data(), 1, n, out) != n)
      return false;
    bytes -= static_cast<std::int64_t>(n);
  }
  return true;
}

std::string default_output(const std::string& dump) {
  return (std::filesystem::u8path(dump).parent_path() / "Dump_New.bin").u8string();
}

// check, fix, encode and inject: one streaming pass, with or without an output.
int run_pass(const ecc_options& o, scan_action action) {
  const char* verb = action == scan_action::check    ? "check"
                     : action == scan_action::fix    ? "fix"
                     : action == scan_action::encode ? "encode"
                                                     : "inject";
  if (std::string e = check_geometry(o.geometry); !e.empty())
    return fail(e);
  bch_code code;
  if (std::string e = build_code(o, o.t, code); !e.empty())
    return fail(e);

  scan_settings s;
  s.geometry = o.geometry;
  s.code = &code;
  s.action = action;
  s.threads = o.threads;
  s.seed = o.seed;
  if (action == scan_action::inject) {
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

  opened_dump dump;
  if (std::string e = open_dump(o.dump, dump); !e.empty())
    return fail(e);
  const std::int64_t page_bytes = std::int64_t{o.geometry.page_size} + o.geometry.spare_size;
  const std::int64_t pages = dump.bytes / page_bytes;
  const std::int64_t tail = dump.bytes - pages * page_bytes;

  staged_output out;
  const bool writes = action != scan_action::check;
  if (writes) {
    const std::string path = o.out.empty() ? default_output(o.dump) : o.out;
    if (std::string e = stage_output(out, path, o.dump, o.force); !e.empty())
      return fail(e);
  }
  scan_report report;
  const bool reports = action == scan_action::check || action == scan_action::fix;
  for (const std::string* side : {&o.csv, &o.map}) {
    if (reports && !side->empty() && same_file(*side, o.dump))
      return fail(*side + " is the input; the input is never written to");
  }
  if (std::string e =
          report_open(report, s, pages, o.dump, reports ? o.csv : "", reports ? o.map : "");
      !e.empty())
    return fail(e);

  progress_line progress(verb, dump.bytes);
  const std::string error = run_scan(
      dump.file.get(), dump.bytes, s,
      [&](const scan_batch& batch, std::string& why) {
        if (!report_batch(report, batch)) {
          why = "cannot write the CSV file or the map";
          return false;
        }
        const std::size_t bytes = static_cast<std::size_t>(batch.pages * page_bytes);
        if (writes && std::fwrite(batch.bytes, 1, bytes, out.file.get()) != bytes) {
          why = "cannot write " + out.final_path + " (disk full?)";
          return false;
        }
        return true;
      },
      [&](std::int64_t done) { progress(done); });
  if (!error.empty())
    return fail(o.dump + ": " + error);
  if (!copy_tail(dump.file.get(), writes ? out.file.get() : nullptr, tail))
    return fail("cannot copy the tail of " + o.dump);
  if (std::string e = report_close(report); !e.empty())
    return fail(e);
  if (writes) {
    if (std::string e = commit_output(out); !e.empty())
      return fail(e);
  }

  std::printf("dump:            %s, %" PRId64 " bytes\n", o.dump.c_str(), dump.bytes);
  std::printf("code:            m=%d t=%d, %d ECC bytes, bit order %s, ECC mask %s\n", code.m,
              code.t, code.ecc_bytes, o.bit_order.c_str(), o.ecc_mask.c_str());
  if (reports) {
    print_summary(stdout, report, tail);
  } else {
    std::printf("pages:           %" PRId64 ", %" PRId64 " sectors\n", report.totals.pages,
                report.totals.sectors);
    if (action == scan_action::inject)
      std::printf("bits flipped:    %" PRId64 "\n", report.totals.injected_bits);
    if (tail > 0)
      std::printf("tail:            %" PRId64 " bytes copied unchanged\n", tail);
  }
  if (writes)
    std::printf("written:         %s\n", out.final_path.c_str());
  if (!o.csv.empty() && reports)
    std::printf("csv:             %s\n", o.csv.c_str());
  if (!o.map.empty() && reports)
    std::printf("map:             %s\n", o.map.c_str());
  std::fflush(stdout);
  return report.totals.uncorrectable > 0 ? kUncorrectable : kAllGood;
}

struct probe_candidate {
  std::string bit_order, ecc_mask;
  int t = 0;
  std::int64_t clean = 0, corrected = 0, erased = 0, uncorrectable = 0;
  std::int64_t usable() const { return clean + corrected; }
};

// A sector with at most 8 zero bits in its data is (nearly) erased and tells nothing about
// the convention.
bool nearly_erased(const unsigned char* data) {
  int zeros = 0;
  for (int i = 0; i < kSectorLength && zeros <= 8; ++i) {
    unsigned v = static_cast<unsigned char>(~data[i]);
    while (v) {
      zeros += static_cast<int>(v & 1);
      v >>= 1;
    }
  }
  return zeros <= 8;
}

int run_probe(const ecc_options& o) {
  if (std::string e = check_geometry(o.geometry); !e.empty())
    return fail(e);
  if (o.probe_sectors < 1 || o.probe_sectors > 100000)
    return fail("--sectors takes a number from 1 to 100000");
  opened_dump dump;
  if (std::string e = open_dump(o.dump, dump); !e.empty())
    return fail(e);

  const std::int32_t steps = sectors_per_page(o.geometry.page_size);
  const std::size_t page_bytes = static_cast<std::size_t>(o.geometry.page_size) +
                                 static_cast<std::size_t>(o.geometry.spare_size);
  std::vector<unsigned char> page(page_bytes);
  std::vector<unsigned char> samples;  // sector data and ECC, 525 bytes each
  std::int64_t sampled = 0;
  while (sampled < o.probe_sectors &&
         std::fread(page.data(), 1, page_bytes, dump.file.get()) == page_bytes) {
    for (std::int32_t k = 0; k < steps && sampled < o.probe_sectors; ++k) {
      unsigned char data[kSectorLength];
      unsigned char ecc[kEccLength];
      extract_sector(page.data(), k, steps, data, ecc);
      if (nearly_erased(data))
        continue;
      samples.insert(samples.end(), data, data + kSectorLength);
      samples.insert(samples.end(), ecc, ecc + kEccLength);
      ++sampled;
    }
  }
  if (sampled == 0)
    return fail(o.dump + ": no sector that is not erased to probe");

  std::vector<probe_candidate> candidates;
  for (const char* order : {"msb", "lsb"}) {
    for (const char* mask : {"none", "erased-ff"}) {
      for (int t = 1; t <= 8; ++t) {
        ecc_options variant = o;
        variant.bit_order = order;
        variant.ecc_mask = mask;
        bch_code code;
        if (!build_code(variant, t, code).empty())
          continue;
        probe_candidate c;
        c.bit_order = order;
        c.ecc_mask = mask;
        c.t = t;
        bch_decode_result result;
        for (std::int64_t i = 0; i < sampled; ++i) {
          unsigned char data[kSectorLength];
          unsigned char ecc[kEccLength];
          const unsigned char* at = samples.data() + i * (kSectorLength + kEccLength);
          std::copy(at, at + kSectorLength, data);
          std::copy(at + kSectorLength, at + kSectorLength + kEccLength, ecc);
          bch_decode(code, data, kSectorLength, ecc, result);
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
        candidates.push_back(c);
      }
    }
  }
  // Clean sectors are the strongest evidence (a random sector is clean with odds of 2^-r);
  // among equals the larger t, whose chance corrections are the rarest.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const probe_candidate& a, const probe_candidate& b) {
                     if (a.usable() != b.usable())
                       return a.usable() > b.usable();
                     if (a.clean != b.clean)
                       return a.clean > b.clean;
                     return a.t > b.t;
                   });
  std::printf("probe of %s: %" PRId64 " sectors that are not erased, from the start\n",
              o.dump.c_str(), sampled);
  std::printf("rank  bit-order  ecc-mask   t  usable   clean  corrected  uncorrectable\n");
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const probe_candidate& c = candidates[i];
    std::printf("%4zu  %-9s  %-9s  %d  %5.1f%%  %6" PRId64 "  %9" PRId64 "  %13" PRId64 "\n", i + 1,
                c.bit_order.c_str(), c.ecc_mask.c_str(), c.t,
                100.0 * static_cast<double>(c.usable()) / static_cast<double>(sampled), c.clean,
                c.corrected, c.uncorrectable);
  }
  const probe_candidate& best = candidates.front();
  if (best.usable() == 0) {
    std::printf(
        "no convention decodes any sector: check the geometry (--page-size, "
        "--spare-size)\n");
    return kUncorrectable;
  }
  std::printf(
      "best: pagolinth-ecc check --page-size %d --spare-size %d --block-pages %d -t %d "
      "--bit-order %s --ecc-mask %s %s\n",
      o.geometry.page_size, o.geometry.spare_size, o.geometry.block_pages, best.t,
      best.bit_order.c_str(), best.ecc_mask.c_str(), quoted(o.dump).c_str());
  return kAllGood;
}

// Adds the options every command shares: geometry, code and threads.
void add_common(CLI::App* cmd, ecc_options& o, bool with_code = true) {
  cmd->add_option("DUMP", o.dump, "the dump: raw pages with spare, end to end")->required();
  cmd->add_option("--page-size", o.geometry.page_size, "page size without spare, bytes")
      ->capture_default_str();
  cmd->add_option("--spare-size", o.geometry.spare_size, "spare size, bytes")
      ->capture_default_str();
  cmd->add_option("--block-pages", o.geometry.block_pages, "pages per block")
      ->capture_default_str();
  if (with_code) {
    cmd->add_option("-t", o.t, "bit errors the code corrects per sector, 1 to 8")
        ->capture_default_str();
    cmd->add_option("--bit-order", o.bit_order,
                    "msb: each byte most significant bit first; lsb: the opposite")
        ->check(CLI::IsMember({"msb", "lsb"}))
        ->capture_default_str();
    cmd->add_option("--ecc-mask", o.ecc_mask,
                    "none, or erased-ff: ECC masked so that erased sectors carry all-0xFF ECC")
        ->check(CLI::IsMember({"none", "erased-ff"}))
        ->capture_default_str();
  }
  cmd->add_option("--threads", o.threads, "worker threads (default: the machine's cores)")
      ->check(CLI::Range(1, 64));
}

}  // namespace

int main(int argc, char** argv) {
  ecc_options o;
  o.threads = static_cast<int>(std::min(64u, std::max(1u, std::thread::hardware_concurrency())));

  CLI::App app{
      "Checks and corrects every sector of a NAND dump against its BCH ECC (field GF(2^13)),\n"
      "writes corrected dumps, re-encodes ECC, injects bit errors and finds the ECC convention.\n"
      "Page layout: a 4-byte header, then 512-byte sectors each followed by 13 ECC bytes, with a\n"
      "6-byte hole after byte 468 of the last sector.",
      "pagolinth-ecc"};
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 when every sector is clean, erased or corrected; 1 when any is\n"
      "uncorrectable (or probe finds nothing); 2 for bad usage or unreadable input.\n"
      "Example: pagolinth-ecc check Dump.bin --csv errors.csv --map map.svg");

  CLI::App* check = app.add_subcommand("check", "check every sector and print a summary");
  add_common(check, o);
  check->add_option("--csv", o.csv, "also write one row per sector that is not clean");
  check->add_option("--map", o.map, "also draw the dump as an SVG picture, one cell per page");
  check->footer(
      "Example: pagolinth-ecc check Dump.bin --page-size 4096 --spare-size 224 --csv e.csv");

  CLI::App* fix =
      app.add_subcommand("fix", "write the dump with every correctable sector corrected");
  add_common(fix, o);
  fix->add_option("-o,--output", o.out, "output file (default: Dump_New.bin beside the dump)");
  fix->add_flag("--force", o.force, "replace an existing output");
  fix->add_option("--csv", o.csv, "also write one row per sector that is not clean");
  fix->add_option("--map", o.map, "also draw the dump as an SVG picture, one cell per page");
  fix->footer("Example: pagolinth-ecc fix Dump.bin -o Dump_Fixed.bin");

  CLI::App* encode = app.add_subcommand("encode", "recompute every sector's ECC from its data");
  add_common(encode, o);
  encode->add_option("-o,--output", o.out, "output file")->required();
  encode->add_flag("--force", o.force, "replace an existing output");
  encode->footer("Example: pagolinth-ecc encode Edited.bin -o Encoded.bin");

  CLI::App* inject = app.add_subcommand("inject", "flip random bits in every sector, for testing");
  add_common(inject, o);
  inject->add_option("-o,--output", o.out, "output file")->required();
  inject->add_flag("--force", o.force, "replace an existing output");
  inject->add_option("--flips", o.flips, "bits flipped per sector: N, or MIN-MAX drawn at random")
      ->required();
  inject->add_option("--seed", o.seed, "seed of the random choice")->capture_default_str();
  inject->footer("Example: pagolinth-ecc inject Encoded.bin -o Noisy.bin --flips 1-8 --seed 7");

  CLI::App* probe =
      app.add_subcommand("probe", "find the bit order, ECC mask and t a dump was written with");
  add_common(probe, o, false);
  probe->add_option("--sectors", o.probe_sectors, "sectors to try, from the start")
      ->capture_default_str();
  probe->footer("Example: pagolinth-ecc probe Dump.bin --sectors 1000");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "pagolinth-ecc: %s (see --help)\n", e.what());
    return kUsage;
  }

  if (check->parsed())
    return run_pass(o, scan_action::check);
  if (fix->parsed())
    return run_pass(o, scan_action::fix);
  if (encode->parsed())
    return run_pass(o, scan_action::encode);
  if (inject->parsed())
    return run_pass(o, scan_action::inject);
  return run_probe(o);
}
