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
      {"\xC0\xAF", false},                             // overlong '/'
      {"\xED\xA0\x80", false},                         // UTF-16 surrogate
      {"\xF4\x90\x80\x80", false},                     // above U+10FFFF
      {"\xE2\x82", false},                             // truncated
      {"\x80", false},                                 // lone continuation
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

}  // namespace
}  // namespace ombrel
