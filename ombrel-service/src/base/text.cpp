#include "base/text.hpp"

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

// The length of the character that starts at `i` and is shown as an escape,
// 0 if none: one byte for C0, DEL and the backslash (so that a "\\n" written
// by the client cannot pass for an escaped line feed), two for C1 (U+0080..
// U+009F as C2 80..C2 9F), three for the line and paragraph separators and
// the bidirectional controls (U+2028..U+202E as E2 80 A8..AE, U+2066..U+2069
// as E2 81 A6..A9), which a viewer may take for a line break or use to show
// text in another order than it was written.
std::size_t escaped_at(std::string_view text, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char b = at(0);
  if (b < 0x20 || b == 0x7f || b == '\\') return 1;
  if (b == 0xc2 && i + 1 < text.size() && at(1) >= 0x80 && at(1) <= 0x9f) return 2;
  if (b == 0xe2 && i + 2 < text.size()) {
    if (at(1) == 0x80 && at(2) >= 0xa8 && at(2) <= 0xae) return 3;
    if (at(1) == 0x81 && at(2) >= 0xa6 && at(2) <= 0xa9) return 3;
  }
  return 0;
}

}  // namespace

bool has_control_characters(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (escaped_at(text, i) != 0) return true;
  }
  return false;
}

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::size_t plain = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = escaped_at(text, i);
    if (length == 0) {
      ++i;
      continue;
    }
    out.append(text.substr(plain, i - plain));
    const auto b = static_cast<unsigned char>(text[i]);
    if (length > 1) {
      std::size_t pos = i;
      const char32_t cp = next_code_point(text, pos).value_or(0xfffd);
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += HEX[(cp >> shift) & 0xf];
    } else if (b == '\n') {
      out += "\\n";
    } else if (b == '\r') {
      out += "\\r";
    } else if (b == '\t') {
      out += "\\t";
    } else if (b == '\\') {
      out += "\\\\";
    } else {
      out += "\\x";
      out += HEX[b >> 4];
      out += HEX[b & 0xf];
    }
    i += length;
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
