#include "base/text.hpp"

#include <algorithm>
#include <iterator>
#include <span>

#include "base/text_table.hpp"

namespace ombrel {

std::optional<char32_t> next_code_point(std::string_view s, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  std::size_t len;
  char32_t cp;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return std::nullopt;
  }
  if (pos + len > s.size()) {
    ++pos;
    return std::nullopt;
  }
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return std::nullopt;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return std::nullopt;
  }
  pos += len;
  return cp;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_unicode_space(std::string_view s) {
  // Only the ends are decoded: a request line is one long run of text
  // between them, up to 256 KiB.
  std::size_t first = 0;
  while (first < s.size()) {
    std::size_t pos = first;
    const auto cp = next_code_point(s, pos);
    if (!cp || !is_unicode_space(*cp)) break;
    first = pos;
  }
  // A code point ending at `end` starts at its lead byte, at most three
  // continuation bytes back; a malformed byte is one unit of its own, so
  // every lead byte is where a forward decoding would start too.
  std::size_t end = s.size();
  while (end > first) {
    std::size_t start = end - 1;
    while (start > first && end - start < 4 &&
           (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) {
      --start;
    }
    std::size_t pos = start;
    const auto cp = next_code_point(s, pos);
    if (!cp || pos != end || !is_unicode_space(*cp)) break;
    end = start;
  }
  return s.substr(first, end - first);
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // Plain ASCII runs dominate log lines and requests; skip them cheaply.
    if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    if (!next_code_point(bytes, pos)) return false;
  }
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::u16string utf8_to_utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t cp = next_code_point(utf8, pos).value_or(0xFFFD);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    append_utf8(out, cp);
  }
  return out;
}

namespace {

bool in_ranges(std::span<const textclass::CodeRange> ranges, char32_t cp) {
  const auto after =
      std::upper_bound(ranges.begin(), ranges.end(), cp,
                       [](char32_t c, const textclass::CodeRange& r) { return c < r.first; });
  return after != ranges.begin() && cp <= std::prev(after)->last;
}

constexpr char32_t ZERO_WIDTH_JOINER = 0x200D;
constexpr char32_t VARIATION_EMOJI = 0xFE0F;
constexpr char32_t BLACK_FLAG = 0x1F3F4;

bool pictographic(char32_t cp) {
  return in_ranges(textclass::pictographic(), cp);
}

// Where an emoji's picture may end before a joiner: the pictograph itself,
// its emoji presentation selector or its skin tone.
bool ends_pictograph(char32_t cp) {
  return pictographic(cp) || cp == VARIATION_EMOJI || (cp >= 0x1F3FB && cp <= 0x1F3FF);
}

bool is_tag(char32_t cp) {
  return cp >= 0xE0020 && cp <= 0xE007F;
}

// One unit of the text at `i`: a byte (ASCII, or malformed) or a whole
// code point, and whether it is shown as an escape. Escaped are C0, DEL
// and the backslash (so that a "\\n" written by the client cannot pass for an
// escaped line feed), C1, and every format character and line or paragraph
// separator (text_table.hpp): a viewer may take one for a line break, show
// text in another order than it was written (the bidirectional controls,
// the marks), or show nothing where there is something (the zero-width
// characters). Two uses of format characters inside emoji are kept, since
// they draw the picture and nothing else: a joiner between two pictographs
// (a family, a rainbow flag) and the tags that follow a black flag (the
// flags of England, Scotland and Wales). `prev` is the code point before
// `i`, or the tag run's black flag; 0 when none.
struct Unit {
  std::size_t length;
  bool escape;
  char32_t cp;  // 0 for a malformed byte
};

Unit unit_at(std::string_view text, std::size_t i, char32_t prev) {
  const auto b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) return {1, b < 0x20 || b == 0x7f || b == '\\', b};
  std::size_t pos = i;
  const auto cp = next_code_point(text, pos);
  if (!cp) return {1, false, 0};
  const Unit unit{pos - i, true, *cp};
  if (*cp <= 0x9f) return unit;
  if (!in_ranges(textclass::escaped(), *cp)) return {unit.length, false, *cp};
  if (*cp == ZERO_WIDTH_JOINER && ends_pictograph(prev) && pos < text.size()) {
    const auto next = next_code_point(text, pos);
    if (next && pictographic(*next)) return {unit.length, false, *cp};
  }
  if (is_tag(*cp) && prev == BLACK_FLAG) return {unit.length, false, *cp};
  return unit;
}

// The code point that the unit after `unit` sees before it.
char32_t seen_before_next(const Unit& unit, char32_t prev) {
  // A tag run keeps its flag in view to its end.
  if (is_tag(unit.cp) && !unit.escape && unit.cp != 0xE007F) return prev;
  return unit.cp;
}

}  // namespace

bool has_control_characters(std::string_view text) {
  char32_t prev = 0;
  for (std::size_t i = 0; i < text.size();) {
    const Unit unit = unit_at(text, i, prev);
    if (unit.escape) return true;
    prev = seen_before_next(unit, prev);
    i += unit.length;
  }
  return false;
}

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::size_t plain = 0;
  char32_t prev = 0;
  for (std::size_t i = 0; i < text.size();) {
    const Unit unit = unit_at(text, i, prev);
    prev = seen_before_next(unit, prev);
    if (!unit.escape) {
      i += unit.length;
      continue;
    }
    out.append(text.substr(plain, i - plain));
    const char32_t cp = unit.cp;
    if (unit.length > 1) {
      // Beyond the first plane (the tags, a few others) in eight digits.
      const int digits = cp > 0xffff ? 8 : 4;
      out += cp > 0xffff ? "\\U" : "\\u";
      for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += HEX[(cp >> shift) & 0xf];
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\\') {
      out += "\\\\";
    } else {
      out += "\\x";
      out += HEX[cp >> 4];
      out += HEX[cp & 0xf];
    }
    i += unit.length;
    plain = i;
  }
  out.append(text.substr(plain));
}

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

}  // namespace ombrel
