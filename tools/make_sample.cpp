// pagolinth-sample: writes a small sample dump with recognisable contents, so the dialogue
// and pagolinth-ecc can be tried without a real chip. Pages of 2,048 + 64 bytes in the dump's
// page layout; the ECC bytes are placeholders until `pagolinth-ecc encode` computes them.
// Usage: pagolinth-sample FILE [PAGES] [--force]   (PAGES 1 ... 65536, default 64); --version
#include <CLI/CLI.hpp>  // CLI::App, CLI::ParseError

#include <cstdio>      // std::fprintf, std::fwrite, std::fflush, std::fclose, std::ferror
#include <cstdlib>     // std::strtol
#include <cstring>     // std::memset
#include <filesystem>  // std::filesystem::symlink_status
#include <string>      // std::string
#include <vector>      // std::vector

#include "files/output_file.h"   // staged_output, stage_output, commit_output
#include "layout/page_layout.h"  // place_sector, sectors_per_page, kSectorLength, kEccLength
#include "status/guard.h"        // run_guarded
#include "version/version.h"     // pagolinth_version_text

namespace {

namespace fs = std::filesystem;

constexpr int kPageSize = 2048;
constexpr int kSpareSize = 64;
constexpr long kMaxPages = 65536;

// Exit statuses.
constexpr int kDone = 0;
constexpr int kFailed = 2;

int fail(const std::string& message) {
  std::fprintf(stderr, "pagolinth-sample: %s\n", message.c_str());
  return kFailed;
}

// Sector k of page j: bytes 0 and 1 name the page and the sector (mod 256), bytes 2 and 3
// read DA 7A ("data"), every other byte i holds i mod 256, so the excerpts on either side of
// the hole (D1 ... D4, D5 ... D8) show that the sector was put together again seamlessly.
// The ECC bytes are EC, the header is 'P' 'G' and the page number, the rest of the spare FF.
void fill_page(std::vector<unsigned char>& page, long j) {
  std::memset(page.data(), 0xFF, page.size());
  page[0] = 'P';
  page[1] = 'G';
  page[2] = static_cast<unsigned char>(j >> 8);
  page[3] = static_cast<unsigned char>(j);
  const int steps = sectors_per_page(kPageSize);
  unsigned char sector[kSectorLength];
  unsigned char ecc[kEccLength];
  std::memset(ecc, 0xEC, sizeof ecc);
  for (int k = 0; k < steps; ++k) {
    for (int i = 0; i < kSectorLength; ++i)
      sector[i] = static_cast<unsigned char>(i);
    sector[0] = static_cast<unsigned char>(j);
    sector[1] = static_cast<unsigned char>(k);
    sector[2] = 0xDA;
    sector[3] = 0x7A;
    place_sector(page.data(), k, steps, sector, ecc);
  }
}

// Reads PAGES as a whole decimal number. Returns 0 for anything else or outside
// 1 ... kMaxPages.
long parse_pages(const std::string& text) {
  if (text.empty() || text[0] < '0' || text[0] > '9')
    return 0;
  char* end = nullptr;
  const long pages = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || pages < 1 || pages > kMaxPages)
    return 0;
  return pages;
}

// The name may already be taken by something that must not be replaced by a rename or written
// through: a link (its target could be a real dump), a device, a FIFO or a folder. Returns ""
// when `path` is free or a regular file, otherwise why it is refused.
std::string refuse_special(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(fs::u8path(path), ec);
  if (status.type() == fs::file_type::not_found)
    return "";
  if (ec)
    return "cannot examine " + path + ": " + ec.message();
  if (fs::is_symlink(status))
    return path + " is a symbolic link; nothing is written through a link";
  if (fs::is_directory(status))
    return path + " is a folder";
  if (!fs::is_regular_file(status))
    return path + " is not a regular file (a device or a FIFO?); nothing is written onto it";
  return "";
}

// Writes the sample under a temporary name and renames it when complete.
int write_sample(const std::string& path, long pages, bool force) {
  if (std::string e = refuse_special(path); !e.empty())
    return fail(e);
  staged_output out;
  if (status e = stage_output(out, path, "", force); !e.ok())
    return fail(e.message);
  std::vector<unsigned char> page(kPageSize + kSpareSize);
  for (long j = 0; j < pages; ++j) {
    fill_page(page, j);
    if (std::fwrite(page.data(), 1, page.size(), out.file.get()) != page.size())
      return fail("cannot write " + path + " (disk full?)");
  }
  if (status e = commit_output(out); !e.ok())
    return fail(e.message);
  return kDone;
}

// Standard output holds only the help text, but a full disk or a closed pipe there must not
// pass for success.
int finish(int status) {
  const bool ok = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
  if (std::fclose(stdout) != 0 || !ok) {
    std::fprintf(stderr, "pagolinth-sample: cannot write standard output\n");
    return kFailed;
  }
  return status;
}

int run_program(int argc, char** argv) {
  std::string path;
  std::string pages_text = "64";
  bool force = false;

  CLI::App app{
      "Writes a sample NAND dump to try pagolinth and pagolinth-ecc on: pages of 2048 + 64\n"
      "bytes in the built-in layout, each sector marked with its page and sector number.\n"
      "The ECC bytes are placeholders (EC); `pagolinth-ecc encode` computes the real ECC.",
      "pagolinth-sample"};
  app.add_option("FILE", path, "the sample dump to write")->type_name("PATH")->required();
  app.add_option("PAGES", pages_text, "number of pages, 1 to 65536")
      ->type_name("N")
      ->capture_default_str();
  app.add_flag("--force", force, "replace an existing non-empty FILE");
  app.set_version_flag("--version", pagolinth_version_text("pagolinth-sample"),
                       "print the version and the source revision it was built from");
  app.footer(
      "FILE is written under a temporary name and renamed when complete. An existing FILE is\n"
      "replaced only when it is empty or with --force; links, devices and FIFOs never.\n"
      "Exit status: 0 when written, 2 for bad usage or when FILE cannot be written.\n"
      "Example: pagolinth-sample Dump_Raw.bin 64 && "
      "pagolinth-ecc encode Dump_Raw.bin -o Dump.bin");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return finish(app.exit(e));
  } catch (const CLI::CallForVersion& e) {
    return finish(app.exit(e));
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "pagolinth-sample: %s (see --help)\n", e.what());
    return finish(kFailed);
  }
  const long pages = parse_pages(pages_text);
  if (pages == 0)
    return finish(fail("PAGES must be a whole number from 1 to " + std::to_string(kMaxPages)));
  return finish(write_sample(path, pages, force));
}

}  // namespace

int main(int argc, char** argv) {
  return run_guarded("pagolinth-sample", 2, [&] { return run_program(argc, argv); });
}
