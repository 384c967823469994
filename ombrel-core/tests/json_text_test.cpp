#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_text.hpp"

namespace ombrel {
namespace {

using nlohmann::json;

std::string library_text(const json& value, int indent) {
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

// Every form must give the library's bytes: the documents of the cores are
// compared byte for byte by their golden files, and the cores see the text.
void expect_library_bytes(const json& value, const std::string& what) {
  for (const int indent : {-1, 0, 2, 4}) {
    EXPECT_EQ(json_text(value, indent), library_text(value, indent))
        << what << ", indent " << indent;
  }
}

TEST(JsonText, WritesWhatTheLibraryWrites) {
  const struct {
    const char* name;
    json value;
  } cases[] = {
      {"null", nullptr},
      {"booleans", json::array({true, false})},
      {"integer extremes", json::array({std::numeric_limits<std::int64_t>::min(), std::int64_t{-1},
                                        0, std::numeric_limits<std::int64_t>::max(),
                                        std::numeric_limits<std::uint64_t>::max()})},
      {"fractions", json::array({0.5, -1e300, 3.0, 1e-7})},
      {"empty containers", json::object({{"a", json::array()}, {"o", json::object()}})},
      {"empty string and key", json::object({{"", ""}})},
      {"escapes", json::array({"\"quoted\" \\ back", "\b\f\n\r\t", std::string("\0\x01\x1f", 3)})},
      {"delete passes",
       "a\x7f"
       "b"},
      {"UTF-8 passes",
       json::object({{"ключ", "Узел 1 app_premium"}, {"emoji", "\xF0\x9F\x98\x80"}})},
      {"bad UTF-8 replaced",
       json::array({"\xff", "a\xC3", "\xE2\x82", "\xC0\xAF", "ok\xED\xA0\x80"})},
      {"bad UTF-8 in a key", json::object({{"k\xfe", 1}})},
      {"nested", json::object({{"a", json::array({json::object({{"b", json::array({1, "x"})}}),
                                                  json::array({json::array()})})},
                               {"z", json::object({{"y", nullptr}})}})},
  };
  for (const auto& c : cases) expect_library_bytes(c.value, c.name);
}

// Trees of every kind of value and string, a few levels deep.
class RandomTree {
 public:
  explicit RandomTree(std::uint32_t seed) : rng_(seed) {}

  json value(int depth) {
    switch (pick(depth > 3 ? 6 : 8)) {
      case 0:
        return nullptr;
      case 1:
        return pick(2) == 0;
      case 2:
        return static_cast<std::int64_t>(rng_()) - (1ll << 31);
      case 3:
        return static_cast<std::uint64_t>(rng_()) << 32 | rng_();
      case 4:
        return static_cast<double>(rng_()) / 7.0;
      case 5:
        return text();
      case 6: {
        json array = json::array();
        for (int i = pick(4); i > 0; --i) array.push_back(value(depth + 1));
        return array;
      }
      default: {
        json object = json::object();
        for (int i = pick(4); i > 0; --i) object[text()] = value(depth + 1);
        return object;
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint32_t>(n)); }

  // Mostly plain ASCII, as the documents are, with now and then a piece that
  // needs escaping or decoding, valid or not.
  std::string text() {
    static const std::vector<std::string> pieces = {"a",
                                                    "Z",
                                                    "0",
                                                    " ",
                                                    "-",
                                                    ".",
                                                    "/",
                                                    ":",
                                                    "\"",
                                                    "\\",
                                                    "\n",
                                                    "\t",
                                                    std::string(1, '\0'),
                                                    "\x1f",
                                                    "\x7f",
                                                    "é",
                                                    "Узел",
                                                    "\xF0\x9F\x98\x80",
                                                    "\xff",
                                                    "\xC3",
                                                    "\xE2\x82",
                                                    "\xED\xA0\x80"};
    std::string s;
    for (int i = pick(8); i > 0; --i) {
      s += pick(4) == 0 ? pieces[static_cast<std::size_t>(pick(static_cast<int>(pieces.size())))]
                        : std::string(1, static_cast<char>('a' + pick(26)));
    }
    return s;
  }

  std::mt19937 rng_;
};

TEST(JsonText, RandomTreesWriteAsTheLibraryWrites) {
  for (std::uint32_t seed = 1; seed <= 500; ++seed) {
    RandomTree tree(seed);
    expect_library_bytes(tree.value(0), "seed " + std::to_string(seed));
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace ombrel
