#pragma once
// Byte scans for the log watcher's hot path, sixteen bytes at a time where
// SSE2 is there (every x86-64), eight otherwise: the proxy core blocks when
// its output pipe is full, so every line must be cheap. Results equal those
// of the plain std::string_view calls.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ombrel::serving::scan {

inline constexpr std::uint64_t ONES = 0x0101010101010101ull;
inline constexpr std::uint64_t HIGHS = 0x8080808080808080ull;

inline std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// High bit set in exactly the bytes of `w` that are zero.
inline std::uint64_t zero_bytes(std::uint64_t w) {
  constexpr std::uint64_t LOWS = 0x7F7F7F7F7F7F7F7Full;
  return ~(((w & LOWS) + LOWS) | w | LOWS);
}

#if defined(__SSE2__)
inline __m128i load16(const char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
// Bit i set when byte i of `a` equals byte i of `b`.
inline unsigned equal_mask(__m128i a, __m128i b) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)));
}
#endif

// Every byte below 0x80.
inline bool is_ascii(std::string_view s) {
  const char* p = s.data();
  std::size_t n = s.size();
#if defined(__SSE2__)
  __m128i seen16 = _mm_setzero_si128();
  for (; n >= 16; p += 16, n -= 16) seen16 = _mm_or_si128(seen16, load16(p));
  if (_mm_movemask_epi8(seen16) != 0) return false;
#endif
  std::uint64_t seen = 0;
  for (; n >= 8; p += 8, n -= 8) seen |= load8(p);
  for (; n > 0; ++p, --n) seen |= static_cast<unsigned char>(*p);
  return (seen & HIGHS) == 0;
}

// The line feeds of one 64-byte block, a bit per byte, and whether it has
// a byte of 0x80 or above.
struct Block {
  std::uint64_t line_feeds = 0;
  bool high = false;
};

inline Block scan_block(const char* p) {
  Block b;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i v0 = load16(p), v1 = load16(p + 16), v2 = load16(p + 32), v3 = load16(p + 48);
  b.line_feeds = static_cast<std::uint64_t>(equal_mask(v0, lf)) |
                 static_cast<std::uint64_t>(equal_mask(v1, lf)) << 16 |
                 static_cast<std::uint64_t>(equal_mask(v2, lf)) << 32 |
                 static_cast<std::uint64_t>(equal_mask(v3, lf)) << 48;
  b.high = _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(v0, v1), _mm_or_si128(v2, v3))) != 0;
#else
  for (unsigned i = 0; i < 64; ++i) {
    if (p[i] == '\n') b.line_feeds |= std::uint64_t{1} << i;
    if (static_cast<unsigned char>(p[i]) >= 0x80) b.high = true;
  }
#endif
  return b;
}

// s.rfind(c)
inline std::size_t rfind_byte(std::string_view s, char c) {
  std::size_t n = s.size();
#if defined(__SSE2__)
  const __m128i pattern16 = _mm_set1_epi8(c);
  for (; n >= 16; n -= 16) {
    const unsigned hits = equal_mask(load16(s.data() + n - 16), pattern16);
    if (hits != 0) return n - 16 + static_cast<std::size_t>(31 - std::countl_zero(hits));
  }
#endif
  const std::uint64_t pattern = ONES * static_cast<unsigned char>(c);
  while (n >= 8 && zero_bytes(load8(s.data() + n - 8) ^ pattern) == 0) n -= 8;
  while (n > 0) {
    if (s[--n] == c) return n;
  }
  return std::string_view::npos;
}

// s.find(c, from)
inline std::size_t find_byte(std::string_view s, char c, std::size_t from) {
#if defined(__SSE2__)
  const __m128i pattern = _mm_set1_epi8(c);
  for (; from + 16 <= s.size(); from += 16) {
    const unsigned hits = equal_mask(load16(s.data() + from), pattern);
    if (hits != 0) return from + static_cast<std::size_t>(std::countr_zero(hits));
  }
  // The last sixteen bytes, those before `from` left out.
  if (from < s.size() && s.size() >= 16) {
    const std::size_t base = s.size() - 16;
    const unsigned hits = equal_mask(load16(s.data() + base), pattern) & (0xFFFFu << (from - base));
    if (hits != 0) return base + static_cast<std::size_t>(std::countr_zero(hits));
    return std::string_view::npos;
  }
#endif
  for (; from < s.size(); ++from) {
    if (s[from] == c) return from;
  }
  return std::string_view::npos;
}

// The last i in [from, to - 2] with s[i] == a and s[i + 1] == b; npos when
// there is none. Bytes of `s` outside the range may be loaded, never used.
inline std::size_t rfind_pair(std::string_view s, std::size_t from, std::size_t to, char a,
                              char b) {
  std::size_t n = to;  // pairs end before n
#if defined(__SSE2__)
  const __m128i first = _mm_set1_epi8(a);
  const __m128i second = _mm_set1_epi8(b);
  // Sixteen candidate starts n - 17 .. n - 2, loaded from s[n - 17 .. n - 1].
  while (n >= 17 && n - 1 > from) {
    const char* p = s.data() + n - 17;
    unsigned hits = equal_mask(load16(p), first) & equal_mask(load16(p + 1), second);
    if (n - 17 < from) hits &= 0xFFFFu << (from - (n - 17));
    if (hits != 0) return n - 17 + static_cast<std::size_t>(31 - std::countl_zero(hits));
    n -= 16;
  }
#endif
  for (; n >= from + 2; --n) {
    if (s[n - 1] == b && s[n - 2] == a) return n - 2;
  }
  return std::string_view::npos;
}

// s.find(needle, from). Many positions at a time are screened by two bytes
// of the needle (its second and second-to-last, which are rarely the blanks
// around a word); only positions matching both are compared in full.
inline std::size_t find(std::string_view s, std::string_view needle, std::size_t from = 0) {
  const std::size_t m = needle.size();
  if (m < 3) return s.find(needle, from);
  if (s.size() < m || from > s.size() - m) return std::string_view::npos;
  const std::size_t starts = s.size() - m + 1;  // positions a match can start at
  const char* p = s.data();
#if defined(__SSE2__)
  if (starts - from >= 16) {
    const __m128i first = _mm_set1_epi8(needle[1]);
    const __m128i second = _mm_set1_epi8(needle[m - 2]);
    // The first match among the sixteen starts at `at`, those below
    // at + skip left out; npos for none.
    const auto found_at = [&](std::size_t at, std::size_t skip) {
      unsigned hits = equal_mask(load16(p + at + 1), first) &
                      equal_mask(load16(p + at + m - 2), second) & (0xFFFFu << skip);
      for (; hits != 0; hits &= hits - 1) {
        const std::size_t i = at + static_cast<std::size_t>(std::countr_zero(hits));
        if (std::memcmp(p + i, needle.data(), m) == 0) return i;
      }
      return std::string_view::npos;
    };
    std::size_t i = from;
    for (; i + 16 <= starts; i += 16) {
      if (const std::size_t at = found_at(i, 0); at != std::string_view::npos) return at;
    }
    // The last sixteen starts, overlapping the ones already screened.
    return i < starts ? found_at(starts - 16, i - (starts - 16)) : std::string_view::npos;
  }
#endif
  for (std::size_t i = from; i < starts; ++i) {
    if (p[i + 1] == needle[1] && p[i + m - 2] == needle[m - 2] &&
        std::memcmp(p + i, needle.data(), m) == 0) {
      return i;
    }
  }
  return std::string_view::npos;
}

// s.rfind(needle): the needle's last byte searched for from the end, many
// bytes at a time, and only there compared in full.
inline std::size_t rfind(std::string_view s, std::string_view needle) {
  const std::size_t m = needle.size();
  if (m == 0 || s.size() < m) return s.rfind(needle);
  // The needle's last byte at `end - 1` or before, at or after m - 1.
  std::size_t end = s.size();
  while (end >= m) {
    const std::size_t last = rfind_byte(s.substr(0, end), needle.back());
    if (last == std::string_view::npos || last < m - 1) return std::string_view::npos;
    if (std::memcmp(s.data() + last + 1 - m, needle.data(), m) == 0) return last + 1 - m;
    end = last;
  }
  return std::string_view::npos;
}

inline bool contains(std::string_view s, std::string_view needle) {
  return find(s, needle) != std::string_view::npos;
}

}  // namespace ombrel::serving::scan
