#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.hpp"

namespace ombrel {
namespace {

TEST(Text, Utf8Validity) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii", true},
      {"Автовыбор", true},
      {"\xF0\x9F\x87\xB3\xF0\x9F\x87\xB1 NL", true},  // flag emoji, 4-byte sequences
      {"\xC0\xAF", false},                            // overlong '/'
      {"\xED\xA0\x80", false},                        // UTF-16 surrogate
      {"\xF4\x90\x80\x80", false},                    // above U+10FFFF
      {"\xE2\x82", false},                            // truncated
      {"\x80", false},                                // lone continuation
      {"\xFF", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
}

TEST(Text, RoundTripThroughUtf16) {
  for (const std::string s : {"", "abc", "неизвестная команда: frobnicate", "\xF0\x9F\x98\x80"}) {
    EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(s)), s);
  }
  EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), std::u16string(u"\U0001F600"));
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
}

// The trimmed text as a forward walk over every unit defines it: from the
// first unit that is not white space to the end of the last such unit.
std::string_view trimmed_by_walking(std::string_view s) {
  std::size_t pos = 0, first = std::string_view::npos, last_end = 0;
  while (pos < s.size()) {
    const std::size_t at = pos;
    const auto cp = next_code_point(s, pos);
    if (cp && is_unicode_space(*cp)) continue;
    if (first == std::string_view::npos) first = at;
    last_end = pos;
  }
  return first == std::string_view::npos ? s.substr(0, 0) : s.substr(first, last_end - first);
}

// Client text made fit for a request's parser (its ends trimmed of Unicode
// space) and for a log line or a terminal (its controls shown as escapes).
TEST(Text, ClientTextIsTrimmedAndEscaped) {
  using Fn = std::string (*)(std::string_view);
  const Fn trim = [](std::string_view s) { return std::string(trim_unicode_space(s)); };
  const Fn escape = [](std::string_view s) {
    std::string out = escape_controls(s);
    EXPECT_EQ(has_control_characters(s), out != s) << s;
    return out;
  };
  const struct {
    Fn fn;
    std::string in, out;
  } cases[] = {
      {trim, "", ""},
      {trim, " \t\r\n", ""},
      {trim, "\xE3\x80\x80{\"cmd\":\"status\"}\xC2\xA0\n", "{\"cmd\":\"status\"}"},
      {trim, "a \xE2\x80\xA8 b", "a \xE2\x80\xA8 b"},
      // A space's bytes after a stray lead byte are a space all the same.
      {trim, "x\xE3\xE3\x80\x80", "x\xE3"},
      // Malformed bytes are text, not space.
      {trim, "\x80 ", "\x80"},
      {trim, " \xE3\x80\x80\x80", "\x80"},
      {escape, "Германия 1 app_x", "Германия 1 app_x"},
      // A backslash is doubled: the client's "\\n" is not a line feed shown.
      {escape, "C:\\a\\n", "C:\\\\a\\\\n"},
      {escape, "fake\n    p7 = forged", "fake\\n    p7 = forged"},
      {escape, "\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
      {escape, "a\r\tb\x7f", "a\\r\\tb\\x7f"},
      {escape, std::string("nul\0", 4), "nul\\x00"},
      // C1 controls (CSI) are escaped, the letters beside them kept.
      {escape,
       "\xC2\x9B"
       "2J\xC2\xA0\xD0\x96",
       "\\u009b2J\xC2\xA0\xD0\x96"},
      // Separators and format characters (bidirectional controls and marks,
      // zero-width ones, the byte order mark, the deprecated U+206A..206F,
      // the soft hyphen, a language tag beyond the first plane), which a
      // viewer breaks a line at, reorders by or shows as nothing; their
      // neighbours (U+2027, U+202F, U+2065, a hair space, U+FFFC) and a cut
      // sequence are kept.
      {escape, "a\xE2\x80\xA8    p7 = b\xE2\x80\xA9", "a\\u2028    p7 = b\\u2029"},
      {escape,
       "\xE2\x80\xAA\xE2\x80\xAE"
       "exe.txt\xE2\x81\xA6\xE2\x81\xA9",
       "\\u202a\\u202eexe.txt\\u2066\\u2069"},
      {escape, "a\u200Bb\uFEFFc\u061Cd\u200Fe\u206Ef\u206Ag\u00ADh\u2060\U000E0001",
       "a\\u200bb\\ufeffc\\u061cd\\u200fe\\u206ef\\u206ag\\u00adh\\u2060\\U000e0001"},
      {escape, "\u2027\u202F\xE2\x81\xA5\u200A\uFFFC\xE2\x80",
       "\u2027\u202F\xE2\x81\xA5\u200A\uFFFC\xE2\x80"},
      // Cyrillic and emoji stay as they are, the joiners and tags that make
      // one emoji of several included (a family, a rainbow flag, a skin
      // tone, the flag of England); a joiner or tag anywhere else is shown.
      {escape,
       "Привет 🙂🇳🇱 \U0001F468\u200D\U0001F469\u200D\U0001F467 "
       "\U0001F3F3\uFE0F\u200D\U0001F308 \U0001F44B\U0001F3FD\u200D\u2642 "
       "\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F",
       "Привет 🙂🇳🇱 \U0001F468\u200D\U0001F469\u200D\U0001F467 "
       "\U0001F3F3\uFE0F\u200D\U0001F308 \U0001F44B\U0001F3FD\u200D\u2642 "
       "\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F"},
      {escape, "a\u200Db 🙂\u200D \u200D🙂 x\U000E0041 \U0001F3F4\U000E007F\U000E0041",
       "a\\u200db 🙂\\u200d \\u200d🙂 x\\U000e0041 \U0001F3F4\U000E007F\\U000e0041"},
      // Malformed bytes are kept; a lone lead byte at the end is no control.
      {escape, "\x80\xC2", "\x80\xC2"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.fn(c.in), c.out) << c.in;
}

TEST(Text, TrimmingDecodesOnlyTheEnds) {
  // Only the ends are decoded; the answer is the walk's on any bytes.
  static const std::vector<std::string> pieces = {" ",
                                                  "\t",
                                                  "\n",
                                                  "\xC2\x85",
                                                  "\xC2\xA0",
                                                  "\xE3\x80\x80",
                                                  "\xE2\x80\xA9",
                                                  "a",
                                                  "\xD0\x96",
                                                  "\xF0\x9F\x98\x80",
                                                  "\x80",
                                                  "\xE3",
                                                  "\xE3\x80",
                                                  "\xC2",
                                                  "\xF0\x80\x80\x80",
                                                  "\xFF"};
  std::mt19937 rng(7);
  for (int i = 0; i < 20'000; ++i) {
    std::string s;
    for (auto n = rng() % 7; n > 0; --n) s += pieces[rng() % pieces.size()];
    ASSERT_EQ(trim_unicode_space(s), trimmed_by_walking(s)) << testing::PrintToString(s);
  }
}

}  // namespace
}  // namespace ombrel
