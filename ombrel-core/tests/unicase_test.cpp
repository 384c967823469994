#include "unicase.hpp"

#include <gtest/gtest.h>

namespace ombrel {
namespace {

struct CaseRow {
  const char* what;
  std::string_view input;
  std::string_view lower;
};

// Expected values are those of the Unicode default lower-case mapping.
const CaseRow LOWER_ROWS[] = {
    {"ascii", "App.EXE", "app.exe"},
    {"latin-1 and the one capital whose lower case is in latin extended-a", "ÀÞŸ", "àþÿ"},
    {"latin extended-b digraphs, titlecase too", "ǄǅǇ", "ǆǆǉ"},
    {"kelvin sign lower-cases to ascii k", "\u212A", "k"},
    {"dotted capital i maps to two code points", "İSTANBUL", "i\u0307stanbul"},
    {"cyrillic incl. extensions", "ЀӁЯ ТЕЛЕГРАМ", "ѐӂя телеграм"},
    {"greek with tonos", "ΩΆ", "ωά"},
    {"word-final sigma", "ΟΔΟΣ", "οδος"},
    {"sigma before a cased letter across a case-ignorable dot", "ΟΔΟΣ.EXE", "οδοσ.exe"},
    {"sigma at the end of each word", "ΑΣ ΒΣ", "ας βς"},
    {"final sigma skips a following combining mark", "ΑΣ\u0301", "ας\u0301"},
    {"lone sigma is not word-final", "Σ", "σ"},
    {"sigma opening a word", "Σ.ΑΣ", "σ.ας"},
    {"armenian", "Ա", "ա"},
    {"georgian mtavruli", "Ა", "ა"},
    {"cherokee lowers outside its own block", "Ꭰ", "ꭰ"},
    {"glagolitic", "Ⰰ", "ⰰ"},
    {"fullwidth latin", "ＡＢ", "ａｂ"},
    {"deseret and adlam, outside the BMP", "𐐀𞤀", "𐐨𞤢"},
    {"lower case and uncased text unchanged", "уже.exe 中文 🙂", "уже.exe 中文 🙂"},
    {"invalid bytes pass through, letters around them lowered", "A\xFF\xC3(B\xED\xA0\x80",
     "a\xFF\xC3(b\xED\xA0\x80"},
    {"truncated sequence at the end", "Ж\xD0", "ж\xD0"},
};

TEST(LowerCase, Table) {
  for (const auto& row : LOWER_ROWS) {
    EXPECT_EQ(lower_case(row.input), row.lower) << row.what;
  }
}

TEST(TrimWhiteSpace, Table) {
  const struct {
    std::string_view input;
    std::string_view trimmed;
  } rows[] = {
      {"  app.exe\t\r\n", "app.exe"},
      {"\u00A0\u3000app.exe\u2003\u2029\u0085", "app.exe"},
      {"a b", "a b"},
      {"\u200Bapp\u200B", "\u200Bapp\u200B"},  // zero-width space is not white space
      {" \xFF ", "\xFF"},
      {" \t ", ""},
      {"", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(trim_white_space(row.input), row.trimmed) << row.input;
  }
}

}  // namespace
}  // namespace ombrel
