// Fuzz target of the console dialogue: the real run_dialogue() in-process, with the input split
// into the typed answers and the dump, in a private folder; and parse_answer on every word
// typed, against a reference of its own. Aborts with a message when a promise is broken.
//
// Input: two bytes (little-endian) give the length of the answer text, which follows; the rest
// is Dump.bin. The walk waits for one key per sector; the end of the answers counts as a key,
// so no run ever waits, and the dump's size is capped to keep runs short.
#include <fcntl.h>     // open, O_RDONLY, O_WRONLY
#include <sys/stat.h>  // struct stat, stat
#include <unistd.h>    // dup, dup2, close, chdir

#include <cstddef>     // std::size_t
#include <cstdint>     // std::uint8_t, std::int32_t
#include <cstdio>      // std::FILE, std::fopen, std::fwrite, std::fflush, std::fseek, stdin
#include <cstdlib>     // std::abort, std::atexit, mkdtemp, std::getenv
#include <cstring>     // std::memcmp
#include <filesystem>  // std::filesystem::directory_iterator, remove
#include <string>      // std::string
#include <vector>      // std::vector

#include "console/dialogue.h"  // run_dialogue, parse_answer, answer_error

namespace {

constexpr std::size_t kMaxAnswerBytes = 4096;
constexpr std::size_t kMaxDumpBytes = 64 * 1024;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "dialogue fuzz: %s\n", what.c_str());
  std::abort();
}

// What parse_answer must say, worked out another way: the text's shape first, then the
// magnitude compared as a digit string with 2^31 - 1.
answer_error expected_answer(const std::string& text, std::int32_t& value) {
  std::size_t i = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size() || text.find_first_not_of("0123456789", i) != std::string::npos)
    return answer_error::not_a_number;
  std::string digits = text.substr(text.find_first_not_of('0', i) == std::string::npos
                                       ? text.size()
                                       : text.find_first_not_of('0', i));
  if (negative || digits.empty())
    return answer_error::not_positive;
  const std::string max = "2147483647";
  if (digits.size() > max.size() || (digits.size() == max.size() && digits > max))
    return answer_error::too_large;
  value = 0;
  for (char d : digits)
    value = value * 10 + (d - '0');
  return answer_error::none;
}

void check_answer(const std::string& text) {
  std::int32_t got = -7;
  std::int32_t want = -7;
  const answer_error e = parse_answer(text, got);
  const answer_error w = expected_answer(text, want);
  if (e != w || got != want)
    fail("parse_answer(\"" + text + "\") gives verdict " + std::to_string(static_cast<int>(e)) +
         " value " + std::to_string(got) + ", expected verdict " +
         std::to_string(static_cast<int>(w)) + " value " + std::to_string(want));
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool write_file(const char* name, const std::uint8_t* bytes, std::size_t size) {
  std::FILE* f = std::fopen(name, "wb");
  if (f == nullptr)
    return false;
  const bool ok = std::fwrite(bytes, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

std::string read_file(const char* name) {
  std::string bytes;
  std::FILE* f = std::fopen(name, "rb");
  if (f == nullptr)
    return bytes;
  char buffer[8192];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
    bytes.append(buffer, got);
  std::fclose(f);
  return bytes;
}

// The private folder, made once and entered; the descriptors of the real standard input and
// output, kept to restore them after each run.
struct harness {
  int saved_in = -1;
  int saved_out = -1;
  int null_out = -1;
};

std::string g_folder;  // the private folder, removed when the fuzzer ends normally

void remove_folder() {
  std::error_code ignored;
  std::filesystem::remove_all(g_folder, ignored);
}

const harness& setup() {
  static harness h = [] {
    harness made;
    const char* base = std::getenv("TMPDIR");
    g_folder = std::string(base && *base ? base : "/tmp") + "/pagolinth-fuzz-XXXXXX";
    if (mkdtemp(g_folder.data()) == nullptr || chdir(g_folder.c_str()) != 0)
      fail("cannot make and enter a private folder");
    std::atexit(remove_folder);
    made.saved_in = dup(STDIN_FILENO);
    made.saved_out = dup(STDOUT_FILENO);
    made.null_out = open("/dev/null", O_WRONLY);
    if (made.saved_in < 0 || made.saved_out < 0 || made.null_out < 0)
      fail("cannot keep the standard descriptors");
    return made;
  }();
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < 2)
    return -1;
  const std::size_t answer_bytes = static_cast<std::size_t>(input[0] | input[1] << 8);
  if (answer_bytes > kMaxAnswerBytes || answer_bytes > size - 2 ||
      size - 2 - answer_bytes > kMaxDumpBytes)
    return -1;  // not kept in the corpus
  const std::string answers(reinterpret_cast<const char*>(input + 2), answer_bytes);
  const std::uint8_t* dump = input + 2 + answer_bytes;
  const std::size_t dump_bytes = size - 2 - answer_bytes;

  // Every word the dialogue will read, and the whole text as one word.
  check_answer(answers);
  for (std::size_t i = 0; i < answers.size();) {
    while (i < answers.size() && is_blank(answers[i]))
      ++i;
    const std::size_t start = i;
    while (i < answers.size() && !is_blank(answers[i]))
      ++i;
    if (i > start)
      check_answer(answers.substr(start, i - start));
  }

  const harness& h = setup();
  std::error_code ignored;
  std::filesystem::remove("Dump_New.bin", ignored);
  if (!write_file("Dump.bin", dump, dump_bytes) ||
      !write_file("answers.txt", input + 2, answer_bytes))
    fail("cannot write the run's files");

  const int answers_fd = open("answers.txt", O_RDONLY);
  if (answers_fd < 0)
    fail("cannot open the answers");
  std::fflush(stdout);
  dup2(answers_fd, STDIN_FILENO);
  close(answers_fd);
  // The stream may hold what the last run left unread, and its end-of-file mark.
  std::fseek(stdin, 0, SEEK_SET);
  std::clearerr(stdin);
  dup2(h.null_out, STDOUT_FILENO);

  const int status = run_dialogue();

  std::fflush(stdout);
  dup2(h.saved_out, STDOUT_FILENO);
  dup2(h.saved_in, STDIN_FILENO);
  std::clearerr(stdin);

  if (status != 0 && status != 1)
    fail("run_dialogue returned " + std::to_string(status));
  const std::string after = read_file("Dump.bin");
  if (after.size() != dump_bytes || std::memcmp(after.data(), dump, dump_bytes) != 0)
    fail("Dump.bin was changed");
  // Dump_New.bin is created empty and never written; nothing else appears.
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    const std::string name = entry.path().filename().string();
    if (name == "Dump.bin" || name == "answers.txt")
      continue;
    if (name != "Dump_New.bin")
      fail("the dialogue left a file named " + name);
    if (std::filesystem::file_size(entry.path(), ignored) != 0)
      fail("Dump_New.bin is not empty");
  }
  if (status == 0 && !std::filesystem::exists("Dump_New.bin", ignored))
    fail("a complete walk did not create Dump_New.bin");
  return 0;
}
