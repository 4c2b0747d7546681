// Tests of the dialogue: whole transcripts of the built program compared byte for byte with
// transcripts put together here from the dialogue's fixed texts and the page layout's
// offsets, for several dumps and geometries; refused answers; and the failure paths, among
// them links, FIFOs and devices where the dump or Dump_New.bin should be, and a dead stdout.
#include "console/dialogue.h"

#include <gtest/gtest.h>

#include <fcntl.h>     // open
#include <signal.h>    // kill, SIGKILL
#include <sys/stat.h>  // mkdir, mkfifo
#include <sys/wait.h>  // waitpid
#include <unistd.h>    // symlink, link, fork, execv, dup2, chdir, lseek, close

#include <chrono>      // std::chrono::steady_clock, milliseconds
#include <cstdint>     // std::int32_t, std::int64_t
#include <cstdio>      // std::snprintf
#include <filesystem>  // std::filesystem::exists, file_size, symlink_status, resize_file
#include <string>      // std::string
#include <thread>      // std::this_thread::sleep_for

#include "tests/support/run_program.h"  // scratch_dir, run_program, write_file

namespace {

const std::string kProgram = PAGOLINTH_PROGRAM;

const std::string kStars(108, '*');
const std::string kBanner =
    kStars + "\n" + std::string(39, '*') + "Pagolinth - BCH ECC Code" + std::string(45, '*') +
    "\n" + kStars + "\n" + kStars + "\n\n" +
    "***** Bitte legen Sie das Programm XXXX.exe und die Datei <Dump.bin> in den ECC-Ordner der "
    "Festplatte C*****\n" +
    kStars + "\n\n";
const std::string kAskPage = "Geben Sie den Parameter an <Page Size without Spare> in <Bytes> : \n";
const std::string kAskSpare = "Geben Sie den Parameter an <Spare Size> in <Bytes> : \n";
const std::string kAskBlock = "Geben Sie den Parameter an <Block size> in <Pages> : \n";
const std::string kPrompts = "\n" + kAskPage + kAskSpare + kAskBlock + "\n";
const std::string kFinal = "\nErledigt. Druecken Sie eine beliebige Taste.";
const std::string kAskAgain = "Bitte geben Sie die Parameter erneut ein.\n\n";

// The dump's byte at offset o; differs from page to page, so a page read from the wrong
// place shows.
unsigned char dump_byte(std::int64_t o) {
  return static_cast<unsigned char>(o * 131 + (o >> 9));
}

std::string make_dump(std::int64_t size) {
  std::string dump(static_cast<std::size_t>(size), '\0');
  for (std::int64_t o = 0; o < size; ++o)
    dump[static_cast<std::size_t>(o)] = static_cast<char>(dump_byte(o));
  return dump;
}

std::string hex4(const unsigned char* b) {
  char text[32];
  std::snprintf(text, sizeof text, "%X %X %X %X", b[0], b[1], b[2], b[3]);
  return text;
}

std::string report(std::int64_t file_size, std::int32_t pws, std::int32_t steps,
                   std::int64_t blocks, std::int64_t pages) {
  return "\nZusaetzliche Datei-Informationen:Komplette Dateigroesse <Dump.bin>: " +
         std::to_string(file_size) +
         " Bytes\nParameter <Page Size with Spare>: " + std::to_string(pws) +
         " Bytes\nParameter <step_per_page>: " + std::to_string(steps) +
         " Bytes\nAnzahl <Block per Device>: " + std::to_string(blocks) +
         " Blocks\nAnzahl der Seiten pro Device <Pages per Device>: " + std::to_string(pages) +
         " Pages\n\n";
}

// The walk as the layout describes it: sector k of page j starts at 4 + 525 k; the last one
// skips the 6 bytes after its first 469.
std::string expected_walk(std::int64_t file_size, std::int32_t page_size, std::int32_t spare) {
  const std::int32_t pws = page_size + spare;
  const std::int32_t steps = page_size / 512;
  std::string out;
  for (std::int64_t j = 0; j < file_size / pws; ++j) {
    for (std::int32_t k = 0; k < steps; ++k) {
      const std::int64_t chunk = 4 + 525 * std::int64_t{k};
      unsigned char s[512];
      for (int i = 0; i < 512; ++i) {
        const std::int64_t in_page = (k == steps - 1 && i >= 469) ? chunk + i + 6 : chunk + i;
        s[i] = dump_byte(j * pws + in_page);
      }
      out += "\nDatablock " + std::to_string(k) + " je 512 Bytes fuer ECC Berechnung.\n";
      out += "Offset Datablock: " + std::to_string(chunk) + " \n\n";
      out += "Buffer buf_bp0-buf_bp3: " + hex4(s) + " \n";
      out += "Buffer buf_bp465-buf_bp468: " + hex4(s + 465) + " \n";
      out += "Buffer buf_bp469-buf_bp473: " + hex4(s + 469) + "  \n";
      out += "Buffer buf_bp508-buf_bp511: " + hex4(s + 508) + "  \n\n\n";
    }
  }
  return out;
}

struct geometry_case {
  std::int32_t page_size, spare, block_pages;
  std::int64_t dump_size;
};

std::string answers(const geometry_case& c) {
  return std::to_string(c.page_size) + "\n" + std::to_string(c.spare) + "\n" +
         std::to_string(c.block_pages) + "\n";
}

std::string expected_run(const geometry_case& c) {
  const std::int32_t pws = c.page_size + c.spare;
  return kBanner + kPrompts +
         report(c.dump_size, pws, c.page_size / 512,
                c.dump_size / (std::int64_t{c.block_pages} * pws), c.dump_size / pws) +
         expected_walk(c.dump_size, c.page_size, c.spare) + kFinal;
}

// The result of run_guarded: what run_program tells, and more.
struct guarded_result {
  program_result run;
  bool hung = false;            // still running after kPatience, then killed
  std::int64_t input_read = 0;  // how far into its standard input the program got
};

// Far more than any run here takes; only a program that waits for ever gets this far.
constexpr auto kPatience = std::chrono::seconds(60);

// Runs the dialogue in `cwd` as run_program does, but standard output goes to `out_path`
// (captured into run.out when empty), the test shares the handle of standard input to see how
// far the program read, and a program that does not end within kPatience is killed and
// reported as hung, so that a regression that blocks fails instead of hanging the suite.
guarded_result run_guarded(const std::string& cwd, const std::string& input,
                           const std::string& out_path = "") {
  guarded_result result;
  scratch_dir io;
  const std::string in_path = io.file("stdin");
  const std::string captured = io.file("stdout");
  const std::string err_path = io.file("stderr");
  write_file(in_path, input);
  const int in = open(in_path.c_str(), O_RDONLY);
  if (in < 0)
    return result;
  const std::string out_target = out_path.empty() ? captured : out_path;
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(out_target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(cwd.c_str()) != 0)
      _exit(127);
    char* argv[] = {const_cast<char*>(kProgram.c_str()), nullptr};
    execv(kProgram.c_str(), argv);
    _exit(127);
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  bool ended = false;
  while (pid > 0 && !ended) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      ended = true;
    } else if (done < 0) {
      break;
    } else if (std::chrono::steady_clock::now() > deadline) {
      result.hung = true;
      kill(pid, SIGKILL);
      ended = waitpid(pid, &status, 0) == pid;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  if (ended && WIFEXITED(status))
    result.run.exit_status = WEXITSTATUS(status);
  if (ended && WIFSIGNALED(status))
    result.run.signal = WTERMSIG(status);
  result.input_read = lseek(in, 0, SEEK_CUR);
  close(in);
  if (out_path.empty())
    result.run.out = read_file(captured);
  result.run.err = read_file(err_path);
  return result;
}

const std::string kDumpOpenError =
    "Datei-\xC3\x96"
    "ffnungsfehler\nBest\xC3\xA4"
    "tigen Sie mit einer beliebigen Taste.";
const std::string kOutputOpenError =
    "Datei-Oeffnungsfehler\nDruecken Sie eine beliebige Taste . . . \n";

TEST(Dialogue, TranscriptsAreExactForSeveralGeometries) {
  const geometry_case cases[] = {
      {2048, 64, 64, 135168},           // the usual 64 pages of 2,112 bytes: 1 block, 256 sectors
      {2048, 64, 16, 2112 * 80},        // larger than one fixed 64-page buffer would hold
      {4096, 128, 64, 4224 * 3},        // 8 sectors; the hole lies inside the data area
      {2000, 100, 32, 2100 * 2 + 500},  // 3 sectors; the tail of 500 bytes is no page
      {512, 23, 1, 535 * 3},            // one sector per page, split around the hole
      {100, 10, 4, 110 * 5},            // below 512 bytes: pages but no sectors
      {2048, 64, 64, 1000},             // smaller than one page: no sectors
      {2048, 64, 64, 0},                // an empty dump
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "geometry " << c.page_size << "/" << c.spare << "/"
                                    << c.block_pages << ", dump of " << c.dump_size << " bytes");
    scratch_dir dir;
    const std::string dump = make_dump(c.dump_size);
    write_file(dir.file("Dump.bin"), dump);
    const program_result r = run_program(kProgram, dir.path(), answers(c));
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, expected_run(c));
    EXPECT_EQ(r.err, "") << "standard error is for a dead standard output only";
    EXPECT_TRUE(std::filesystem::exists(dir.file("Dump_New.bin")));
    EXPECT_EQ(read_file(dir.file("Dump_New.bin")), "");
    EXPECT_EQ(read_file(dir.file("Dump.bin")), dump) << "the dump was modified";
  }
}

TEST(Dialogue, AnswersMayShareALineAndKeysComeAfterThem) {
  // Answers on one line, keys after them: the same transcript as one answer per line.
  const geometry_case c{2048, 64, 64, 2112 * 2};
  scratch_dir dir;
  write_file(dir.file("Dump.bin"), make_dump(c.dump_size));
  const program_result r = run_program(kProgram, dir.path(), " 2048\t64 +64 \nabcdefghi");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, expected_run(c));
}

TEST(Dialogue, RefusedAnswersAreAskedAgainAndTheWalkIsUnchanged) {
  const geometry_case c{2048, 64, 64, 2112 * 3};
  const std::string not_a_number =
      "Ungueltige Eingabe: bitte eine ganze Zahl in Dezimalschreibweise eingeben.\n";
  const std::string not_positive = "Ungueltiger Wert: der Parameter muss groesser als 0 sein.\n";
  const std::string too_large =
      "Ungueltiger Wert: der Parameter darf hoechstens 2147483647 sein.\n";
  const std::string sum_too_large =
      "Ungueltiger Wert: Page Size und Spare Size zusammen duerfen hoechstens 2147483647 Bytes "
      "sein.\n";
  const std::string input =
      "abc def\n0\n-5\n99999999999999999999\n12x\n"  // page size: four refusals, then 2048
      "2048\n2147483000\n"                           // spare: the sum would overflow
      "2048\n64\n"                                   // asked again from the page size
      "0x40\n"                                       // block size: hex is refused
      "64\n";
  const std::string prompts = "\n" + kAskPage + not_a_number + kAskPage + not_positive + kAskPage +
                              not_positive + kAskPage + too_large + kAskPage + not_a_number +
                              kAskPage + kAskSpare + sum_too_large + kAskAgain + kAskPage +
                              kAskSpare + kAskBlock + not_a_number + kAskBlock + "\n";
  scratch_dir dir;
  write_file(dir.file("Dump.bin"), make_dump(c.dump_size));
  const program_result r = run_program(kProgram, dir.path(), input);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, kBanner + prompts + report(c.dump_size, 2112, 4, 0, 3) +
                       expected_walk(c.dump_size, 2048, 64) + kFinal);
}

TEST(Dialogue, GeometriesWhoseSectorsDoNotFitAreRefused) {
  // 2048 + 1 ends before the last ECC byte (2110); 512 + 16 before 535. Then a valid set.
  const geometry_case c{2048, 64, 64, 2112 * 2};
  scratch_dir dir;
  write_file(dir.file("Dump.bin"), make_dump(c.dump_size));
  const program_result r =
      run_program(kProgram, dir.path(), "2048\n1\n64\n512\n16\n1\n2048\n64\n64\n");
  const std::string refused_2049 =
      "Die Parameter passen nicht zum Seitenaufbau: der ECC-Bereich des letzten Datenblocks endet "
      "bei Byte 2110, die Page mit Spare hat aber nur 2049 Bytes.\nBitte geben Sie die Parameter "
      "erneut ein.\n\n";
  const std::string refused_528 =
      "Die Parameter passen nicht zum Seitenaufbau: der ECC-Bereich des letzten Datenblocks endet "
      "bei Byte 535, die Page mit Spare hat aber nur 528 Bytes.\nBitte geben Sie die Parameter "
      "erneut ein.\n\n";
  const std::string three = kAskPage + kAskSpare + kAskBlock;
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, kBanner + "\n" + three + refused_2049 + three + refused_528 + three + "\n" +
                       report(c.dump_size, 2112, 4, 0, 2) + expected_walk(c.dump_size, 2048, 64) +
                       kFinal);
}

TEST(Dialogue, EndOfInputBeforeTheAnswersEndsWithStatusOne) {
  const std::string inputs[] = {"", "2048\n", "2048\n64\n", "2048\nabc"};
  for (const std::string& input : inputs) {
    SCOPED_TRACE("input \"" + input + "\"");
    scratch_dir dir;
    write_file(dir.file("Dump.bin"), make_dump(2112));
    const program_result r = run_program(kProgram, dir.path(), input);
    EXPECT_EQ(r.exit_status, 1);
    const std::string tail =
        "\nDie Eingabe ist zu Ende, bevor alle Parameter angegeben wurden. Abbruch.\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(0, kBanner.size()), kBanner);
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_FALSE(std::filesystem::exists(dir.file("Dump_New.bin")));
  }
}

TEST(Dialogue, MissingDumpIsReportedWithStatusOneAndCreatesNothing) {
  scratch_dir dir;
  const program_result r = run_program(kProgram, dir.path(), "2048\n64\n64\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, kBanner + kPrompts +
                       "Datei-\xC3\x96"
                       "ffnungsfehler\nBest\xC3\xA4"
                       "tigen Sie mit einer beliebigen Taste.");
  EXPECT_FALSE(std::filesystem::exists(dir.file("Dump_New.bin")));
}

TEST(Dialogue, OutputThatCannotBeCreatedPausesAndEndsWithStatusOne) {
  scratch_dir dir;
  write_file(dir.file("Dump.bin"), make_dump(2112));
  ASSERT_EQ(mkdir(dir.file("Dump_New.bin").c_str(), 0700), 0);
  const program_result r = run_program(kProgram, dir.path(), "2048\n64\n64\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, kBanner + kPrompts + report(2112, 2112, 4, 0, 1) +
                       "Datei-Oeffnungsfehler\nDruecken Sie eine beliebige Taste . . . \n");
}

TEST(Dialogue, AnExistingOutputIsLeftAsItIs) {
  // Dump_New.bin is where pagolinth-ecc fix writes by default: a walk after a fix must not
  // destroy the corrected dump. A missing one is still created empty.
  const geometry_case c{2048, 64, 64, 2 * 2112};
  const std::string dump = make_dump(c.dump_size);
  {
    scratch_dir dir;
    write_file(dir.file("Dump.bin"), dump);
    write_file(dir.file("Dump_New.bin"), "corrected dump");
    const program_result r = run_program(kProgram, dir.path(), answers(c));
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, expected_run(c)) << "the transcript changed";
    EXPECT_EQ(read_file(dir.file("Dump_New.bin")), "corrected dump");
  }
  {
    scratch_dir dir;
    write_file(dir.file("Dump.bin"), dump);
    const program_result r = run_program(kProgram, dir.path(), answers(c));
    EXPECT_EQ(r.exit_status, 0);
    ASSERT_TRUE(std::filesystem::exists(dir.file("Dump_New.bin")));
    EXPECT_EQ(std::filesystem::file_size(dir.file("Dump_New.bin")), 0u);
  }
}

TEST(Dialogue, AnOutputThatIsALinkOrNoPlainFileIsRefusedAndNothingIsTouched) {
  // Whatever stands at Dump_New.bin, the dump, the file a link points to and the link itself
  // keep what they hold, a missing link target is not created, and the run ends with the
  // output's error and status 1 instead of a walk.
  const geometry_case c{2048, 64, 64, 2 * 2112};
  const std::string dump = make_dump(c.dump_size);
  const std::string other = "another file of the user's";
  enum class kind { symlink_to_dump, hard_link_to_dump, symlink_to_other, dangling, fifo };
  const struct {
    const char* name;
    kind what;
  } cases[] = {
      {"symbolic link to Dump.bin", kind::symlink_to_dump},
      {"hard link to Dump.bin", kind::hard_link_to_dump},
      {"symbolic link to another file", kind::symlink_to_other},
      {"symbolic link to a missing file", kind::dangling},
      {"FIFO without a reader", kind::fifo},
  };
  for (const auto& cs : cases) {
    SCOPED_TRACE(testing::Message() << "case: Dump_New.bin is a " << cs.name);
    scratch_dir dir;
    write_file(dir.file("Dump.bin"), dump);
    write_file(dir.file("other.bin"), other);
    const std::string out = dir.file("Dump_New.bin");
    switch (cs.what) {
      case kind::symlink_to_dump:
        ASSERT_EQ(symlink("Dump.bin", out.c_str()), 0);
        break;
      case kind::hard_link_to_dump:
        ASSERT_EQ(link(dir.file("Dump.bin").c_str(), out.c_str()), 0);
        break;
      case kind::symlink_to_other:
        ASSERT_EQ(symlink("other.bin", out.c_str()), 0);
        break;
      case kind::dangling:
        ASSERT_EQ(symlink("missing.bin", out.c_str()), 0);
        break;
      case kind::fifo:
        ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
        break;
    }
    const guarded_result g = run_guarded(dir.path(), answers(c));
    ASSERT_FALSE(g.hung) << "the program waited on Dump_New.bin and was killed";
    EXPECT_EQ(g.run.exit_status, 1);
    EXPECT_EQ(g.run.out,
              kBanner + kPrompts + report(c.dump_size, 2112, 4, 0, 2) + kOutputOpenError);
    EXPECT_EQ(read_file(dir.file("Dump.bin")), dump) << "the dump was changed";
    EXPECT_EQ(read_file(dir.file("other.bin")), other) << "the link's target was changed";
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.bin"))) << "a link target was made";
    const auto type = std::filesystem::symlink_status(out).type();
    if (cs.what == kind::hard_link_to_dump)
      EXPECT_EQ(type, std::filesystem::file_type::regular);
    else if (cs.what == kind::fifo)
      EXPECT_EQ(type, std::filesystem::file_type::fifo);
    else
      EXPECT_EQ(type, std::filesystem::file_type::symlink);
  }
}

TEST(Dialogue, ADumpThatIsNoRegularFileIsRefusedWithoutWaiting) {
  // A folder would claim a size it has no pages for, a FIFO without a writer would block the
  // open for ever, a device reads as endless or empty: each is the dump's open error, status 1,
  // and no Dump_New.bin. A link to a regular dump is a dump like any other.
  enum class kind { folder, fifo, link_to_device, link_to_folder, link_to_dump };
  const struct {
    const char* name;
    kind what;
  } cases[] = {
      {"folder", kind::folder},
      {"FIFO without a writer", kind::fifo},
      {"symbolic link to /dev/zero", kind::link_to_device},
      {"symbolic link to a folder", kind::link_to_folder},
      {"symbolic link to a regular dump", kind::link_to_dump},
  };
  const geometry_case c{2048, 64, 64, 3 * 2112};
  for (const auto& cs : cases) {
    SCOPED_TRACE(testing::Message() << "case: Dump.bin is a " << cs.name);
    scratch_dir dir;
    const std::string name = dir.file("Dump.bin");
    switch (cs.what) {
      case kind::folder:
        ASSERT_EQ(mkdir(name.c_str(), 0700), 0);
        break;
      case kind::fifo:
        ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
        break;
      case kind::link_to_device:
        ASSERT_EQ(symlink("/dev/zero", name.c_str()), 0);
        break;
      case kind::link_to_folder:
        ASSERT_EQ(symlink(dir.path().c_str(), name.c_str()), 0);
        break;
      case kind::link_to_dump:
        write_file(dir.file("real.bin"), make_dump(c.dump_size));
        ASSERT_EQ(symlink("real.bin", name.c_str()), 0);
        break;
    }
    const guarded_result g = run_guarded(dir.path(), answers(c));
    ASSERT_FALSE(g.hung) << "the program waited on Dump.bin and was killed";
    if (cs.what == kind::link_to_dump) {
      EXPECT_EQ(g.run.exit_status, 0);
      EXPECT_EQ(g.run.out, expected_run(c));
      continue;
    }
    EXPECT_EQ(g.run.exit_status, 1);
    EXPECT_EQ(g.run.out, kBanner + kPrompts + kDumpOpenError);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.file("Dump_New.bin"))))
        << "Dump_New.bin was created";
  }
}

TEST(Dialogue, LongAnswersAreJudgedWhole) {
  // What matters may lie past any fixed length: a stray letter after 36 zeros, the digits
  // after 41 zeros, a number of a million digits, a million leading zeros.
  const geometry_case c{2048, 64, 64, 2 * 2112};
  const std::string input = std::string(36, '0') + "2048abc\n" + std::string(1 << 20, '9') + "\n" +
                            std::string(41, '0') + "2048\n" + std::string(1 << 20, '0') +
                            "64\n64\n";
  scratch_dir dir;
  write_file(dir.file("Dump.bin"), make_dump(c.dump_size));
  const program_result r = run_program(kProgram, dir.path(), input);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out,
            kBanner + "\n" + kAskPage +
                "Ungueltige Eingabe: bitte eine ganze Zahl in Dezimalschreibweise "
                "eingeben.\n" +
                kAskPage + "Ungueltiger Wert: der Parameter darf hoechstens 2147483647 sein.\n" +
                kAskPage + kAskSpare + kAskBlock + "\n" + report(c.dump_size, 2112, 4, 0, 2) +
                expected_walk(c.dump_size, 2048, 64) + kFinal);
}

TEST(Dialogue, PageAndSpareTooLargeTogetherAskAllThreeAgain) {
  // After a page size of 2^31 - 1 no spare size fits beside it; asking only for the spare
  // again would leave the user no way out. The third set is the one walked.
  const geometry_case c{512, 23, 1, 3 * 535};
  const std::string sum_too_large =
      "Ungueltiger Wert: Page Size und Spare Size zusammen duerfen hoechstens 2147483647 Bytes "
      "sein.\n";
  scratch_dir dir;
  write_file(dir.file("Dump.bin"), make_dump(c.dump_size));
  const guarded_result g =
      run_guarded(dir.path(), "2147483647\n1\n2147483000\n2147483000\n512\n23\n1\n");
  ASSERT_FALSE(g.hung);
  EXPECT_EQ(g.run.exit_status, 0);
  EXPECT_EQ(g.run.out, kBanner + "\n" + kAskPage + kAskSpare + sum_too_large + kAskAgain +
                           kAskPage + kAskSpare + sum_too_large + kAskAgain + kAskPage + kAskSpare +
                           kAskBlock + "\n" + report(c.dump_size, 535, 1, 3, 3) +
                           expected_walk(c.dump_size, 512, 23) + kFinal);
}

TEST(Dialogue, AnUnwritableStandardOutputEndsTheRunWithStatusOne) {
  // /dev/full takes no byte: the run must not claim success, must say why on standard error,
  // and must stop walking instead of reading a key for each of the 12,000 sectors.
  if (!std::filesystem::exists("/dev/full"))
    GTEST_SKIP() << "no /dev/full on this system";
  const std::int64_t pages = 3000;
  scratch_dir dir;
  write_file(dir.file("Dump.bin"), "");
  std::filesystem::resize_file(dir.file("Dump.bin"), pages * 2112);
  const std::string keys(pages * 4 + 1000, 'k');
  const guarded_result g = run_guarded(dir.path(), "2048\n64\n64\n" + keys, "/dev/full");
  ASSERT_FALSE(g.hung);
  EXPECT_EQ(g.run.signal, 0);
  EXPECT_EQ(g.run.exit_status, 1);
  EXPECT_EQ(g.run.err, "pagolinth: cannot write to standard output\n");
  EXPECT_LT(g.input_read, 8192) << "the walk ran on after standard output had failed";
}

TEST(ParseAnswer, AcceptsPlainDecimalNumbersOfThirtyOneBits) {
  struct {
    const char* text;
    answer_error error;
    std::int32_t value;
  } cases[] = {
      {"2048", answer_error::none, 2048},
      {"+64", answer_error::none, 64},
      {"0002147483647", answer_error::none, 2147483647},
      {"1", answer_error::none, 1},
      {"2147483648", answer_error::too_large, 7},
      {"99999999999999999999999", answer_error::too_large, 7},
      {"0", answer_error::not_positive, 7},
      {"-0", answer_error::not_positive, 7},
      {"-1", answer_error::not_positive, 7},
      {"-99999999999999", answer_error::not_positive, 7},
      {"", answer_error::not_a_number, 7},
      {"+", answer_error::not_a_number, 7},
      {"-", answer_error::not_a_number, 7},
      {"12a", answer_error::not_a_number, 7},
      {"0x10", answer_error::not_a_number, 7},
      {"1e3", answer_error::not_a_number, 7},
      {"--5", answer_error::not_a_number, 7},
      {"\xC3\xA4", answer_error::not_a_number, 7},
  };
  for (const auto& c : cases) {
    std::int32_t value = 7;
    EXPECT_EQ(parse_answer(c.text, value), c.error) << "answer \"" << c.text << "\"";
    EXPECT_EQ(value, c.value) << "answer \"" << c.text << "\"";
  }
  // Answers longer than any buffer: what decides may come anywhere.
  const std::string mega_zeros(1 << 20, '0');
  const struct {
    const char* name;
    std::string text;
    answer_error error;
    std::int32_t value;
  } long_cases[] = {
      {"36 zeros, 2048abc", std::string(36, '0') + "2048abc", answer_error::not_a_number, 7},
      {"41 zeros, 1", std::string(41, '0') + "1", answer_error::none, 1},
      {"-, 41 zeros, 1", "-" + std::string(41, '0') + "1", answer_error::not_positive, 7},
      {"1 MB of zeros, 2147483647", mega_zeros + "2147483647", answer_error::none, 2147483647},
      {"1 MB of zeros, 2147483648", mega_zeros + "2147483648", answer_error::too_large, 7},
      {"1 MB of zeros", mega_zeros, answer_error::not_positive, 7},
      {"1 MB of nines", std::string(1 << 20, '9'), answer_error::too_large, 7},
      {"-, 1 MB of nines", "-" + std::string(1 << 20, '9'), answer_error::not_positive, 7},
      {"1 MB of nines, x", std::string(1 << 20, '9') + "x", answer_error::not_a_number, 7},
      {"+, 1 MB of zeros, 5", "+" + mega_zeros + "5", answer_error::none, 5},
      {"+, 1 MB of zeros, -5", "+" + mega_zeros + "-5", answer_error::not_a_number, 7},
  };
  for (const auto& c : long_cases) {
    std::int32_t value = 7;
    EXPECT_EQ(parse_answer(c.text, value), c.error) << "answer of " << c.name;
    EXPECT_EQ(value, c.value) << "answer of " << c.name;
  }
}

}  // namespace
