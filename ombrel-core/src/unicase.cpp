#include "unicase.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "unicase_table.hpp"

namespace ombrel {
namespace {

constexpr char32_t CAPITAL_SIGMA = 0x03A3;
constexpr char32_t FINAL_SIGMA = 0x03C2;
constexpr char32_t SMALL_SIGMA = 0x03C3;

struct Decoded {
  char32_t cp;
  std::size_t length;
};

// Strict UTF-8: overlong forms, surrogates and values past U+10FFFF are not
// characters, and their first byte is then taken on its own.
std::optional<Decoded> decode_at(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return Decoded{lead, 1};
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - at < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return Decoded{cp, length};
}

// The last code point ending at `end`, if the bytes before it form one.
std::optional<Decoded> decode_before(std::string_view text, std::size_t end) {
  for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
    const auto decoded = decode_at(text, end - length);
    if (decoded && decoded->length == length) return decoded;
  }
  return std::nullopt;
}

void encode(char32_t cp, std::string& out) {
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

bool in_ranges(std::span<const unicase::CodeRange> ranges, char32_t cp) {
  const auto it =
      std::upper_bound(ranges.begin(), ranges.end(), cp,
                       [](char32_t c, const unicase::CodeRange& r) { return c < r.first; });
  return it != ranges.begin() && cp <= std::prev(it)->last;
}

char32_t simple_lower(char32_t cp) {
  const auto runs = unicase::lower_runs();
  const auto it =
      std::upper_bound(runs.begin(), runs.end(), cp,
                       [](char32_t c, const unicase::LowerRun& r) { return c < r.first; });
  if (it == runs.begin()) return cp;
  const auto& run = *std::prev(it);
  if (cp > run.last || (cp - run.first) % run.stride != 0) return cp;
  return static_cast<char32_t>(static_cast<std::int64_t>(cp) + run.delta);
}

bool is_cased(char32_t cp) {
  return in_ranges(unicase::cased(), cp);
}
bool is_case_ignorable(char32_t cp) {
  return in_ranges(unicase::case_ignorable(), cp);
}

// The Final_Sigma condition: a cased letter before (case-ignorable characters
// skipped) and none after. Invalid bytes end the look-around like any
// character that is neither cased nor case-ignorable.
bool is_word_final(std::string_view text, std::size_t at, std::size_t length) {
  bool cased_before = false;
  for (std::size_t end = at; end > 0;) {
    const auto before = decode_before(text, end);
    if (!before) break;
    if (!is_case_ignorable(before->cp)) {
      cased_before = is_cased(before->cp);
      break;
    }
    end -= before->length;
  }
  if (!cased_before) return false;
  for (std::size_t next = at + length; next < text.size();) {
    const auto after = decode_at(text, next);
    if (!after) return true;
    if (!is_case_ignorable(after->cp)) return !is_cased(after->cp);
    next += after->length;
  }
  return true;
}

}  // namespace

std::string lower_case(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto decoded = decode_at(text, at);
    if (!decoded) {
      out += text[at++];
      continue;
    }
    const char32_t cp = decoded->cp;
    if (cp < 0x80) {
      out += static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp + 32 : cp);
    } else if (cp == CAPITAL_SIGMA) {
      encode(is_word_final(text, at, decoded->length) ? FINAL_SIGMA : SMALL_SIGMA, out);
    } else {
      const auto special = unicase::special_lower();
      const auto it = std::find_if(special.begin(), special.end(),
                                   [&](const unicase::SpecialLower& s) { return s.from == cp; });
      if (it != special.end()) {
        for (std::size_t i = 0; i < it->length; ++i) encode(it->to[i], out);
      } else {
        encode(simple_lower(cp), out);
      }
    }
    at += decoded->length;
  }
  return out;
}

std::string_view trim_white_space(std::string_view text) {
  const auto space = unicase::white_space();
  while (!text.empty()) {
    const auto first = decode_at(text, 0);
    if (!first || !in_ranges(space, first->cp)) break;
    text.remove_prefix(first->length);
  }
  while (!text.empty()) {
    const auto last = decode_before(text, text.size());
    if (!last || !in_ranges(space, last->cp)) break;
    text.remove_suffix(last->length);
  }
  return text;
}

}  // namespace ombrel
