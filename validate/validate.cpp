// pagolinth-validate: the validation run behind `make validate`. Generates a fixed corpus (the
// layouts and codes below, every error count from 0 to t+3 per step, erased pages, bad blocks),
// runs every command of the built pagolinth-ecc on it and compares each output with bytes this
// program computes on its own: a bit-serial LFSR encoder over generator polynomials built here
// from GF(2^m), which are first checked against the known answers in tests/. Prints one page.
// Usage: pagolinth-validate BIN_DIR LAYOUTS_DIR KNOWN_ANSWERS CUSTOM_KNOWN_ANSWERS WORK_DIR
// WORK_DIR is the run's own folder: a new one, or one that an earlier run made (it holds the
// marker .pagolinth-validate and nothing but what runs make), which is emptied first; any other
// folder or file is refused untouched. Status 0 when every check passed, 1 when one failed, 2
// when an argument was refused (before the run starts) or the work folder could not be used.
#include <fcntl.h>     // open
#include <sys/wait.h>  // waitpid
#include <unistd.h>    // fork, execv, dup2, chdir, access

#include <nlohmann/json.hpp>  // nlohmann::json

#include <algorithm>   // std::find, std::min, std::max, std::equal, std::all_of
#include <cctype>      // std::toupper
#include <cerrno>      // errno
#include <cstdint>     // std::uint8_t, std::uint32_t, std::uint64_t, std::int64_t
#include <cstdio>      // std::printf, std::popen
#include <cstdlib>     // std::strtoll
#include <cstring>     // std::strerror
#include <filesystem>  // std::filesystem
#include <fstream>     // std::ifstream, std::ofstream
#include <random>      // std::mt19937
#include <iterator>    // std::istreambuf_iterator
#include <sstream>     // std::istringstream
#include <string>      // std::string
#include <vector>      // std::vector

#include "status/guard.h"   // run_guarded
#include "status/status.h"  // status

namespace fs = std::filesystem;

namespace {

// ---- GF(2^m), generator polynomials and the bit-serial encoder --------------------------------

using poly = std::vector<std::uint8_t>;  // coefficient of x^i at [i], over GF(2)

// The generator of the t-error-correcting BCH code on primitive polynomial p of degree m: the
// product of the distinct minimal polynomials of a^1 ... a^(2t), each the product of (x - a^j)
// over the cyclotomic coset of its exponent.
poly generator(int m, std::uint32_t p, int t) {
  const int n = (1 << m) - 1;
  std::vector<int> exp(2 * static_cast<std::size_t>(n)), log(static_cast<std::size_t>(n) + 1);
  int x = 1;
  for (int i = 0; i < n; ++i) {
    exp[static_cast<std::size_t>(i)] = exp[static_cast<std::size_t>(i + n)] = x;
    log[static_cast<std::size_t>(x)] = i;
    x <<= 1;
    if (x & (1 << m))
      x ^= static_cast<int>(p);
  }
  const auto mul = [&](int a, int b) {
    return a == 0 || b == 0 ? 0
                            : exp[static_cast<std::size_t>(log[static_cast<std::size_t>(a)] +
                                                           log[static_cast<std::size_t>(b)])];
  };
  std::vector<bool> done(static_cast<std::size_t>(n), false);
  poly g = {1};
  for (int i = 1; i <= 2 * t; ++i) {
    if (done[static_cast<std::size_t>(i % n)])
      continue;
    std::vector<int> minimal = {1};  // field coefficients, x^0 first
    int j = i % n;
    do {
      done[static_cast<std::size_t>(j)] = true;
      std::vector<int> next(minimal.size() + 1, 0);
      const int root = exp[static_cast<std::size_t>(j)];
      for (std::size_t k = 0; k < minimal.size(); ++k) {
        next[k + 1] ^= minimal[k];
        next[k] ^= mul(minimal[k], root);
      }
      minimal = next;
      j = (2 * j) % n;
    } while (j != i % n);
    poly product(g.size() + minimal.size() - 1, 0);
    for (std::size_t a = 0; a < g.size(); ++a)
      for (std::size_t b = 0; b < minimal.size(); ++b)
        product[a + b] ^= static_cast<std::uint8_t>(g[a] & minimal[b]);
    g = product;
  }
  return g;
}

std::string poly_hex(const poly& g) {
  std::string hex;
  const int digits = static_cast<int>((g.size() + 3) / 4);
  for (int d = digits - 1; d >= 0; --d) {
    int v = 0;
    for (int b = 3; b >= 0; --b) {
      const std::size_t i = static_cast<std::size_t>(4 * d + b);
      v = 2 * v + (i < g.size() ? g[i] : 0);
    }
    hex += "0123456789ABCDEF"[v];
  }
  return hex;
}

std::uint8_t reversed(std::uint8_t b) {
  std::uint8_t r = 0;
  for (int i = 0; i < 8; ++i)
    r = static_cast<std::uint8_t>(r | (((b >> i) & 1) << (7 - i)));
  return r;
}

struct code_model {
  int m = 13, t = 8;
  std::uint32_t polynomial = 0;
  bool lsb = false, erased_ff = false, pad_start = false;
  poly g;
  int r = 0, ecc_bytes = 0;
  std::vector<std::uint8_t> ff_mask;  // NOT ECC(all-0xFF message), for erased_ff
};

// The logical ECC bytes of `message` (logical bytes, most significant bit first): the
// remainder of message * x^r by g, one bit at a time through an LFSR.
std::vector<std::uint8_t> lfsr_ecc(const code_model& c, const std::vector<std::uint8_t>& message) {
  std::vector<std::uint8_t> reg(static_cast<std::size_t>(c.r), 0);  // reg[i]: coefficient x^i
  for (std::uint8_t byte : message) {
    for (int b = 7; b >= 0; --b) {
      const std::uint8_t feedback = static_cast<std::uint8_t>(((byte >> b) & 1) ^ reg.back());
      for (int i = c.r - 1; i > 0; --i)
        reg[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(
            reg[static_cast<std::size_t>(i - 1)] ^ (feedback & c.g[static_cast<std::size_t>(i)]));
      reg[0] = static_cast<std::uint8_t>(feedback & c.g[0]);
    }
  }
  std::vector<std::uint8_t> ecc(static_cast<std::size_t>(c.ecc_bytes), 0);
  const int pad = c.pad_start ? 8 * c.ecc_bytes - c.r : 0;
  for (int i = 0; i < c.r; ++i) {
    const int at = pad + i;  // bit at of the string holds x^(r-1-i)
    if (reg[static_cast<std::size_t>(c.r - 1 - i)])
      ecc[static_cast<std::size_t>(at / 8)] |= static_cast<std::uint8_t>(0x80 >> (at % 8));
  }
  return ecc;
}

void finish_model(code_model& c, std::size_t longest_message) {
  c.g = generator(c.m, c.polynomial, c.t);
  c.r = static_cast<int>(c.g.size()) - 1;
  c.ecc_bytes = (c.r + 7) / 8;
  if (c.erased_ff) {
    c.ff_mask = lfsr_ecc(c, std::vector<std::uint8_t>(longest_message, 0xFF));
    for (std::uint8_t& b : c.ff_mask)
      b = static_cast<std::uint8_t>(~b);
  }
}

// ---- Layouts, written out here apart from the tool's layout reader -------------------------

struct span {
  std::int64_t offset, length;
};
struct step_model {
  std::vector<span> data, protected_;
  span ecc;
};
struct config {
  std::string name;
  std::vector<std::string> options;  // the tool's options that select this layout and code
  int page_bytes = 0, block_pages = 0, pages = 0;
  std::vector<step_model> steps;
  code_model code;
  bool marker = false;
  span marker_span{0, 0};
  std::vector<int> marker_pages;  // within a block; negative from the last
  std::vector<int> erased_pages;  // pages left all 0xFF (the second with a few flips)
  int bad_block = -1;             // a block marked bad, or -1
};

std::vector<step_model> built_in_steps() {
  std::vector<step_model> s;
  for (int k = 0; k < 3; ++k)
    s.push_back({{{4 + 525 * k, 512}}, {}, {516 + 525 * k, 13}});
  s.push_back({{{1579, 469}, {2054, 43}}, {}, {2097, 13}});
  return s;
}

// The layout files of LAYOUTS_DIR that the corpus reads.
const char* const kLayoutFiles[] = {"default-2048-64.toml", "protected-pad-start-2048-64.toml",
                                    "spare-end-4096-224.toml"};

std::vector<config> corpus_configs(const std::string& layouts) {
  std::vector<config> all;
  config a;
  a.name = "built-in layout 2048+64, msb, no mask";
  a.page_bytes = 2112;
  a.block_pages = 16;
  a.pages = 32;
  a.options = {"--block-pages", "16"};
  a.steps = built_in_steps();
  a.code.m = 13;
  a.code.polynomial = 0x25AF;
  a.code.t = 8;
  a.erased_pages = {20, 21};
  all.push_back(a);

  config b = a;
  b.name = "built-in layout 2048+64, lsb, erased-ff";
  b.options = {"--block-pages", "16", "-t", "4", "--bit-order", "lsb", "--ecc-mask", "erased-ff"};
  b.code.t = 4;
  b.code.lsb = true;
  b.code.erased_ff = true;
  all.push_back(b);

  config c = a;
  c.name = "layouts/default-2048-64.toml";
  c.options = {"--layout", layouts + "/" + kLayoutFiles[0]};
  c.block_pages = 64;
  all.push_back(c);

  config d;
  d.name = "layouts/protected-pad-start-2048-64.toml";
  d.options = {"--layout", layouts + "/" + kLayoutFiles[1]};
  d.page_bytes = 2112;
  d.block_pages = 64;
  d.pages = 192;
  for (int k = 0; k < 4; ++k)
    d.steps.push_back({{{512 * k, 512}}, {{2050 + 11 * k, 4}}, {2054 + 11 * k, 7}});
  d.code.m = 13;
  d.code.polynomial = 0x201B;
  d.code.t = 4;
  d.code.pad_start = true;
  d.marker = true;
  d.marker_span = {2048, 2};
  d.marker_pages = {0, -1};
  d.erased_pages = {10, 11};
  d.bad_block = 1;
  all.push_back(d);

  config e;
  e.name = "layouts/spare-end-4096-224.toml";
  e.options = {"--layout", layouts + "/" + kLayoutFiles[2]};
  e.page_bytes = 4320;
  e.block_pages = 64;
  e.pages = 192;
  for (int k = 0; k < 4; ++k)
    e.steps.push_back({{{1024 * k, 1024}}, {}, {4128 + 42 * k, 42}});
  e.code.m = 14;
  e.code.polynomial = 0x41D5;
  e.code.t = 24;
  e.marker = true;
  e.marker_span = {4096, 2};
  e.marker_pages = {0, 1};
  e.erased_pages = {10, 11};
  e.bad_block = 1;
  all.push_back(e);
  for (config& one : all) {
    std::size_t longest = 0;
    for (const step_model& s : one.steps) {
      std::size_t bytes = 0;
      for (const span& x : s.data)
        bytes += static_cast<std::size_t>(x.length);
      for (const span& x : s.protected_)
        bytes += static_cast<std::size_t>(x.length);
      longest = std::max(longest, bytes);
    }
    finish_model(one.code, longest);
  }
  return all;
}

using bytes = std::vector<std::uint8_t>;

bytes gather(const bytes& dump, std::int64_t page_start, const step_model& s) {
  bytes m;
  for (const std::vector<span>* list : {&s.data, &s.protected_})
    for (const span& x : *list)
      m.insert(m.end(), dump.begin() + page_start + x.offset,
               dump.begin() + page_start + x.offset + x.length);
  return m;
}

// The stored ECC bytes of a step's stored message.
bytes stored_ecc(const code_model& c, bytes message) {
  if (c.lsb)
    for (std::uint8_t& b : message)
      b = reversed(b);
  bytes ecc = lfsr_ecc(c, message);
  for (std::size_t i = 0; i < ecc.size(); ++i) {
    if (c.erased_ff)
      ecc[i] ^= c.ff_mask[i];
    if (c.lsb)
      ecc[i] = reversed(ecc[i]);
  }
  return ecc;
}

bool is_codeword(const config& cf, const bytes& dump, std::int64_t page_start,
                 const step_model& s) {
  const bytes ecc = stored_ecc(cf.code, gather(dump, page_start, s));
  return std::equal(ecc.begin(), ecc.end(), dump.begin() + page_start + s.ecc.offset);
}

// Stored bit positions (byte offset in the page, bit) that belong to a step's code: every
// message bit and the used bits of the ECC bytes.
std::vector<std::pair<std::int64_t, int>> code_bits(const config& cf, const step_model& s) {
  std::vector<std::pair<std::int64_t, int>> bits;
  for (const std::vector<span>* list : {&s.data, &s.protected_})
    for (const span& x : *list)
      for (std::int64_t i = x.offset; i < x.offset + x.length; ++i)
        for (int b = 0; b < 8; ++b)
          bits.push_back({i, b});
  const int pad = cf.code.pad_start ? 8 * cf.code.ecc_bytes - cf.code.r : 0;
  for (int l = pad; l < pad + cf.code.r; ++l)
    bits.push_back({s.ecc.offset + l / 8, cf.code.lsb ? l % 8 : 7 - l % 8});
  return bits;
}

// A fixed generator, so that the corpus is the same on every machine and run.
struct rng {
  std::uint64_t state;
  std::uint64_t next() {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

bool is_marker_page(const config& cf, int page) {
  const int in_block = page % cf.block_pages;
  for (int p : cf.marker_pages)
    if ((p >= 0 ? p : cf.block_pages + p) == in_block)
      return true;
  return false;
}

bool in_bad_block(const config& cf, int page) {
  return cf.bad_block >= 0 && page / cf.block_pages == cf.bad_block;
}

enum class verdict { clean, erased, corrected, uncorrectable };

// The corpus of one configuration: the raw dump (ECC zero), the clean encoded dump, the noisy
// dump and each step's error count (-1 in bad blocks, whose steps are random bytes).
struct corpus {
  bytes raw, encoded, clean, noisy;  // encoded: every page's ECC computed, erased pages too
  std::vector<int> errors;           // per step, page-major
  std::vector<bool> erased;
};

corpus make_corpus(const config& cf, std::uint64_t seed) {
  corpus k;
  rng r{seed};
  const std::size_t size = static_cast<std::size_t>(cf.page_bytes) * cf.pages;
  k.raw.assign(size, 0xFF);
  for (int p = 0; p < cf.pages; ++p) {
    const std::int64_t start = static_cast<std::int64_t>(p) * cf.page_bytes;
    const bool erased =
        std::find(cf.erased_pages.begin(), cf.erased_pages.end(), p) != cf.erased_pages.end();
    if (in_bad_block(cf, p)) {
      for (int i = 0; i < cf.page_bytes; ++i)
        k.raw[static_cast<std::size_t>(start + i)] = static_cast<std::uint8_t>(r.next());
    } else if (!erased) {
      for (const step_model& s : cf.steps) {
        for (const std::vector<span>* list : {&s.data, &s.protected_})
          for (const span& x : *list)
            for (std::int64_t i = x.offset; i < x.offset + x.length; ++i)
              k.raw[static_cast<std::size_t>(start + i)] = static_cast<std::uint8_t>(r.next());
        for (int i = 0; i < cf.code.ecc_bytes; ++i)
          k.raw[static_cast<std::size_t>(start + s.ecc.offset + i)] = 0;
      }
    }
    if (cf.marker) {
      for (std::int64_t i = 0; i < cf.marker_span.length; ++i)
        k.raw[static_cast<std::size_t>(start + cf.marker_span.offset + i)] =
            in_bad_block(cf, p) && is_marker_page(cf, p) ? 0x00 : 0xFF;
    }
  }
  k.clean = k.raw;
  for (int p = 0; p < cf.pages; ++p) {
    const std::int64_t start = static_cast<std::int64_t>(p) * cf.page_bytes;
    for (const step_model& s : cf.steps) {
      const bytes ecc = stored_ecc(cf.code, gather(k.clean, start, s));
      std::copy(ecc.begin(), ecc.end(), k.clean.begin() + start + s.ecc.offset);
    }
  }
  // Erased pages of a chip are 0xFF throughout, ECC included, whatever the code would compute.
  k.encoded = k.clean;
  for (int p : cf.erased_pages)
    std::fill(k.clean.begin() + static_cast<std::int64_t>(p) * cf.page_bytes,
              k.clean.begin() + static_cast<std::int64_t>(p + 1) * cf.page_bytes, 0xFF);
  k.noisy = k.clean;
  const int cycle = cf.code.t + 4;  // 0 ... t+3
  int step_number = 0;
  for (int p = 0; p < cf.pages; ++p) {
    const std::int64_t start = static_cast<std::int64_t>(p) * cf.page_bytes;
    const bool erased =
        std::find(cf.erased_pages.begin(), cf.erased_pages.end(), p) != cf.erased_pages.end();
    for (std::size_t si = 0; si < cf.steps.size(); ++si, ++step_number) {
      int count = step_number % cycle;
      if (erased)  // the first erased page as erased, the second with up to t/2 flips
        count =
            p == cf.erased_pages.front() ? 0 : std::min<int>(static_cast<int>(si), cf.code.t / 2);
      if (in_bad_block(cf, p))
        count = -1;
      k.errors.push_back(count);
      k.erased.push_back(erased);
      if (count < 0) {  // a bad block: the bytes as they came, ECC and all
        if (si == 0)
          std::copy(k.raw.begin() + start, k.raw.begin() + start + cf.page_bytes,
                    k.noisy.begin() + start);
        continue;
      }
      auto bits = code_bits(cf, cf.steps[si]);
      for (int f = 0; f < count; ++f) {
        const std::size_t pick = f + r.below(bits.size() - static_cast<std::size_t>(f));
        std::swap(bits[static_cast<std::size_t>(f)], bits[pick]);
        const auto [at, bit] = bits[static_cast<std::size_t>(f)];
        k.noisy[static_cast<std::size_t>(start + at)] ^= static_cast<std::uint8_t>(1u << bit);
      }
    }
  }
  return k;
}

// ---- Running the tool ----------------------------------------------------------------------

struct run_result {
  int status = -1;
  std::string out, err;
};

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bytes read_bytes(const std::string& path) {
  const std::string t = read_text(path);
  return bytes(t.begin(), t.end());
}

void write_bytes(const std::string& path, const bytes& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

run_result run(const std::string& program, const std::string& cwd,
               const std::vector<std::string>& args) {
  run_result r;
  const std::string out_path = cwd + "/.stdout", err_path = cwd + "/.stderr";
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(cwd.c_str()) != 0)
      _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    r.status = WEXITSTATUS(status);
  r.out = read_text(out_path);
  r.err = read_text(err_path);
  std::error_code ignored;  // gone already, or left for the next run to clear
  fs::remove(out_path, ignored);
  fs::remove(err_path, ignored);
  return r;
}

// SHA-256 by the system's sha256sum, a route apart from the tool's own hashing.
std::string sha256sum(const std::string& path) {
  // Quoted for the shell, a quote in the name too ('\'').
  std::string command = "sha256sum '";
  for (char c : path)
    command += c == '\'' ? std::string("'\\''") : std::string(1, c);
  command += "'";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return "";
  char line[128] = {0};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  pclose(pipe);
  return got ? std::string(line).substr(0, 64) : "";
}

long long summary_value(const std::string& out, const std::string& label) {
  const std::size_t at = out.find(label);
  if (at == std::string::npos)
    return -1;
  // What the tool printed is under test: a label without a number is a mismatch, not a stop.
  const char* digits = out.c_str() + at + label.size();
  char* end = nullptr;
  const long long value = std::strtoll(digits, &end, 10);
  return end == digits ? -1 : value;
}

// ---- The result page -----------------------------------------------------------------------

int g_pass = 0, g_fail = 0;

void result(const std::string& config_tag, const std::string& what, bool ok,
            const std::string& why = "") {
  (ok ? g_pass : g_fail)++;
  std::printf("%s  %-3s %-46s%s%s\n", ok ? "pass" : "FAIL", config_tag.c_str(), what.c_str(),
              ok || why.empty() ? "" : "  ", ok ? "" : why.c_str());
}

std::string first_difference(const bytes& got, const bytes& want) {
  if (got.size() != want.size())
    return "size " + std::to_string(got.size()) + ", expected " + std::to_string(want.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    if (got[i] != want[i])
      return "first difference at byte " + std::to_string(i);
  return "";
}

// The fix output's verdict on each step, checked against the corpus: steps with at most t
// errors must be the clean bytes, erased steps all 0xFF, and any other step either as read
// (uncorrectable) or a codeword within t bits of what was read (a decoder may land on another
// codeword beyond t errors; that is BCH, not a fault). Returns "" or the first step that breaks
// this; fills the verdicts.
std::string judge_fix(const config& cf, const corpus& k, const bytes& fixed,
                      std::vector<verdict>& verdicts) {
  verdicts.clear();
  if (fixed.size() != k.noisy.size())
    return "size " + std::to_string(fixed.size());
  std::size_t n = 0;
  for (int p = 0; p < cf.pages; ++p) {
    const std::int64_t start = static_cast<std::int64_t>(p) * cf.page_bytes;
    for (std::size_t si = 0; si < cf.steps.size(); ++si, ++n) {
      const step_model& s = cf.steps[si];
      const int e = k.errors[n];
      const std::string where = "page " + std::to_string(p) + " step " + std::to_string(si);
      std::vector<std::pair<std::int64_t, std::int64_t>> spans;
      for (const std::vector<span>* list : {&s.data, &s.protected_})
        for (const span& x : *list)
          spans.push_back({start + x.offset, x.length});
      spans.push_back({start + s.ecc.offset, cf.code.ecc_bytes});
      const auto same_as = [&](const bytes& other) {
        for (auto [o, l] : spans)
          if (!std::equal(fixed.begin() + o, fixed.begin() + o + l, other.begin() + o))
            return false;
        return true;
      };
      if (k.erased[n]) {
        for (auto [o, l] : spans)
          for (std::int64_t i = o; i < o + l; ++i)
            if (fixed[static_cast<std::size_t>(i)] != 0xFF)
              return where + ": erased step not all 0xFF";
        verdicts.push_back(verdict::erased);
      } else if (e >= 0 && e <= cf.code.t) {
        if (!same_as(k.clean))
          return where + " (" + std::to_string(e) + " errors): not the clean bytes";
        verdicts.push_back(e == 0 ? verdict::clean : verdict::corrected);
      } else if (same_as(k.noisy)) {
        verdicts.push_back(verdict::uncorrectable);
      } else {
        int distance = 0;
        for (auto [o, l] : spans)
          for (std::int64_t i = o; i < o + l; ++i)
            distance += __builtin_popcount(fixed[static_cast<std::size_t>(i)] ^
                                           k.noisy[static_cast<std::size_t>(i)]);
        if (!is_codeword(cf, fixed, start, s) || distance > cf.code.t)
          return where + ": changed to a word that is not a codeword within t bits";
        verdicts.push_back(verdict::corrected);
      }
    }
  }
  // Nothing outside the steps may change.
  bytes outside_fixed = fixed, outside_noisy = k.noisy;
  for (int p = 0; p < cf.pages; ++p) {
    const std::int64_t start = static_cast<std::int64_t>(p) * cf.page_bytes;
    for (const step_model& s : cf.steps) {
      for (const std::vector<span>* list : {&s.data, &s.protected_})
        for (const span& x : *list)
          for (std::int64_t i = x.offset; i < x.offset + x.length; ++i)
            outside_fixed[static_cast<std::size_t>(start + i)] =
                outside_noisy[static_cast<std::size_t>(start + i)] = 0;
      for (std::int64_t i = 0; i < cf.code.ecc_bytes; ++i)
        outside_fixed[static_cast<std::size_t>(start + s.ecc.offset + i)] =
            outside_noisy[static_cast<std::size_t>(start + s.ecc.offset + i)] = 0;
    }
  }
  const std::string d = first_difference(outside_fixed, outside_noisy);
  return d.empty() ? "" : "a byte outside every step changed: " + d;
}

// A second read of the same chip for combine: within t errors where the first read is beyond
// t and beyond t where it is within, so that every step has one read to decode; every fifth
// step beyond t in the first read is beyond t in this one too, at other bits (the reads then
// disagree exactly at their errors, and only the disagreement search can recover it); erased
// pages all 0xFF; the first page that is neither erased nor in a bad block came back all
// 0xFF (a failed read: the first read must supply it). `both` marks the steps beyond t in both.
struct second_read {
  bytes dump;
  int failed_page = -1;
  std::vector<bool> both;
};

second_read make_second_read(const config& cf, const corpus& k, std::uint64_t seed) {
  second_read s;
  rng r{seed};
  s.dump = k.noisy;
  const int t = cf.code.t;
  std::size_t n = 0;
  for (int p = 0; p < cf.pages; ++p) {
    const std::int64_t start = static_cast<std::int64_t>(p) * cf.page_bytes;
    for (std::size_t si = 0; si < cf.steps.size(); ++si, ++n) {
      s.both.push_back(false);
      if (k.errors[n] < 0 || k.erased[n])
        continue;
      const bool beyond = k.errors[n] > t;
      const bool also = beyond && n % 5 == 4;
      s.both.back() = also;
      const int count = also     ? t + 1 + static_cast<int>(n % 2)
                        : beyond ? static_cast<int>(n % static_cast<std::size_t>(t + 1))
                                 : t + 1 + static_cast<int>(n % 3);
      // This read's errors at bits the first read has right.
      std::vector<std::pair<std::int64_t, int>> bits;
      for (auto [at, bit] : code_bits(cf, cf.steps[si])) {
        const auto i = static_cast<std::size_t>(start + at);
        if (!(((k.noisy[i] ^ k.clean[i]) >> bit) & 1))
          bits.push_back({at, bit});
      }
      const step_model& st = cf.steps[si];
      std::vector<span> spans = st.data;
      spans.insert(spans.end(), st.protected_.begin(), st.protected_.end());
      spans.push_back({st.ecc.offset, cf.code.ecc_bytes});
      for (const span& x : spans)
        std::copy(k.clean.begin() + start + x.offset, k.clean.begin() + start + x.offset + x.length,
                  s.dump.begin() + start + x.offset);
      for (int f = 0; f < count; ++f) {
        const std::size_t pick =
            static_cast<std::size_t>(f) + r.below(bits.size() - static_cast<std::size_t>(f));
        std::swap(bits[static_cast<std::size_t>(f)], bits[pick]);
        const auto [at, bit] = bits[static_cast<std::size_t>(f)];
        s.dump[static_cast<std::size_t>(start + at)] ^= static_cast<std::uint8_t>(1u << bit);
      }
    }
  }
  for (int p = 0; p < cf.pages && s.failed_page < 0; ++p) {
    const bool erased =
        std::find(cf.erased_pages.begin(), cf.erased_pages.end(), p) != cf.erased_pages.end();
    if (!erased && !in_bad_block(cf, p))
      s.failed_page = p;
  }
  std::fill(s.dump.begin() + static_cast<std::int64_t>(s.failed_page) * cf.page_bytes,
            s.dump.begin() + static_cast<std::int64_t>(s.failed_page + 1) * cf.page_bytes, 0xFF);
  for (int p : cf.erased_pages)
    std::fill(s.dump.begin() + static_cast<std::int64_t>(p) * cf.page_bytes,
              s.dump.begin() + static_cast<std::int64_t>(p + 1) * cf.page_bytes, 0xFF);
  return s;
}

// combine's output of the two reads, step by step: the clean bytes wherever one read that did
// not fail is within t; erased steps all 0xFF; steps beyond t in both reads the clean bytes or
// as the first read holds them (uncorrectable), never another codeword; the failed page's steps
// beyond t in the first read as the first read holds them; outside the steps the first read's
// bytes. Returns "" or the first step that breaks this; counts the steps left uncorrectable
// outside the bad block and within it, and those the search recovered.
std::string judge_combine(const config& cf, const corpus& k, const second_read& two,
                          const bytes& combined, long long& uncorrectable, long long& in_bad,
                          long long& searched) {
  uncorrectable = in_bad = searched = 0;
  if (combined.size() != k.noisy.size())
    return "size " + std::to_string(combined.size());
  const auto spans_of = [&](std::int64_t start, const step_model& s) {
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;
    for (const std::vector<span>* list : {&s.data, &s.protected_})
      for (const span& x : *list)
        spans.push_back({start + x.offset, x.length});
    spans.push_back({start + s.ecc.offset, cf.code.ecc_bytes});
    return spans;
  };
  std::size_t n = 0;
  bytes outside_combined = combined, outside_first = k.noisy;
  for (int p = 0; p < cf.pages; ++p) {
    const std::int64_t start = static_cast<std::int64_t>(p) * cf.page_bytes;
    for (std::size_t si = 0; si < cf.steps.size(); ++si, ++n) {
      const auto spans = spans_of(start, cf.steps[si]);
      const auto same_as = [&](const bytes& other) {
        for (auto [o, l] : spans)
          if (!std::equal(combined.begin() + o, combined.begin() + o + l, other.begin() + o))
            return false;
        return true;
      };
      const std::string where = "page " + std::to_string(p) + " step " + std::to_string(si);
      const int e = k.errors[n];
      const bool first_within = e >= 0 && e <= cf.code.t;
      if (e < 0) {
        // A bad block: both reads hold the same random bytes, a codeword by chance at most.
        in_bad += !is_codeword(cf, combined, start, cf.steps[si]);
      } else if (k.erased[n]) {
        for (auto [o, l] : spans)
          for (std::int64_t i = o; i < o + l; ++i)
            if (combined[static_cast<std::size_t>(i)] != 0xFF)
              return where + ": erased step not all 0xFF";
      } else if (first_within || (p != two.failed_page && !two.both[n])) {
        if (!same_as(k.clean))
          return where + ": not the written bytes, though a read is within t";
      } else if (same_as(k.clean)) {
        searched += two.both[n] && p != two.failed_page;
      } else if (same_as(k.noisy)) {
        ++uncorrectable;
      } else {
        return where + ": neither the written bytes nor as read 1";
      }
      for (auto [o, l] : spans)
        for (std::int64_t i = o; i < o + l; ++i)
          outside_combined[static_cast<std::size_t>(i)] =
              outside_first[static_cast<std::size_t>(i)] = 0;
    }
  }
  const std::string d = first_difference(outside_combined, outside_first);
  return d.empty() ? "" : "a byte outside every step is not read 1's: " + d;
}

// The record's changed bits applied to `input`; false when the record lists none or is bad.
bool apply_record(const nlohmann::json& record, bytes& input) {
  if (!record.contains("changed_steps") || !record["changed_steps"].is_array())
    return false;
  for (const auto& step : record["changed_steps"])
    for (const auto& bit : step["bits"]) {
      const auto at = bit[0].get<std::int64_t>();
      const int b = bit[1].get<int>();
      if (at < 0 || at >= static_cast<std::int64_t>(input.size()) ||
          ((input[static_cast<std::size_t>(at)] >> b) & 1) != bit[2].get<int>())
        return false;
      input[static_cast<std::size_t>(at)] ^= static_cast<std::uint8_t>(1u << b);
    }
  return true;
}

// Checks an audit record's hashes against sha256sum and, where both are dumps, its bits
// against the output. Returns "" or what is wrong.
std::string check_record(const std::string& dir, const std::string& name, const std::string& in,
                         const std::string& out, bool apply) {
  const std::string text = read_text(dir + "/" + name);
  const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
  if (record.is_discarded())
    return "not JSON";
  try {
    if (record["input"]["sha256"] != sha256sum(dir + "/" + in))
      return "input sha256 differs from sha256sum's";
    if (record["output"]["sha256"] != sha256sum(dir + "/" + out))
      return "output sha256 differs from sha256sum's";
    if (apply) {
      bytes b = read_bytes(dir + "/" + in);
      if (!apply_record(record, b) || b != read_bytes(dir + "/" + out))
        return "the listed bits applied to the input do not give the output";
    }
  } catch (const std::exception& e) {
    return std::string("malformed: ") + e.what();
  }
  return "";
}

// ---- Arguments, known answers and the work folder ------------------------------------------
// Everything here is checked before the run starts, and refused with one line and status 2:
// the run must never lose a file it did not make, nor stop half-way on an input it could have
// looked at first.

// The file a run writes first into its work folder, and what it holds: a folder holding it
// (with these very bytes) and nothing but what runs make is one that a run may empty again.
constexpr char kMarkerName[] = ".pagolinth-validate";
constexpr char kMarkerText[] =
    "pagolinth-validate work folder: every entry beside this file was made by a validation\n"
    "run, and the next run removes them again. Do not keep anything else here.\n";

// What a run leaves in a configuration's folder: the corpus, the tool's outputs with their
// audit records, the moved input of verify-audit, and the captured output of run().
const char* const kRunFiles[] = {"raw.bin",
                                 "noisy.bin",
                                 "noisy.moved",
                                 "encoded.bin",
                                 "encoded.bin.audit.json",
                                 "fixed.bin",
                                 "fixed.bin.audit.json",
                                 "check.audit.json",
                                 "image.bin",
                                 "image.bin.audit.json",
                                 "injected.bin",
                                 "injected.bin.audit.json",
                                 "refixed.bin",
                                 "refixed.bin.audit.json",
                                 "noisy2.bin",
                                 "combined.bin",
                                 "combined.bin.audit.json",
                                 ".stdout",
                                 ".stderr"};

// True when `name` is one of kRunFiles, or the tool's temporary file for one of them
// ("OUT.part-PID-XXXXXXXX"), which a tool killed outright leaves behind.
bool made_by_run(const std::string& name) {
  for (const char* file : kRunFiles) {
    const std::string f = file;
    if (name == f || name.rfind(f + ".part-", 0) == 0)
      return true;
  }
  return false;
}

std::string error_text(int error) {
  return error != 0 ? std::strerror(error) : "failed";
}

// Succeeds when `path` (argument `role`) names a regular file, or a link to one, that opens
// for reading.
status readable_file(const char* role, const std::string& path) {
  std::error_code ec;
  const fs::file_status s = fs::status(path, ec);
  if (s.type() == fs::file_type::not_found)
    return status::error(std::string(role) + " " + path + ": no such file");
  if (ec)
    return status::error(std::string(role) + " " + path + ": " + ec.message());
  if (fs::is_directory(s))
    return status::error(std::string(role) + " " + path + ": is a folder, not a file");
  if (!fs::is_regular_file(s))
    return status::error(std::string(role) + " " + path + ": is not a regular file");
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return status::error(std::string(role) + " " + path + ": cannot be read: " + error_text(errno));
  return status::success();
}

// Succeeds when BIN_DIR holds an executable pagolinth-ecc and LAYOUTS_DIR the layout files the
// corpus reads.
status check_programs_and_layouts(const std::string& bin, const std::string& layouts) {
  std::error_code ec;
  if (!fs::is_directory(bin, ec))
    return status::error("BIN_DIR " + bin + ": is not a folder");
  const std::string tool = bin + "/pagolinth-ecc";
  if (!fs::is_regular_file(tool, ec) || access(tool.c_str(), X_OK) != 0)
    return status::error("BIN_DIR " + bin + ": holds no executable pagolinth-ecc");
  if (!fs::is_directory(layouts, ec))
    return status::error("LAYOUTS_DIR " + layouts + ": is not a folder");
  for (const char* file : kLayoutFiles) {
    const std::string path = layouts + "/" + file;
    if (!fs::exists(fs::symlink_status(path, ec)))
      return status::error("LAYOUTS_DIR " + layouts + ": holds no " + file);
    if (status e = readable_file("LAYOUTS_DIR", path); !e.ok())
      return e;
  }
  return status::success();
}

// One known answer: the generator of the t-error-correcting code on primitive polynomial p of
// degree m is g (hex, most significant digit first).
struct known_answer {
  int m = 0, t = 0;
  std::uint32_t p = 0;
  std::string g_hex;
};

// A whole decimal number of 1 to 9 digits.
bool whole_number(const std::string& word, int& value) {
  if (word.empty() || word.size() > 9 || word.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::stoi(word);
  return true;
}

bool hex_digits(const std::string& word) {
  return !word.empty() && word.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// Reads the known answers of `path` (argument `role`): lines "m t r g", or "m p t r g" with
// `with_polynomial`; empty lines, '#' comments and "bad ..." lines (polynomials that are not
// primitive) are skipped. Keeps the answers for m = 5 ... 16, whose p is the tabled one when the
// line names none. Fails with "PATH:LINE: what is wrong" on the first malformed line.
status read_answers(const char* role, const std::string& path, bool with_polynomial,
                    std::vector<known_answer>& answers) {
  if (status e = readable_file(role, path); !e.ok())
    return e;
  static const std::uint32_t tabled[] = {0,      0,      0x7,    0xB,    0x13,   0x25,
                                         0x43,   0x83,   0x171,  0x211,  0x409,  0x805,
                                         0x1099, 0x25AF, 0x41D5, 0x8003, 0x1002D};
  std::ifstream in(path, std::ios::binary);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#' || line.rfind("bad", 0) == 0)
      continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;)
      w.push_back(word);
    const std::size_t want = with_polynomial ? 5 : 4;
    if (w.size() != want)
      return status::error(where + "expected " + std::to_string(want) + " fields (" +
                           (with_polynomial ? "m p t r g" : "m t r g") + "), found " +
                           std::to_string(w.size()));
    known_answer a;
    int r = 0;
    const std::size_t at_t = with_polynomial ? 2 : 1;
    if (!whole_number(w[0], a.m))
      return status::error(where + "m '" + w[0] + "' is not a whole number");
    if (with_polynomial && !hex_digits(w[1]))
      return status::error(where + "the polynomial '" + w[1] + "' is not hexadecimal");
    if (!whole_number(w[at_t], a.t) || a.t < 1)
      return status::error(where + "t '" + w[at_t] + "' is not a whole number of at least 1");
    if (!whole_number(w[at_t + 1], r))
      return status::error(where + "r '" + w[at_t + 1] + "' is not a whole number");
    if (!hex_digits(w[at_t + 2]))
      return status::error(where + "g '" + w[at_t + 2] + "' is not hexadecimal");
    if (a.m < 5 || a.m > 16)
      continue;  // the corpus's codes lie within; the rest are for the tests of bch/
    a.p = tabled[a.m];
    if (with_polynomial) {
      // The generator's field table needs p of degree m exactly: a higher bit would index
      // past it.
      const std::string digits = w[1].substr(std::min(w[1].find_first_not_of('0'), w[1].size()));
      const unsigned long p = digits.size() <= 5 ? std::stoul("0" + digits, nullptr, 16) : 0;
      if (p >> a.m != 1)
        return status::error(where + "the polynomial '" + w[1] +
                             "' is not of degree m = " + std::to_string(a.m));
      a.p = static_cast<std::uint32_t>(p);
    }
    a.g_hex = w[at_t + 2];
    for (char& c : a.g_hex)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    answers.push_back(a);
  }
  if (in.bad())
    return status::error(std::string(role) + " " + path + ": cannot be read");
  return status::success();
}

// Makes `work` the run's own folder: creates it when it does not exist; empties it when it
// holds the marker and only what runs make (the configurations' folders `tags` and their
// files); refuses any other folder, and whatever is not a folder, untouched. Then writes the
// marker, before anything else goes in.
status prepare_work_dir(const std::string& work, const std::vector<std::string>& tags) {
  const std::string named = "WORK_DIR " + work + ": ";
  std::error_code ec;
  const fs::file_status s = fs::symlink_status(work, ec);
  if (s.type() == fs::file_type::not_found) {
    if (!fs::create_directories(work, ec) && ec)
      return status::error(named + "cannot create it: " + ec.message());
  } else if (ec) {
    return status::error(named + ec.message());
  } else if (fs::is_symlink(s)) {
    return status::error(named + "is a symbolic link; name a folder of the run's own");
  } else if (!fs::is_directory(s)) {
    return status::error(named + "is not a folder");
  } else {
    bool marked = false;
    std::string stranger;  // the first entry that no run made
    std::vector<fs::path> files, folders;
    const auto is_tag = [&](const std::string& name) {
      return std::find(tags.begin(), tags.end(), name) != tags.end();
    };
    for (fs::directory_iterator it(work, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path entry = it->path();
      const std::string name = entry.filename().string();
      const fs::file_type type = it->symlink_status(ec).type();
      if (ec)
        break;
      if (name == kMarkerName && type == fs::file_type::regular) {
        marked = read_text(entry.string()) == kMarkerText;
        if (!marked && stranger.empty())
          stranger = name;
      } else if ((name == ".stdout" || name == ".stderr") && type == fs::file_type::regular) {
        files.push_back(entry);
      } else if (is_tag(name) && type == fs::file_type::directory) {
        folders.push_back(entry);
        for (fs::directory_iterator in(entry, ec); !ec && in != end; in.increment(ec)) {
          const std::string inner = in->path().filename().string();
          if (in->symlink_status(ec).type() == fs::file_type::regular && made_by_run(inner))
            files.push_back(in->path());
          else if (stranger.empty())
            stranger = name + "/" + inner;
        }
      } else if (stranger.empty()) {
        stranger = name;
      }
    }
    if (ec)
      return status::error(named + "cannot read it: " + ec.message());
    if (!marked && (!files.empty() || !folders.empty() || !stranger.empty()))
      return status::error(named + "is not empty and holds no " + kMarkerName +
                           ": a validation run did not make it; name a new or empty folder");
    if (!stranger.empty())
      return status::error(named + "holds " + stranger +
                           ", which no validation run made; nothing was removed");
    for (const fs::path& f : files)
      if (!fs::remove(f, ec) && ec)
        return status::error(named + "cannot remove " + f.string() + ": " + ec.message());
    for (const fs::path& f : folders)
      if (!fs::remove(f, ec) && ec)
        return status::error(named + "cannot remove " + f.string() + ": " + ec.message());
  }
  const std::string marker = work + "/" + kMarkerName;
  errno = 0;
  std::ofstream out(marker, std::ios::binary | std::ios::trunc);
  out << kMarkerText;
  out.close();
  if (!out)
    return status::error(named + "cannot write " + kMarkerName + " in it: " + error_text(errno));
  return status::success();
}

int run_validation(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr,
                 "usage: pagolinth-validate BIN_DIR LAYOUTS_DIR KNOWN_ANSWERS "
                 "CUSTOM_KNOWN_ANSWERS WORK_DIR\n");
    return 2;
  }
  std::string paths[5];  // BIN_DIR, LAYOUTS_DIR, KNOWN_ANSWERS, CUSTOM_KNOWN_ANSWERS, WORK_DIR
  const char* const roles[5] = {"BIN_DIR", "LAYOUTS_DIR", "KNOWN_ANSWERS", "CUSTOM_KNOWN_ANSWERS",
                                "WORK_DIR"};
  const auto refuse = [](const status& why) {
    std::fprintf(stderr, "pagolinth-validate: %s\n", why.message.c_str());
    return 2;
  };
  for (int i = 0; i < 5; ++i) {
    std::error_code ec;
    // An empty name would stand for the current folder, which WORK_DIR must never be by chance.
    if (argv[i + 1][0] == '\0')
      return refuse(status::error(std::string(roles[i]) + " is empty"));
    paths[i] = fs::absolute(argv[i + 1], ec).lexically_normal().string();
    if (ec)
      return refuse(status::error(std::string(roles[i]) + " " + argv[i + 1] + ": " + ec.message()));
    while (paths[i].size() > 1 && paths[i].back() == '/')
      paths[i].pop_back();
  }
  const std::string &bin = paths[0], &layouts = paths[1], &work = paths[4];
  const std::string tool = bin + "/pagolinth-ecc";
  std::vector<known_answer> answers;
  if (status e = check_programs_and_layouts(bin, layouts); !e.ok())
    return refuse(e);
  if (status e = read_answers(roles[2], argv[3], false, answers); !e.ok())
    return refuse(e);
  if (status e = read_answers(roles[3], argv[4], true, answers); !e.ok())
    return refuse(e);
  const std::vector<config> configs = corpus_configs(layouts);
  std::vector<std::string> tags;
  for (std::size_t ci = 0; ci < configs.size(); ++ci)
    tags.emplace_back(1, static_cast<char>('A' + ci));
  if (status e = prepare_work_dir(work, tags); !e.ok())
    return refuse(e);

  const run_result version = run(tool, work, {"--version"});
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("pagolinth validation run\n");
  std::printf("tool:      %s", version.status == 0 ? version.out.c_str() : "(no --version)\n");
  std::printf(
      "corpus:    fixed seeds; each step carries 0 ... t+3 bit errors in turn; erased\n"
      "           pages (as erased and with flips); one block marked bad where the\n"
      "           layout names a marker\n\n");

  // The generator routine against every known answer up to m = 16.
  {
    int matched = 0;
    std::string wrong;
    for (const known_answer& a : answers) {
      if (poly_hex(generator(a.m, a.p, a.t)) == a.g_hex)
        ++matched;
      else if (wrong.empty())
        wrong = "m=" + std::to_string(a.m) + " t=" + std::to_string(a.t);
    }
    const int total = static_cast<int>(answers.size());
    result("-",
           "generator polynomials: " + std::to_string(matched) + "/" + std::to_string(total) +
               " known answers",
           matched == total && total > 0, wrong);
  }

  std::vector<std::pair<std::string, std::string>> hashes;
  for (std::size_t ci = 0; ci < configs.size(); ++ci) {
    const config& cf = configs[ci];
    const std::string tag(1, static_cast<char>('A' + ci));
    std::printf("\n%s: %s, m=%d t=%d, %d pages\n", tag.c_str(), cf.name.c_str(), cf.code.m,
                cf.code.t, cf.pages);
    const std::string dir = work + "/" + tag;
    std::error_code ec;
    if (!fs::create_directory(dir, ec) && ec) {
      std::fprintf(stderr, "pagolinth-validate: cannot create %s: %s\n", dir.c_str(),
                   ec.message().c_str());
      return 2;
    }
    const corpus k = make_corpus(cf, 1000 + ci);
    write_bytes(dir + "/raw.bin", k.raw);
    write_bytes(dir + "/noisy.bin", k.noisy);
    hashes.push_back({tag + "/raw.bin", sha256sum(dir + "/raw.bin")});
    hashes.push_back({tag + "/noisy.bin", sha256sum(dir + "/noisy.bin")});
    const auto with = [&](std::vector<std::string> words) {
      words.insert(words.end(), cf.options.begin(), cf.options.end());
      words.push_back("--threads");
      words.push_back("2");
      return run(tool, dir, words);
    };

    // encode: the raw dump's ECC against the LFSR's.
    run_result r = with({"encode", "raw.bin", "-o", "encoded.bin"});
    std::string d = r.status != 0 ? "status " + std::to_string(r.status) + ": " + r.err
                                  : first_difference(read_bytes(dir + "/encoded.bin"), k.encoded);
    result(tag, "encode equals the bit-serial encoder", d.empty(), d);
    d = r.status != 0 ? "no record"
                      : check_record(dir, "encoded.bin.audit.json", "raw.bin", "encoded.bin", true);
    result(tag, "encode audit record: hashes, changed bits", d.empty(), d);

    // fix: every step judged against the corpus.
    r = with({"fix", "noisy.bin", "-o", "fixed.bin"});
    std::vector<verdict> verdicts;
    const bytes fixed = read_bytes(dir + "/fixed.bin");
    d = judge_fix(cf, k, fixed, verdicts);
    result(tag, "fix: 0...t errors corrected, beyond t as read", d.empty(), d);
    long long counts[4] = {0, 0, 0, 0};
    long long outside_bad_uncorrectable = 0;
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
      ++counts[static_cast<int>(verdicts[i])];
      if (verdicts[i] == verdict::uncorrectable && k.errors[i] >= 0)
        ++outside_bad_uncorrectable;
    }
    const int want_status = outside_bad_uncorrectable > 0 ? 1 : 0;
    const auto counts_match = [&](const std::string& out) {
      return summary_value(out, "  clean:         ") == counts[0] &&
             summary_value(out, "  erased:        ") == counts[1] &&
             summary_value(out, "  corrected:     ") == counts[2] &&
             summary_value(out, "  uncorrectable: ") == counts[3];
    };
    result(tag, "fix: status and counts", r.status == want_status && counts_match(r.out),
           "status " + std::to_string(r.status));
    d = check_record(dir, "fixed.bin.audit.json", "noisy.bin", "fixed.bin", true);
    result(tag, "fix audit record: hashes, changed bits", d.empty(), d);

    // check: the same counts, nothing written.
    r = with({"check", "noisy.bin", "--audit", "check.audit.json"});
    result(tag, "check: status and counts", r.status == want_status && counts_match(r.out),
           "status " + std::to_string(r.status));

    // extract: the data of the fixed pages, without the bad block.
    r = with({"extract", "noisy.bin", "-o", "image.bin"});
    bytes image;
    for (int p = 0; fixed.size() == k.noisy.size() && p < cf.pages; ++p) {
      if (cf.marker && in_bad_block(cf, p))
        continue;
      for (const step_model& s : cf.steps)
        for (const span& x : s.data)
          image.insert(image.end(), fixed.begin() + p * cf.page_bytes + x.offset,
                       fixed.begin() + p * cf.page_bytes + x.offset + x.length);
    }
    d = r.status != want_status ? "status " + std::to_string(r.status)
                                : first_difference(read_bytes(dir + "/image.bin"), image);
    result(tag, "extract equals the fixed pages' data", d.empty(), d);

    // inject: exactly t bits per step, all within the code; fix takes them away again.
    const std::string flips = std::to_string(cf.code.t);
    r = with({"inject", "encoded.bin", "-o", "injected.bin", "--flips", flips, "--seed", "9"});
    const bytes injected = read_bytes(dir + "/injected.bin");
    d = injected.size() != k.encoded.size() ? "size" : "";
    for (int p = 0; d.empty() && p < cf.pages; ++p) {
      const std::int64_t start = static_cast<std::int64_t>(p) * cf.page_bytes;
      bytes page_in(k.encoded.begin() + start, k.encoded.begin() + start + cf.page_bytes);
      for (std::size_t si = 0; si < cf.steps.size(); ++si) {
        int flipped = 0;
        for (auto [at, bit] : code_bits(cf, cf.steps[si])) {
          const auto i = static_cast<std::size_t>(start + at);
          flipped += ((injected[i] ^ k.encoded[i]) >> bit) & 1;
          page_in[static_cast<std::size_t>(at)] ^=
              static_cast<std::uint8_t>(((injected[i] ^ k.encoded[i]) & (1u << bit)));
        }
        if (flipped != cf.code.t)
          d = "page " + std::to_string(p) + " step " + std::to_string(si) + ": " +
              std::to_string(flipped) + " bits flipped";
      }
      if (d.empty() && !std::equal(page_in.begin(), page_in.end(), injected.begin() + start))
        d = "page " + std::to_string(p) + ": a bit outside the code flipped";
    }
    result(tag, "inject: t bits per step, all within the code", r.status == 0 && d.empty(), d);
    d = check_record(dir, "injected.bin.audit.json", "encoded.bin", "injected.bin", true);
    result(tag, "inject audit record: hashes, changed bits", d.empty(), d);
    r = with({"fix", "injected.bin", "-o", "refixed.bin"});
    d = first_difference(read_bytes(dir + "/refixed.bin"), k.encoded);
    result(tag, "fix of injected equals the encoder's dump", r.status == 0 && d.empty(), d);

    // A scrambler: the encoder's dump XORed with a key of three pages by this program, each
    // page but those that were never programmed (all 0xFF in the raw dump), is what encode
    // makes through a [scrambler] table; extract through it gives the plain dump's data.
    r = run(tool, dir, [&] {
      std::vector<std::string> words = {"layout"};
      words.insert(words.end(), cf.options.begin(), cf.options.end());
      return words;
    }());
    bytes key(static_cast<std::size_t>(3 * cf.page_bytes));
    std::mt19937 key_bits(3000 + static_cast<unsigned>(ci));
    for (std::uint8_t& b : key)
      b = static_cast<std::uint8_t>(key_bits());
    write_bytes(dir + "/key.bin", key);
    {
      std::ofstream toml(dir + "/scrambled.toml", std::ios::binary);
      toml << r.out << "\n[scrambler]\nkey_file = \"key.bin\"\necc = \"plain\"\n";
    }
    bytes scrambled = k.encoded;
    for (std::size_t i = 0; i < scrambled.size(); ++i) {
      const std::size_t page = i / static_cast<std::size_t>(cf.page_bytes);
      const auto first = k.raw.begin() + static_cast<std::ptrdiff_t>(page * cf.page_bytes);
      if (std::all_of(first, first + cf.page_bytes, [](std::uint8_t b) { return b == 0xFF; }))
        scrambled[i] = 0xFF;
      else
        scrambled[i] ^= key[i % key.size()];
    }
    const std::vector<std::string> through = {"--layout", "scrambled.toml", "--no-audit"};
    const auto scrambled_run = [&](std::vector<std::string> words) {
      words.insert(words.end(), through.begin(), through.end());
      return run(tool, dir, words);
    };
    r = scrambled_run({"encode", "raw.bin", "-o", "scrambled.bin"});
    d = r.status != 0 ? "status " + std::to_string(r.status) + ": " + r.err
                      : first_difference(read_bytes(dir + "/scrambled.bin"), scrambled);
    result(tag, "encode through a scrambler equals the encoder's dump scrambled", d.empty(), d);
    r = with({"extract", "encoded.bin", "-o", "plain-data.bin"});
    run_result s = scrambled_run({"extract", "scrambled.bin", "-o", "scrambled-data.bin"});
    d = r.status != 0 || s.status != 0
            ? "status " + std::to_string(r.status) + ", " + std::to_string(s.status) + ": " + s.err
            : first_difference(read_bytes(dir + "/scrambled-data.bin"),
                               read_bytes(dir + "/plain-data.bin"));
    result(tag, "extract through the scrambler equals the plain dump's data", d.empty(), d);

    // combine: a second read of the chip merged with the first.
    const second_read two = make_second_read(cf, k, 2000 + ci);
    write_bytes(dir + "/noisy2.bin", two.dump);
    hashes.push_back({tag + "/noisy2.bin", sha256sum(dir + "/noisy2.bin")});
    r = with({"combine", "noisy.bin", "noisy2.bin", "-o", "combined.bin"});
    long long left = 0, in_bad = 0, searched = 0;
    d = judge_combine(cf, k, two, read_bytes(dir + "/combined.bin"), left, in_bad, searched);
    if (d.empty() && r.status != (left > 0 ? 1 : 0))
      d = "status " + std::to_string(r.status) + " with " + std::to_string(left) +
          " steps uncorrectable";
    if (d.empty() && summary_value(r.out, "  uncorrectable: ") != left + in_bad)
      d = "the summary counts other uncorrectable steps";
    result(tag,
           "combine: every step a read decodes, " + std::to_string(searched) +
               " found by the search, failed read never taken",
           d.empty(), d);
    d = check_record(dir, "combined.bin.audit.json", "noisy.bin", "combined.bin", true);
    if (d.empty()) {
      const nlohmann::json record =
          nlohmann::json::parse(read_text(dir + "/combined.bin.audit.json"), nullptr, false);
      if (record.is_discarded() || !record.contains("input_2") ||
          record["input_2"]["sha256"] != sha256sum(dir + "/noisy2.bin"))
        d = "input_2 sha256 differs from sha256sum's";
    }
    result(tag, "combine audit record: both reads' hashes, changed bits", d.empty(), d);

    // verify-audit: untouched, changed, missing.
    r = run(tool, dir, {"verify-audit", "fixed.bin.audit.json"});
    bool ok = r.status == 0 && !fixed.empty();
    bytes changed = fixed;
    changed.resize(std::max<std::size_t>(changed.size(), 1));
    changed[changed.size() / 2] ^= 1;
    write_bytes(dir + "/fixed.bin", changed);
    r = run(tool, dir, {"verify-audit", "fixed.bin.audit.json"});
    ok = ok && r.status == 1 && r.out.find("output: CHANGED") != std::string::npos;
    write_bytes(dir + "/fixed.bin", fixed);
    fs::rename(dir + "/noisy.bin", dir + "/noisy.moved", ec);
    ok = ok && !ec;
    r = run(tool, dir, {"verify-audit", "fixed.bin.audit.json"});
    ok = ok && r.status == 1 && r.out.find("input:  MISSING") != std::string::npos;
    fs::rename(dir + "/noisy.moved", dir + "/noisy.bin", ec);
    ok = ok && !ec;
    r = run(tool, dir, {"verify-audit", "raw.bin"});
    ok = ok && r.status == 2;
    result(tag, "verify-audit: 0 as is, 1 changed/missing, 2 bad", ok);
  }

  std::printf("\ncorpus hashes (sha256sum):\n");
  for (const auto& [name, hash] : hashes)
    std::printf("  %s  %s\n", hash.c_str(), name.c_str());
  std::printf("\nresult: %s, %d passed, %d failed\n", g_fail == 0 ? "PASS" : "FAIL", g_pass,
              g_fail);
  return g_fail == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return run_guarded("pagolinth-validate", 2, [&] { return run_validation(argc, argv); });
}
