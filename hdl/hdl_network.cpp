// The arithmetic of the hardware export: the check of a code's figures, the XOR networks of the
// encoder and the syndrome unit, and the software values (parity, syndromes) that the
// testbenches embed. Bit matrices are packed in 64-bit words, so even r = 990 with P = 512
// takes milliseconds.
#include "hdl/hdl.h"
#include "hdl/hdl_internal.h"

#include "bch/bch.h"      // mm, nn, tt, rr, kk, Parallel, p, gg
#include "codec/codec.h"  // bch_code, bch_code_init, bch_encode

#include <algorithm>  // std::copy
#include <bitset>     // std::bitset
#include <cstddef>    // std::size_t, std::ptrdiff_t
#include <cstdint>    // std::uint8_t, std::uint32_t, std::uint64_t
#include <string>     // std::string, std::to_string
#include <vector>     // std::vector

namespace {

constexpr int kMaxDegree = 20;
constexpr int kMaxParity = 999;

int words_for(int bits) {
  return (bits + 63) / 64;
}

void set_bit(std::uint64_t* row, int c) {
  row[c / 64] |= std::uint64_t{1} << (c % 64);
}

bool get_bit(const std::uint64_t* row, int c) {
  return ((row[c / 64] >> (c % 64)) & 1) != 0;
}

// v = x * v mod g, v of degree below r packed; gw holds g[0 ... r-1] packed.
void times_x_mod_g(std::vector<std::uint64_t>& v, const std::vector<std::uint64_t>& gw, int r) {
  const bool top = get_bit(v.data(), r - 1);
  for (std::size_t w = v.size() - 1; w > 0; --w) {
    v[w] = (v[w] << 1) | (v[w - 1] >> 63);
  }
  v[0] <<= 1;
  if (r % 64 != 0) {
    v[static_cast<std::size_t>(r / 64)] &= ~(std::uint64_t{1} << (r % 64));
  }
  if (top) {
    for (std::size_t w = 0; w < v.size(); ++w) {
      v[w] ^= gw[w];
    }
  }
}

hdl_network encoder_network(const hdl_code& code) {
  const int r = code.r;
  const int p = code.p;
  const int rw = words_for(r);
  std::vector<std::uint64_t> gw(static_cast<std::size_t>(rw), 0);
  for (int i = 0; i < r; ++i) {
    if (code.g[static_cast<std::size_t>(i)] != 0) {
      set_bit(gw.data(), i);
    }
  }
  // Column j of T^P is x^(j + P) mod g.
  std::vector<std::uint64_t> columns(static_cast<std::size_t>(r) * rw, 0);
  std::vector<std::uint64_t> v(static_cast<std::size_t>(rw), 0);
  v[0] = 1;
  for (int s = 0; s < p; ++s) {
    times_x_mod_g(v, gw, r);
  }
  for (int j = 0; j < r; ++j) {
    std::copy(v.begin(), v.end(), columns.begin() + static_cast<std::ptrdiff_t>(j) * rw);
    times_x_mod_g(v, gw, r);
  }
  hdl_network net;
  net.state_bits = r;
  net.data_bits = p;
  net.words = words_for(r + p);
  net.rows.assign(static_cast<std::size_t>(r) * net.words, 0);
  for (int j = 0; j < r; ++j) {
    const std::uint64_t* column = columns.data() + static_cast<std::size_t>(j) * rw;
    // Input bit b enters beside register bit r - P + b, before the matrix.
    const int data_column = j >= r - p ? r + (j - (r - p)) : -1;
    for (int i = 0; i < r; ++i) {
      if (get_bit(column, i)) {
        std::uint64_t* row = net.rows.data() + static_cast<std::size_t>(i) * net.words;
        set_bit(row, j);
        if (data_column >= 0) {
          set_bit(row, data_column);
        }
      }
    }
  }
  return net;
}

hdl_network syndrome_network(const hdl_code& code) {
  const std::vector<std::uint32_t> powers = hdl_field_powers(code);
  const long long n = code.n;
  const int m = code.m;
  const int p = code.p;
  hdl_network net;
  net.state_bits = 2 * code.t * m;
  net.data_bits = p;
  net.words = words_for(net.state_bits + p);
  net.rows.assign(static_cast<std::size_t>(net.state_bits) * net.words, 0);
  for (int j = 1; j <= 2 * code.t; ++j) {
    const int base = (j - 1) * m;
    // Column c of the multiplication by alpha^(jP) is alpha^(c + jP).
    for (int c = 0; c < m; ++c) {
      const std::uint32_t column = powers[static_cast<std::size_t>((c + 1LL * j * p) % n)];
      for (int i = 0; i < m; ++i) {
        if ((column >> i) & 1) {
          set_bit(net.rows.data() + static_cast<std::size_t>(base + i) * net.words, base + c);
        }
      }
    }
    for (int b = 0; b < p; ++b) {
      const std::uint32_t weight = powers[static_cast<std::size_t>((1LL * j * b) % n)];
      for (int i = 0; i < m; ++i) {
        if ((weight >> i) & 1) {
          set_bit(net.rows.data() + static_cast<std::size_t>(base + i) * net.words,
                  net.state_bits + b);
        }
      }
    }
  }
  return net;
}

int degree_of(std::uint32_t poly) {
  int d = -1;
  for (int i = 0; i < 32; ++i) {
    if ((poly >> i) & 1) {
      d = i;
    }
  }
  return d;
}

}  // namespace

hdl_code hdl_code_of_state() {
  hdl_code code;
  code.m = mm;
  code.n = nn;
  code.t = tt;
  code.r = rr;
  code.k = kk;
  code.p = Parallel;
  for (int i = 0; i <= mm; ++i)
    code.primitive_polynomial |= static_cast<std::uint32_t>(p[i] != 0) << i;
  for (int i = 0; i <= rr; ++i)
    code.g.push_back(static_cast<std::uint8_t>(gg[i] != 0));
  return code;
}

status hdl_check_code(const hdl_code& c) {
  if (c.m < 2 || c.m > kMaxDegree) {
    return status::error("field degree m = " + std::to_string(c.m) + " is outside 2 ... 20");
  }
  if (c.n != (1 << c.m) - 1) {
    return status::error("code length n = " + std::to_string(c.n) + " is not 2^m - 1");
  }
  if (c.t < 1 || 2LL * c.t >= c.n) {
    return status::error("error count t = " + std::to_string(c.t) + " needs 1 <= t and 2t < n");
  }
  if (c.r < 1 || c.r > kMaxParity || c.g.size() != static_cast<std::size_t>(c.r) + 1 ||
      c.g[0] != 1 || c.g[static_cast<std::size_t>(c.r)] != 1) {
    return status::error("generator polynomial does not have degree r = " + std::to_string(c.r) +
                         " (1 ... 999) with constant term 1");
  }
  for (std::uint8_t bit : c.g) {
    if (bit > 1) {
      return status::error("generator polynomial has a coefficient other than 0 and 1");
    }
  }
  if (c.k != c.n - c.r) {
    return status::error("data bits k = " + std::to_string(c.k) + " is not n - r");
  }
  if (c.p < 1 || c.p > c.r) {
    return status::error("bits per clock p = " + std::to_string(c.p) + " is outside 1 ... r");
  }
  if (degree_of(c.primitive_polynomial) != c.m || (c.primitive_polynomial & 1) == 0) {
    return status::error("primitive polynomial does not have degree m with constant term 1");
  }
  return status::success();
}

std::string hdl_default_name(const hdl_code& code, hdl_unit unit) {
  return std::string(unit == hdl_unit::encoder ? "bch_encoder" : "bch_syndrome") + "_m" +
         std::to_string(code.m) + "_t" + std::to_string(code.t) + "_p" + std::to_string(code.p);
}

hdl_network hdl_build_network(const hdl_code& code, hdl_unit unit) {
  return unit == hdl_unit::encoder ? encoder_network(code) : syndrome_network(code);
}

long long hdl_xor_count(const hdl_network& net) {
  long long total = 0;
  for (int i = 0; i < net.state_bits; ++i) {
    long long terms = 0;
    for (int w = 0; w < net.words; ++w) {
      terms += static_cast<long long>(
          std::bitset<64>(net.rows[static_cast<std::size_t>(i) * net.words + w]).count());
    }
    if (terms > 0) {
      total += terms - 1;
    }
  }
  return total;
}

std::vector<std::uint32_t> hdl_field_powers(const hdl_code& code) {
  std::vector<std::uint32_t> powers(static_cast<std::size_t>(code.n));
  std::uint32_t a = 1;
  const std::uint32_t top = std::uint32_t{1} << code.m;
  for (int i = 0; i < code.n; ++i) {
    powers[static_cast<std::size_t>(i)] = a;
    a <<= 1;
    if (a & top) {
      a ^= code.primitive_polynomial;
    }
  }
  return powers;
}

std::vector<std::uint8_t> hdl_parity_by_division(const hdl_code& code,
                                                 const std::vector<std::uint8_t>& bits) {
  // The serial register: R <- x * (R + u x^(r-1)) mod g for each bit u, highest power first.
  const std::size_t r = static_cast<std::size_t>(code.r);
  std::vector<std::uint8_t> reg(r, 0);
  for (std::uint8_t u : bits) {
    const std::uint8_t feedback = reg[r - 1] ^ (u & 1);
    for (std::size_t i = r - 1; i > 0; --i) {
      reg[i] = reg[i - 1] ^ (feedback & code.g[i]);
    }
    reg[0] = feedback;
  }
  return reg;
}

status hdl_engine_init(const hdl_code& code, bch_code* engine) {
  bch_code_options options;
  options.primitive_polynomial = code.primitive_polynomial;
  if (status e = bch_code_init(*engine, code.m, code.t, options); !e.ok()) {
    return status::error("the error-correction engine cannot build this code: " + e.message);
  }
  if (engine->parity_bits != code.r) {
    return status::error("the error-correction engine's code has " +
                         std::to_string(engine->parity_bits) +
                         " parity bits, not r = " + std::to_string(code.r));
  }
  return status::success();
}

void hdl_parity_by_engine(const bch_code& engine, const std::vector<std::uint8_t>& bits,
                          std::vector<std::uint8_t>* parity) {
  parity->clear();
  const std::size_t bytes = bits.size() / 8;
  if (bits.size() % 8 != 0 || bytes > engine.max_data_bytes) {
    return;
  }
  std::vector<std::uint8_t> data(bytes, 0);
  for (std::size_t i = 0; i < bits.size(); ++i) {
    data[i / 8] = static_cast<std::uint8_t>(data[i / 8] | ((bits[i] & 1) << (7 - i % 8)));
  }
  std::vector<std::uint8_t> ecc(static_cast<std::size_t>(engine.ecc_bytes), 0);
  bch_encode(engine, data.data(), bytes, ecc.data());
  // The ECC bytes hold x^(r-1) first, most significant bit first.
  const int r = engine.parity_bits;
  parity->assign(static_cast<std::size_t>(r), 0);
  for (int i = 0; i < r; ++i) {
    const int bit = (ecc[static_cast<std::size_t>(i / 8)] >> (7 - i % 8)) & 1;
    (*parity)[static_cast<std::size_t>(r - 1 - i)] = static_cast<std::uint8_t>(bit);
  }
}

std::vector<std::uint32_t> hdl_syndromes(const hdl_code& code,
                                         const std::vector<std::uint32_t>& powers,
                                         const std::vector<std::uint8_t>& bits) {
  std::vector<std::uint32_t> s(static_cast<std::size_t>(2 * code.t), 0);
  const long long n = code.n;
  const long long length = static_cast<long long>(bits.size());
  for (long long i = 0; i < length; ++i) {
    if (bits[static_cast<std::size_t>(i)] == 0) {
      continue;
    }
    const long long e = length - 1 - i;  // the power of x this bit stands for
    for (long long j = 1; j <= 2 * code.t; ++j) {
      s[static_cast<std::size_t>(j - 1)] ^= powers[static_cast<std::size_t>((e * j) % n)];
    }
  }
  return s;
}

void hdl_append_int(std::string& text, long long v) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0);
  while (count > 0) {
    text += digits[--count];
  }
}

std::string hdl_g_hex(const hdl_code& code) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  const int digits = (code.r + 1 + 3) / 4;
  for (int d = digits - 1; d >= 0; --d) {
    int v = 0;
    for (int b = 0; b < 4; ++b) {
      const int i = 4 * d + b;
      if (i <= code.r && code.g[static_cast<std::size_t>(i)] != 0) {
        v |= 1 << b;
      }
    }
    text += ' ';
    text += kDigits[v];
  }
  return text;
}
