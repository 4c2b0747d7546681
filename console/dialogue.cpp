// The German console dialogue: banner, geometry questions, the dump's measurements, and a
// walk page by page and sector by sector. The dump is read one page at a time, so memory
// stays the same whatever the dump's size. All texts are the program's own, byte for byte.
#include "console/dialogue.h"

#include <cstdio>            // std::printf, std::fputs, std::fopen, std::fread, std::ferror
#include <filesystem>        // std::filesystem::status, symlink_status, equivalent
#include <initializer_list>  // std::initializer_list
#include <limits>            // std::numeric_limits
#include <memory>            // std::unique_ptr
#include <new>               // std::nothrow
#include <system_error>      // std::error_code

#include "layout/page_layout.h"  // extract_sector, layout_end, sectors_per_page
#include "platform/platform.h"   // platform_* console and file operations

namespace {

constexpr std::int32_t kMaxAnswer = std::numeric_limits<std::int32_t>::max();

const char kStars[] =
    "*************************************************************************************"
    "***********************";  // 108 asterisks

const char kTitle[] =
    "***************************************Pagolinth - BCH ECC Code***********************"
    "**********************";
const char kPlacement[] =
    "***** Bitte legen Sie das Programm XXXX.exe und die Datei <Dump.bin> in den ECC-Ordner der "
    "Festplatte C*****";

const char kPromptPageSize[] = "Geben Sie den Parameter an <Page Size without Spare> in <Bytes> : ";
const char kPromptSpareSize[] = "Geben Sie den Parameter an <Spare Size> in <Bytes> : ";
const char kPromptBlockPages[] = "Geben Sie den Parameter an <Block size> in <Pages> : ";
const char kAskAgain[] = "Bitte geben Sie die Parameter erneut ein.\n\n";

const char kMeasuredName[] = "Dump.bin";
const char kInputName[] = "C:/ECC/Dump.bin";
const char kOutputName[] = "C:/ECC/Dump_New.bin";

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;
using byte_buffer = std::unique_ptr<unsigned char[]>;

// The run's state in one place: the geometry and what the walk works on.
struct dialogue_state {
  dump_geometry geometry;
  byte_buffer page;    // one page with spare
  byte_buffer sector;  // the current sector's 512 data bytes
  byte_buffer ecc;     // the current sector's 13 ECC bytes
  file_ptr input;      // the dump being walked
  file_ptr output;     // "Dump_New.bin", created empty when missing, kept open to the end
};

bool is_blank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// An answer judged one character at a time, so that an answer of any length is judged whole in
// a few bytes: leading zeros leave the magnitude at 0, and once the magnitude is past the
// largest answer its further digits no longer matter.
struct answer_scan {
  bool started = false;   // a character has come
  bool negative = false;  // the first character was '-'
  bool digits = false;    // a digit has come after the optional sign
  bool other = false;     // anything but a digit has come after the optional sign
  std::int64_t magnitude = 0;
  bool overflow = false;  // magnitude went past kMaxAnswer; it stays put from then on
};

void scan_char(answer_scan& s, char c) {
  const bool first = !s.started;
  s.started = true;
  if (first && (c == '+' || c == '-')) {
    s.negative = c == '-';
    return;
  }
  if (c < '0' || c > '9') {
    s.other = true;
    return;
  }
  s.digits = true;
  if (!s.overflow) {
    s.magnitude = s.magnitude * 10 + (c - '0');
    s.overflow = s.magnitude > kMaxAnswer;
  }
}

// A stray character outweighs a sign, and a sign outweighs the size, so that each kind of
// bad answer gets the same message however long it is.
answer_error scan_verdict(const answer_scan& s, std::int32_t& value) {
  if (s.other || !s.digits)
    return answer_error::not_a_number;
  if (s.negative || s.magnitude == 0)
    return answer_error::not_positive;
  if (s.overflow)
    return answer_error::too_large;
  value = static_cast<std::int32_t>(s.magnitude);
  return answer_error::none;
}

// Judges the next blank-separated word of standard input as an answer, in `verdict` and, when
// valid, `value`. Returns false when the input ends before a word begins. The blank after the
// word stays unread.
bool read_answer(answer_error& verdict, std::int32_t& value) {
  int c = std::getchar();
  while (c != EOF && is_blank(c))
    c = std::getchar();
  if (c == EOF)
    return false;
  answer_scan scan;
  while (c != EOF && !is_blank(c)) {
    scan_char(scan, static_cast<char>(c));
    c = std::getchar();
  }
  if (c != EOF)
    std::ungetc(c, stdin);
  verdict = scan_verdict(scan, value);
  return true;
}

// True once a write to standard output has failed: what comes after would be lost too.
bool output_failed() {
  return std::ferror(stdout) != 0;
}

// Drops the rest of the current input line, its line end included.
void discard_line() {
  int c = std::getchar();
  while (c != EOF && c != '\n')
    c = std::getchar();
}

// Prints `prompt` and reads answers until one is a valid number, which lands in `value`.
// A refused answer gets a message, the rest of its line is dropped and the prompt repeats.
// Returns false when the input ends first, or when standard output has failed (no one sees
// the questions, so refused answers must not keep the loop going).
bool ask_number(const char* prompt, std::int32_t& value) {
  for (;;) {
    std::printf("%s\n", prompt);
    std::fflush(stdout);
    answer_error verdict = answer_error::none;
    if (output_failed() || !read_answer(verdict, value))
      return false;
    switch (verdict) {
      case answer_error::none:
        return true;
      case answer_error::not_a_number:
        std::fputs("Ungueltige Eingabe: bitte eine ganze Zahl in Dezimalschreibweise eingeben.\n",
                   stdout);
        break;
      case answer_error::not_positive:
        std::fputs("Ungueltiger Wert: der Parameter muss groesser als 0 sein.\n", stdout);
        break;
      case answer_error::too_large:
        std::printf("Ungueltiger Wert: der Parameter darf hoechstens %d sein.\n", kMaxAnswer);
        break;
    }
    discard_line();
  }
}

// Asks the three questions until the answers describe a page whose sectors fit in it. When
// page and spare together are too large, all three are asked again: the page size may be the
// wrong answer, and asking only for the spare again would leave no way out.
// Returns false when the input ends first.
bool ask_geometry(dump_geometry& g) {
  std::fputs("\n", stdout);
  for (;;) {
    if (!ask_number(kPromptPageSize, g.page_size))
      return false;
    g.step_per_page = sectors_per_page(g.page_size);
    if (!ask_number(kPromptSpareSize, g.spare_size))
      return false;
    if (g.spare_size > kMaxAnswer - g.page_size) {
      std::printf(
          "Ungueltiger Wert: Page Size und Spare Size zusammen duerfen hoechstens %d Bytes "
          "sein.\n%s",
          kMaxAnswer, kAskAgain);
      discard_line();
      continue;
    }
    if (!ask_number(kPromptBlockPages, g.block_pages))
      return false;
    // The line end of the last answer is no key press for the walk.
    discard_line();
    g.page_size_with_spare = g.page_size + g.spare_size;
    const std::int64_t end = layout_end(g.step_per_page);
    if (end <= g.page_size_with_spare)
      break;
    std::printf(
        "Die Parameter passen nicht zum Seitenaufbau: der ECC-Bereich des letzten Datenblocks "
        "endet bei Byte %lld, die Page mit Spare hat aber nur %d Bytes.\n%s",
        static_cast<long long>(end), g.page_size_with_spare, kAskAgain);
  }
  std::fputs("\n", stdout);
  return true;
}

void print_banner() {
  std::printf("%s\n", kStars);
  std::printf("%s\n", kTitle);
  std::printf("%s\n", kStars);
  std::printf("%s\n\n", kStars);
  std::printf("%s\n", kPlacement);
  std::printf("%s\n\n", kStars);
}

// True when `name` is a regular file, links followed. Anything else is no dump: a FIFO would
// block the open, a folder claims a size it has no pages for, a device reads as endless or
// empty. Checked before the open; a FIFO swapped in between check and open by someone who may
// write the folder still blocks the open, as it would for any program reading that name.
bool is_regular_dump(const std::string& name) {
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::status(name, ec));
}

// Measures the dump by seeking to its end. Returns false when it is no regular file or
// cannot be opened.
bool measure_dump(dump_geometry& g) {
  const std::string name = platform_path(kMeasuredName);
  if (!is_regular_dump(name))
    return false;
  file_ptr file(std::fopen(name.c_str(), "rb"));
  if (!file)
    return false;
  g.file_size = -1;
  if (platform_fseek64(file.get(), 0, SEEK_END) == 0)
    g.file_size = platform_ftell64(file.get());
  const std::int64_t page_bytes = g.page_size_with_spare;
  g.pages_per_device = g.file_size / page_bytes;
  g.blocks_per_device = g.file_size / (std::int64_t{g.block_pages} * page_bytes);
  return true;
}

// True when "Dump_New.bin" may be opened: missing, or a plain regular file of its own. A link
// (even one to a harmless file: its target may change before the open), a FIFO (whose open
// blocks), a device or a folder is refused, and so is another name of the dump, whichever of
// the dump's two names it shares a file with.
// The open that follows cannot refuse links itself (fopen has no such mode). It appends and
// nothing is ever written, so what is swapped in between check and open is never emptied or
// changed; at worst a link put there in that moment gets its missing target created empty, or
// a FIFO makes the open wait.
bool output_is_own_file(const std::string& name) {
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::symlink_status(name, ec);
  if (st.type() == std::filesystem::file_type::not_found)
    return true;
  if (st.type() != std::filesystem::file_type::regular)
    return false;
  for (const char* dump : {kMeasuredName, kInputName}) {
    const bool same = std::filesystem::equivalent(name, platform_path(dump), ec);
    if (same || ec)
      return false;
  }
  return true;
}

void print_report(const dump_geometry& g) {
  std::fputs("\nZusaetzliche Datei-Informationen:", stdout);
  std::printf("Komplette Dateigroesse <Dump.bin>: %lld Bytes\n",
              static_cast<long long>(g.file_size));
  std::printf("Parameter <Page Size with Spare>: %d Bytes\n", g.page_size_with_spare);
  std::printf("Parameter <step_per_page>: %d Bytes\n", g.step_per_page);
  std::printf("Anzahl <Block per Device>: %lld Blocks\n",
              static_cast<long long>(g.blocks_per_device));
  std::printf("Anzahl der Seiten pro Device <Pages per Device>: %lld Pages\n\n",
              static_cast<long long>(g.pages_per_device));
}

byte_buffer allocate(std::size_t bytes) {
  return byte_buffer(new (std::nothrow) unsigned char[bytes]);
}

void print_sector_report(std::int32_t k, std::int64_t offset, const unsigned char* s) {
  std::fputs("\n", stdout);
  std::printf("Datablock %d je 512 Bytes fuer ECC Berechnung.\n", k);
  std::printf("Offset Datablock: %lld \n", static_cast<long long>(offset));
  std::fputs("\n", stdout);
  std::printf("Buffer buf_bp0-buf_bp3: %X %X %X %X \n", s[0], s[1], s[2], s[3]);
  std::printf("Buffer buf_bp465-buf_bp468: %X %X %X %X \n", s[465], s[466], s[467], s[468]);
  std::printf("Buffer buf_bp469-buf_bp473: %X %X %X %X  \n", s[469], s[470], s[471], s[472]);
  std::printf("Buffer buf_bp508-buf_bp511: %X %X %X %X  \n", s[508], s[509], s[510], s[511]);
  std::fputs("\n\n", stdout);
}

// Walks the pages one at a time, as read from the input. A page that cannot be read whole
// (a dump shorter than measured, or one whose size is unknown) ends the walk, and so does a
// failed write to standard output: a long walk would otherwise run on to a reader who is gone.
void walk_dump(dialogue_state& st) {
  const dump_geometry& g = st.geometry;
  const std::size_t page_bytes = static_cast<std::size_t>(g.page_size_with_spare);
  if (platform_fseek64(st.input.get(), 0, SEEK_SET) != 0)
    return;
  for (std::int64_t j = 0; j < g.pages_per_device; ++j) {
    if (std::fread(st.page.get(), 1, page_bytes, st.input.get()) != page_bytes)
      return;
    for (std::int32_t k = 0; k < g.step_per_page; ++k) {
      const std::int64_t offset =
          extract_sector(st.page.get(), k, g.step_per_page, st.sector.get(), st.ecc.get());
      print_sector_report(k, offset, st.sector.get());
      platform_wait_key();  // flushes standard output first
      if (output_failed())
        return;
    }
  }
}

// Every end of the run passes here: a transcript that did not reach standard output whole
// is a failed run, told on standard error, since standard output is what failed.
int finish(int status) {
  if (std::fflush(stdout) != 0 || output_failed()) {
    std::fputs("pagolinth: cannot write to standard output\n", stderr);
    return 1;
  }
  return status;
}

}  // namespace

answer_error parse_answer(const std::string& text, std::int32_t& value) {
  answer_scan scan;
  for (const char c : text)
    scan_char(scan, c);
  return scan_verdict(scan, value);
}

int run_dialogue() {
  dialogue_state st;
  dump_geometry& g = st.geometry;

  platform_set_locale();
  platform_clear_screen();
  print_banner();

  if (!ask_geometry(g)) {
    std::fputs("\nDie Eingabe ist zu Ende, bevor alle Parameter angegeben wurden. Abbruch.\n",
               stdout);
    return finish(1);
  }

  if (!measure_dump(g)) {
    std::fputs(
        "Datei-\xC3\x96"
        "ffnungsfehler\n",
        stdout);
    std::fputs(
        "Best\xC3\xA4"
        "tigen Sie mit einer beliebigen Taste.",
        stdout);
    platform_wait_key();
    return finish(1);
  }
  print_report(g);

  st.page = allocate(static_cast<std::size_t>(g.page_size_with_spare));
  st.sector = allocate(kSectorLength);
  st.ecc = allocate(kEccLength);
  if (!st.page || !st.sector || !st.ecc) {
    std::fputs("Allocation Error.\n", stdout);
    return finish(1);
  }

  const std::string input_name = platform_path(kInputName);
  if (is_regular_dump(input_name))
    st.input.reset(std::fopen(input_name.c_str(), "rb"));
  if (!st.input) {
    std::fputs("Datei-Oeffnungsfehler\n", stdout);
    std::fputs("Bestaetigen Sie mit einer beliebigen Taste.", stdout);
    platform_wait_key();
    return finish(1);
  }
  // Append mode creates the file when it is missing but never empties one that exists: it may
  // hold a corrected dump written by pagolinth-ecc fix, whose default output it is.
  const std::string output_name = platform_path(kOutputName);
  if (output_is_own_file(output_name))
    st.output.reset(std::fopen(output_name.c_str(), "ab"));
  if (!st.output) {
    std::fputs("Datei-Oeffnungsfehler\n", stdout);
    platform_pause();
    return finish(1);
  }

  walk_dump(st);

  st.page.reset();
  st.sector.reset();
  st.ecc.reset();
  st.input.reset();
  if (output_failed())
    return finish(1);
  std::fputs("\nErledigt. Druecken Sie eine beliebige Taste.", stdout);
  platform_wait_key();
  return finish(0);
}
