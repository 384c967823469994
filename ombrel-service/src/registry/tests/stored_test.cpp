#include <gtest/gtest.h>

#include <string>

#include "registry/stored.hpp"

namespace ombrel::registry {
namespace {

struct ReadCase {
  const char* name;
  std::string text;
  Stored expected;
};

TEST(Stored, ReadAcceptsBothFormsAndRefusesTheRest) {
  const ReadCase cases[] = {
      {"both maps",
       R"({"seen":{"a":1,"b":2},"failed":{"c":3}})",
       {{{"a", 1}, {"b", 2}}, {{"c", 3}}}},
      {"failed first", R"({"failed":{"c":3},"seen":{"a":1}})", {{{"a", 1}}, {{"c", 3}}}},
      {"only seen", R"({"seen":{"a":1}})", {{{"a", 1}}, {}}},
      {"only failed", R"({"failed":{"a":1}})", {{}, {{"a", 1}}}},
      {"no keys", "{}", {}},
      {"white space", " \n{ \"seen\" : { \"a\" : 7 } }\r\n", {{{"a", 7}}, {}}},
      {"same remark in both", R"({"seen":{"a":1},"failed":{"a":2}})", {{{"a", 1}}, {{"a", 2}}}},
      {"largest time",
       R"({"seen":{"a":18446744073709551615}})",
       {{{"a", 18446744073709551615u}}, {}}},
      {"minus zero", R"({"seen":{"a":-0}})", {{{"a", 0}}, {}}},
      {"escapes and Cyrillic",
       R"({"seen":{"\"q\\\u0001":1,"Нидерланды":2}})",
       {{{"\"q\\\x01", 1}, {"Нидерланды", 2}}, {}}},
      // The flat form of older files: remark to time, read as seen.
      {"flat", R"({"a":5,"b":6})", {{{"a", 5}, {"b", 6}}, {}}},
      {"flat naming a key", R"({"seen":5,"x":6})", {{{"seen", 5}, {"x", 6}}, {}}},
      {"flat with failed", R"({"a":1,"failed":2})", {{{"a", 1}, {"failed", 2}}, {}}},
      // Neither form: empty.
      {"seen twice", R"({"seen":{"a":1},"seen":{"b":2}})", {}},
      {"remark twice", R"({"seen":{"a":1,"a":2}})", {}},
      {"flat remark twice", R"({"a":1,"a":2})", {}},
      {"third key", R"({"seen":{},"failed":{},"x":{}})", {}},
      {"third key scalar", R"({"seen":{"a":1},"x":2})", {}},
      {"negative", R"({"seen":{"a":-1}})", {}},
      {"flat negative", R"({"a":-1})", {}},
      {"fraction", R"({"seen":{"a":1.5}})", {}},
      {"whole fraction", R"({"seen":{"a":1.0}})", {}},
      {"exponent", R"({"seen":{"a":1e3}})", {}},
      {"beyond 64 bits", R"({"seen":{"a":18446744073709551616}})", {}},
      {"string time", R"({"seen":{"a":"1"}})", {}},
      {"null map", R"({"seen":null})", {}},
      {"array map", R"({"seen":[]})", {}},
      {"array", "[]", {}},
      {"number", "5", {}},
      {"empty", "", {}},
      {"truncated", R"({"seen":{"a":1)", {}},
      {"trailing bytes", R"({"a":1} x)", {}},
      {"two documents", R"({"a":1}{"b":2})", {}},
      {"invalid UTF-8", "{\"seen\":{\"\xff\":1}}", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(read_stored(c.text), c.expected) << c.name;
}

TEST(Stored, WritesCompactlySeenFirst) {
  EXPECT_EQ(write_stored({}), R"({"seen":{},"failed":{}})");
  EXPECT_EQ(write_stored({{{"a", 1}}, {{"b", 18446744073709551615u}}}),
            R"({"seen":{"a":1},"failed":{"b":18446744073709551615}})");
  EXPECT_EQ(write_stored({{{"q\"\\\b\t\n\f\r\x01\x1f/Я", 0}}, {}}),
            "{\"seen\":{\"q\\\"\\\\\\b\\t\\n\\f\\r\\u0001\\u001f/Я\":0},\"failed\":{}}");
}

TEST(Stored, RoundTrips) {
  Stored stored;
  for (int i = 0; i < 50; ++i) {
    stored.seen["node " + std::to_string(i)] = 1'700'000'000'000u + i;
    if (i % 3 == 0) stored.failed["узел " + std::to_string(i)] = 1'700'000'000'000u - i;
  }
  EXPECT_EQ(read_stored(write_stored(stored)), stored);
}

TEST(Stored, RemarkThatIsNotUtf8IsLeftOut) {
  // Both would come out as the same key and make the file unreadable.
  const Stored stored{{{"ok", 1}, {"a\xff", 2}, {"a\xfe", 3}}, {}};
  EXPECT_EQ(read_stored(write_stored(stored)), (Stored{{{"ok", 1}}, {}}));
}

}  // namespace
}  // namespace ombrel::registry
