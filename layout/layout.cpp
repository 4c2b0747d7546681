// Page layouts as data: the built-in default, the checks a layout must pass before any page is
// touched, and moving a step's message between a raw page and a contiguous buffer.
#include "layout/layout.h"

#include <algorithm>  // std::stable_sort
#include <cstring>    // std::memcpy
#include <string>     // std::string, std::to_string
#include <vector>     // std::vector

#include "layout/layout_internal.h"  // layout_step_origin, check_layout_with_origins,
                                     // layout_utf8_at
#include "layout/page_layout.h"      // kPageHeaderLength, kChunkStride, kSplitPoint, ...

nand_layout default_layout(std::int32_t page_size, std::int32_t spare_size,
                           std::int32_t block_pages) {
  nand_layout layout;
  layout.name = "built-in default: 4-byte header, 512 + 13-byte chunks, hole in the last sector";
  layout.source = kBuiltInLayout;
  layout.page_size = page_size;
  layout.spare_size = spare_size;
  layout.block_pages = block_pages;
  layout.code = layout_code{};
  layout.code.m = 13;
  layout.code.t = 8;
  const std::int32_t sectors = page_size > 0 ? sectors_per_page(page_size) : 0;
  layout.steps.resize(static_cast<std::size_t>(sectors));
  for (std::int32_t k = 0; k < sectors; ++k) {
    layout_step& step = layout.steps[static_cast<std::size_t>(k)];
    const std::int64_t chunk = kPageHeaderLength + std::int64_t{kChunkStride} * k;
    if (k == sectors - 1) {
      step.data = {{chunk, kSplitPoint}, {chunk + kSecondPartAt, kSecondPartLength}};
      step.ecc = {chunk + kLastEccAt, kEccLength};
    } else {
      step.data = {{chunk, kSectorLength}};
      step.ecc = {chunk + kSectorLength, kEccLength};
    }
  }
  return layout;
}

std::int64_t raw_page_bytes(const nand_layout& layout) {
  return std::int64_t{layout.page_size} + layout.spare_size;
}

namespace {

std::string span_text(const layout_span& span) {
  return "[" + std::to_string(span.offset) + ", " + std::to_string(span.length) + "]";
}

// Where a span begins and ends in bits of the raw page, whichever unit its step counts.
std::int64_t bit_begin(const layout_span& span, bool bits) {
  return bits ? span.offset : 8 * span.offset;
}
std::int64_t bit_end(const layout_span& span, bool bits) {
  return bit_begin(span, bits) + (bits ? span.length : 8 * span.length);
}

// "0x" and the value's hex digits, as the layout file writes a polynomial.
std::string hex_number(std::uint32_t value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), digits[value % 16]);
    value /= 16;
  } while (value != 0);
  return "0x" + text;
}

// Which span of the layout a message is about.
enum class span_kind { data, protected_, ecc, marker };

struct span_ref {
  layout_span span;
  std::size_t step = 0;  // unused for the marker
  span_kind kind = span_kind::data;
  std::size_t index = 0;  // among the step's data or protected spans
  std::size_t order = 0;  // place in the order the layout lists its spans
  bool bits = false;      // the span counts bits
};

struct layout_checker {
  const nand_layout& layout;
  const std::vector<layout_step_origin>& origins;

  std::string step_key(std::size_t k) const {
    const std::int64_t table = origins.empty() ? static_cast<std::int64_t>(k) : origins[k].table;
    return "steps[" + std::to_string(table) + "]";
  }
  // " (copy c of n)" for a step that one repeated [[steps]] table stands for.
  std::string copy_note(std::size_t k) const {
    if (origins.empty() || origins[k].copies == 1)
      return "";
    return " (copy " + std::to_string(origins[k].copy + 1) + " of " +
           std::to_string(origins[k].copies) + ")";
  }
  std::string key(const span_ref& ref) const {
    switch (ref.kind) {
      case span_kind::data:
        return step_key(ref.step) + ".data[" + std::to_string(ref.index) + "]";
      case span_kind::protected_:
        return step_key(ref.step) + ".protected[" + std::to_string(ref.index) + "]";
      case span_kind::ecc:
        return step_key(ref.step) + ".ecc";
      case span_kind::marker:
        break;
    }
    return "bad_block.marker";
  }
  // The span as the message shows it: its place, and which copy of its table it is.
  std::string where(const span_ref& ref) const {
    return span_text(ref.span) + (ref.kind == span_kind::marker ? "" : copy_note(ref.step));
  }

  // "" when the span has a length and lies inside the raw page.
  std::string check_span(const span_ref& ref) const {
    const layout_span& s = ref.span;
    const std::int64_t raw = raw_page_bytes(layout) * (ref.bits ? 8 : 1);
    if (s.length < 1)
      return key(ref) + ": " + where(ref) + " has a length below 1";
    if (s.offset < 0)
      return key(ref) + ": " + where(ref) + " starts before the raw page";
    if (s.offset >= raw || s.length > raw - s.offset) {
      // Offset and length are both below 2^63 here, so their sum fits 64 unsigned bits.
      const std::uint64_t end =
          static_cast<std::uint64_t>(s.offset) + static_cast<std::uint64_t>(s.length);
      return key(ref) + ": " + where(ref) + " ends at " + std::to_string(end) +
             ", past the raw page of " + std::to_string(raw) + (ref.bits ? " bits" : " bytes");
    }
    return "";
  }

  std::string check_geometry() const {
    const auto size_check = [](const char* key, std::int32_t value) -> std::string {
      if (value >= 1 && value <= kMaxPagePart)
        return "";
      return std::string(key) + ": must be 1 ... " + std::to_string(kMaxPagePart) + ", not " +
             std::to_string(value);
    };
    std::string fault = size_check("geometry.page_size", layout.page_size);
    if (fault.empty())
      fault = size_check("geometry.spare_size", layout.spare_size);
    if (fault.empty() && layout.block_pages < 1)
      fault = "geometry.block_pages: must be at least 1, not " + std::to_string(layout.block_pages);
    return fault;
  }

  std::string check_code() const {
    const layout_code& code = layout.code;
    if (code.m < kLayoutMinDegree || code.m > kLayoutMaxDegree)
      return "code.m: must be " + std::to_string(kLayoutMinDegree) + " ... " +
             std::to_string(kLayoutMaxDegree) + ", not " + std::to_string(code.m);
    if (code.t < 1)
      return "code.t: must be at least 1, not " + std::to_string(code.t);
    if (code.primitive_polynomial != 0) {
      // A field of degree m needs a polynomial of degree m; whether it is primitive is left to
      // the construction of the field.
      int degree = 31;
      while ((code.primitive_polynomial >> degree) == 0)
        --degree;
      if (degree != code.m)
        return "code.primitive_polynomial: " + hex_number(code.primitive_polynomial) +
               " has degree " + std::to_string(degree) + ", but m is " + std::to_string(code.m);
    }
    if (code.mask == layout_mask::bytes && code.mask_bytes.empty())
      return "code.ecc_mask: the mask has no byte";
    if (code.mask != layout_mask::bytes && !code.mask_bytes.empty())
      return "code.ecc_mask: mask bytes are given, but the mask is not a byte mask";
    return "";
  }

  std::string check_steps(std::vector<span_ref>& spans) const {
    if (layout.steps.empty())
      return "steps: the page has no step";
    for (std::size_t k = 0; k < layout.steps.size(); ++k) {
      const layout_step& step = layout.steps[k];
      if (step.data.empty())
        return step_key(k) + ".data: has no span" + copy_note(k);
      for (std::size_t j = 0; j < step.data.size(); ++j)
        spans.push_back({step.data[j], k, span_kind::data, j, spans.size(), step.bits});
      for (std::size_t j = 0; j < step.protected_.size(); ++j)
        spans.push_back({step.protected_[j], k, span_kind::protected_, j, spans.size(), step.bits});
      spans.push_back({step.ecc, k, span_kind::ecc, 0, spans.size(), step.bits});
      // A bit step's mask covers its parity bits, rounded up to whole bytes.
      const std::int64_t mask_length = step.bits ? (step.ecc.length + 7) / 8 : step.ecc.length;
      if (layout.code.mask == layout_mask::bytes &&
          static_cast<std::int64_t>(layout.code.mask_bytes.size()) != mask_length)
        return "code.ecc_mask: " + std::to_string(layout.code.mask_bytes.size()) + " bytes, but " +
               step_key(k) + ".ecc " + span_text(step.ecc) + copy_note(k) + " holds " +
               (step.bits ? std::to_string(step.ecc.length) + " bits (" +
                                std::to_string(mask_length) + " bytes)"
                          : std::to_string(step.ecc.length));
    }
    return "";
  }

  std::string check_bad_block(std::vector<span_ref>& spans) const {
    const layout_bad_block& bad = layout.bad_block;
    if (!bad.present)
      return "";
    spans.push_back({bad.marker, 0, span_kind::marker, 0, spans.size()});
    if (bad.pages.empty())
      return "bad_block.pages: names no page";
    for (std::size_t j = 0; j < bad.pages.size(); ++j) {
      const std::int32_t p = bad.pages[j];
      if (p >= layout.block_pages || p < -layout.block_pages)
        return "bad_block.pages[" + std::to_string(j) + "]: " + std::to_string(p) +
               " is outside the block of " + std::to_string(layout.block_pages) + " pages (0 ... " +
               std::to_string(layout.block_pages - 1) + ", or -" +
               std::to_string(layout.block_pages) + " ... -1 from the last page)";
    }
    return "";
  }

  // REQUIRES: every span checked by check_span.
  std::string check_overlaps(std::vector<span_ref> spans) const {
    // In bits throughout, so that byte and bit steps compare alike.
    std::stable_sort(spans.begin(), spans.end(), [](const span_ref& a, const span_ref& b) {
      return bit_begin(a.span, a.bits) < bit_begin(b.span, b.bits);
    });
    // Sorted by offset, a span overlaps an earlier one exactly when it starts before the
    // furthest end so far.
    std::size_t furthest = 0;
    for (std::size_t i = 1; i < spans.size(); ++i) {
      const span_ref& far = spans[furthest];
      const span_ref& next = spans[i];
      if (bit_begin(next.span, next.bits) < bit_end(far.span, far.bits)) {
        // Name the span the layout lists later first: that is where the overlap was written.
        const span_ref& later = next.order > far.order ? next : far;
        const span_ref& earlier = next.order > far.order ? far : next;
        return key(later) + ": " + where(later) + " overlaps " + key(earlier) + " " +
               where(earlier);
      }
      if (bit_end(next.span, next.bits) > bit_end(far.span, far.bits))
        furthest = i;
    }
    return "";
  }

  std::string check() const {
    for (unsigned char c : layout.name) {
      if (c < 0x20 || c == 0x7F)
        return "name: must be one line without control characters";
    }
    std::string fault = check_geometry();
    if (fault.empty())
      fault = check_code();
    std::vector<span_ref> spans;
    if (fault.empty())
      fault = check_steps(spans);
    if (fault.empty())
      fault = check_bad_block(spans);
    for (std::size_t i = 0; fault.empty() && i < spans.size(); ++i)
      fault = check_span(spans[i]);
    if (fault.empty())
      fault = check_overlaps(std::move(spans));
    if (fault.empty())
      fault = check_scrambler();
    return fault;
  }

  // A key of whole raw pages, at least one.
  std::string check_scrambler() const {
    const layout_scrambler& s = layout.scrambler;
    if (!s.present)
      return "";
    const std::int64_t page = raw_page_bytes(layout);
    const auto bytes = static_cast<std::int64_t>(s.key.size());
    if (bytes > 0 && bytes % page == 0)
      return "";
    return "scrambler.key_file: " + s.key_file + " holds " + std::to_string(bytes) +
           " bytes, not a whole number of raw pages of " + std::to_string(page) + " bytes";
  }
};

std::int64_t span_bytes(const std::vector<layout_span>& spans) {
  std::int64_t bytes = 0;
  for (const layout_span& s : spans)
    bytes += s.length;
  return bytes;
}

// Bytes the spans take when each is padded to whole bytes (bit spans) or as they are.
std::int64_t padded_bytes(const std::vector<layout_span>& spans, bool bits) {
  if (!bits)
    return span_bytes(spans);
  std::int64_t bytes = 0;
  for (const layout_span& s : spans)
    bytes += (s.length + 7) / 8;
  return bytes;
}

// Unit index of a step's message in the raw page, in the step's own unit; -1 outside it.
std::int64_t message_unit_offset(const layout_step& step, std::int64_t index) {
  if (index < 0)
    return -1;
  for (const auto* spans : {&step.data, &step.protected_}) {
    for (const layout_span& s : *spans) {
      if (index < s.length)
        return s.offset + index;
      index -= s.length;
    }
  }
  return -1;
}

}  // namespace

status check_layout_with_origins(const nand_layout& layout,
                                 const std::vector<layout_step_origin>& origins) {
  return status{layout_checker{layout, origins}.check()};
}

status check_layout(const nand_layout& layout) {
  static const std::vector<layout_step_origin> none;
  return check_layout_with_origins(layout, none);
}

status check_layout_code(const nand_layout& layout, int parity_bits,
                         std::size_t max_message_bytes) {
  const std::int64_t ecc_bytes = (std::int64_t{parity_bits} + 7) / 8;
  for (std::size_t k = 0; k < layout.steps.size(); ++k) {
    const layout_step& step = layout.steps[k];
    const std::string key = "steps[" + std::to_string(k) + "]";
    if (step.bits) {
      if (step.ecc.length != parity_bits)
        return status::error(key + ".ecc: " + span_text(step.ecc) + " holds " +
                             std::to_string(step.ecc.length) + " bits, but the code has " +
                             std::to_string(parity_bits) + " parity bits");
      const std::int64_t bits = step_message_bits(step);
      if ((bits + 7) / 8 > static_cast<std::int64_t>(max_message_bytes))
        return status::error(key + ": " + std::to_string(bits) +
                             " data and protected bits do not fit the code, which holds at most " +
                             std::to_string(8 * max_message_bytes));
      continue;
    }
    if (step.ecc.length < ecc_bytes)
      return status::error(key + ".ecc: " + span_text(step.ecc) + " holds " +
                           std::to_string(step.ecc.length) + " bytes, but the code's " +
                           std::to_string(parity_bits) + " parity bits need " +
                           std::to_string(ecc_bytes));
    const std::int64_t message = step_message_bytes(step);
    if (message > static_cast<std::int64_t>(max_message_bytes))
      return status::error(key + ": " + std::to_string(message) +
                           " data and protected bytes do not fit the code, which holds at most " +
                           std::to_string(max_message_bytes));
  }
  return status::success();
}

std::int64_t step_data_bits(const layout_step& step) {
  return span_bytes(step.data) * (step.bits ? 1 : 8);
}

std::int64_t step_protected_bits(const layout_step& step) {
  return span_bytes(step.protected_) * (step.bits ? 1 : 8);
}

std::int64_t step_message_bits(const layout_step& step) {
  return step_data_bits(step) + step_protected_bits(step);
}

std::int64_t step_ecc_bits(const layout_step& step) {
  return step.ecc.length * (step.bits ? 1 : 8);
}

std::int64_t step_data_bytes(const layout_step& step) {
  return padded_bytes(step.data, step.bits);
}

std::int64_t step_protected_bytes(const layout_step& step) {
  return padded_bytes(step.protected_, step.bits);
}

std::int64_t step_message_bytes(const layout_step& step) {
  if (step.bits)
    return (step_message_bits(step) + 7) / 8;
  return step_data_bytes(step) + step_protected_bytes(step);
}

bool message_is_contiguous(const layout_step& step, std::int64_t& offset) {
  if (step.bits)
    return false;
  bool first = true;
  std::int64_t start = 0;
  std::int64_t next = 0;
  for (const auto* spans : {&step.data, &step.protected_}) {
    for (const layout_span& s : *spans) {
      if (first) {
        start = s.offset;
        first = false;
      } else if (s.offset != next) {
        return false;
      }
      next = s.offset + s.length;
    }
  }
  if (first)
    return false;
  offset = start;
  return true;
}

void gather_message(const unsigned char* page, const layout_step& step, unsigned char* message) {
  for (const auto* spans : {&step.data, &step.protected_}) {
    for (const layout_span& s : *spans) {
      std::memcpy(message, page + s.offset, static_cast<std::size_t>(s.length));
      message += s.length;
    }
  }
}

void scatter_message(unsigned char* page, const layout_step& step, const unsigned char* message) {
  for (const auto* spans : {&step.data, &step.protected_}) {
    for (const layout_span& s : *spans) {
      std::memcpy(page + s.offset, message, static_cast<std::size_t>(s.length));
      message += s.length;
    }
  }
}

std::int64_t message_byte_offset(const layout_step& step, std::int64_t index) {
  return step.bits ? -1 : message_unit_offset(step, index);
}

std::int64_t step_first_byte(const layout_step& step) {
  return step.bits ? step.data.front().offset / 8 : step.data.front().offset;
}

std::int64_t message_bit_offset(const layout_step& step, std::int64_t index) {
  if (step.bits)
    return message_unit_offset(step, index);
  const std::int64_t byte = index < 0 ? -1 : message_unit_offset(step, index / 8);
  return byte < 0 ? -1 : 8 * byte + index % 8;
}

std::int64_t ecc_bit_offset(const layout_step& step, std::int64_t index) {
  if (index < 0 || index >= step_ecc_bits(step))
    return -1;
  return bit_begin(step.ecc, step.bits) + index;
}

bool is_marker_page(const nand_layout& layout, std::int32_t page_in_block) {
  if (!layout.bad_block.present || page_in_block < 0 || page_in_block >= layout.block_pages)
    return false;
  for (std::int32_t p : layout.bad_block.pages) {
    if ((p >= 0 ? p : layout.block_pages + p) == page_in_block)
      return true;
  }
  return false;
}

bool marks_bad_block(const nand_layout& layout, const unsigned char* page) {
  const layout_span& marker = layout.bad_block.marker;
  for (std::int64_t i = 0; i < marker.length; ++i) {
    if (page[marker.offset + i] != 0xFF)
      return true;
  }
  return false;
}

// Decodes the UTF-8 sequence at text[i]: its code point and length, or length 0 when it is not
// well-formed (overlong, a surrogate, beyond U+10FFFF or cut short).
std::size_t layout_utf8_at(const std::string& text, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  const std::size_t length = b0 < 0x80           ? 1
                             : (b0 >> 5) == 0x6  ? 2
                             : (b0 >> 4) == 0xE  ? 3
                             : (b0 >> 3) == 0x1E ? 4
                                                 : 0;
  if (length == 0 || i + length > text.size())
    return 0;
  cp = length == 1 ? b0 : b0 & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80)
      return 0;
    cp = cp << 6 | (byte(i + k) & 0x3Fu);
  }
  static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return length;
}

namespace {

// A TOML basic string: quotes, backslashes and control characters escaped; a byte that is not
// UTF-8 as the text \xNN (TOML can hold no such byte, and a file with one would not read back);
// other characters as they are.
std::string toml_string(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t n = layout_utf8_at(text, i, cp);
    const auto c = static_cast<unsigned char>(text[i]);
    if (n == 0) {
      out += "\\\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += text[i];
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out + "\"";
}

std::string toml_spans(const std::vector<layout_span>& spans) {
  std::string out = "[";
  for (std::size_t j = 0; j < spans.size(); ++j)
    out += (j == 0 ? "" : ", ") + span_text(spans[j]);
  return out + "]";
}

// Shifts that take one step to the next of a run written as one [[steps]] table.
struct step_strides {
  std::int64_t data = 0;
  std::int64_t protected_ = 0;  // 0 for steps without protected bytes
  std::int64_t ecc = 0;
  bool operator==(const step_strides& other) const {
    return data == other.data && protected_ == other.protected_ && ecc == other.ecc;
  }
};

// One stride for all spans of a kind: every span shifts by the same amount.
bool common_shift(const std::vector<layout_span>& a, const std::vector<layout_span>& b,
                  std::int64_t& shift) {
  if (a.size() != b.size())
    return false;
  shift = 0;
  for (std::size_t j = 0; j < a.size(); ++j) {
    if (a[j].length != b[j].length)
      return false;
    const std::int64_t s = b[j].offset - a[j].offset;
    if (j > 0 && s != shift)
      return false;
    shift = s;
  }
  return true;
}

// True when `b` is `a` moved by constant shifts, which it then stores in `strides`.
bool shifted_copy(const layout_step& a, const layout_step& b, step_strides& strides) {
  if (a.bits != b.bits || !common_shift(a.data, b.data, strides.data) ||
      !common_shift(a.protected_, b.protected_, strides.protected_) || a.ecc.length != b.ecc.length)
    return false;
  strides.ecc = b.ecc.offset - a.ecc.offset;
  return true;
}

}  // namespace

std::string layout_to_toml(const nand_layout& layout) {
  std::string out;
  if (!layout.name.empty())
    out += "name = " + toml_string(layout.name) + "\n\n";
  out += "[geometry]\n";
  out += "page_size = " + std::to_string(layout.page_size) + "\n";
  out += "spare_size = " + std::to_string(layout.spare_size) + "\n";
  out += "block_pages = " + std::to_string(layout.block_pages) + "\n";

  const layout_code& code = layout.code;
  out += "\n[code]\n";
  out += "m = " + std::to_string(code.m) + "\n";
  out += "t = " + std::to_string(code.t) + "\n";
  if (code.primitive_polynomial != 0)
    out += "primitive_polynomial = " + hex_number(code.primitive_polynomial) + "\n";
  out += std::string("bit_order = \"") + (code.lsb_first ? "lsb" : "msb") + "\"\n";
  out += "ecc_mask = ";
  if (code.mask == layout_mask::none) {
    out += "\"none\"\n";
  } else if (code.mask == layout_mask::erased_ff) {
    out += "\"erased-ff\"\n";
  } else {
    static const char digits[] = "0123456789ABCDEF";
    out += "\"";
    for (std::size_t i = 0; i < code.mask_bytes.size(); ++i) {
      if (i > 0)
        out += ' ';
      out += digits[code.mask_bytes[i] >> 4];
      out += digits[code.mask_bytes[i] & 15];
    }
    out += "\"\n";
  }
  out += std::string("pad = \"") + (code.pad_start ? "start" : "end") + "\"\n";

  // Runs of steps that are shifted copies of one another, each shift the same, become one
  // table; the greedy run from each step on is as long as it can be.
  const std::vector<layout_step>& steps = layout.steps;
  for (std::size_t i = 0; i < steps.size();) {
    step_strides strides;
    std::size_t end = i + 1;
    if (end < steps.size() && shifted_copy(steps[i], steps[end], strides)) {
      step_strides next;
      ++end;
      while (end < steps.size() && shifted_copy(steps[end - 1], steps[end], next) &&
             next == strides)
        ++end;
    }
    const layout_step& step = steps[i];
    out += "\n[[steps]]\n";
    if (step.bits)
      out += "unit = \"bits\"\n";
    out += "data = " + toml_spans(step.data) + "\n";
    if (!step.protected_.empty())
      out += "protected = " + toml_spans(step.protected_) + "\n";
    out += "ecc = " + span_text(step.ecc) + "\n";
    if (end - i > 1) {
      out += "repeat = " + std::to_string(end - i) + "\n";
      const bool one_stride = strides.data == strides.ecc &&
                              (step.protected_.empty() || strides.protected_ == strides.data);
      if (one_stride) {
        out += "stride = " + std::to_string(strides.data) + "\n";
      } else {
        out += "data_stride = " + std::to_string(strides.data) + "\n";
        if (!step.protected_.empty())
          out += "protected_stride = " + std::to_string(strides.protected_) + "\n";
        out += "ecc_stride = " + std::to_string(strides.ecc) + "\n";
      }
    }
    i = end;
  }

  if (layout.bad_block.present) {
    out += "\n[bad_block]\n";
    out += "marker = " + span_text(layout.bad_block.marker) + "\n";
    out += "pages = [";
    for (std::size_t j = 0; j < layout.bad_block.pages.size(); ++j)
      out += (j == 0 ? "" : ", ") + std::to_string(layout.bad_block.pages[j]);
    out += "]\n";
  }
  if (layout.scrambler.present) {
    out += "\n[scrambler]\n";
    out += "key_file = " + toml_string(layout.scrambler.key_file) + "\n";
    out += std::string("ecc = \"") +
           (layout.scrambler.ecc == scrambler_ecc::plain ? "plain" : "scrambled") + "\"\n";
  }
  return out;
}
