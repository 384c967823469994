#pragma once
// Random log lines of a proxy core, for checking the fast scans against the
// plain rules.
#include <cstddef>
#include <random>
#include <string>
#include <string_view>

namespace ombrel::serving {

// Runs of random lines, many shaped like access lines and probe failures
// and many just off those shapes.
class RandomLines {
 public:
  explicit RandomLines(unsigned seed) : random(seed) {}

  std::string line() {
    static constexpr std::string_view pieces[] = {
        "[",
        "]",
        "->",
        ">>",
        "-",
        ">",
        " ",
        "\t",
        "p",
        "P",
        "0",
        "7",
        "12",
        "x",
        "observatory",
        "error ping",
        " with p",
        " accepted ",
        "accepted",
        "\u00a0",
        "\u3000",
        "\r",
        "Я",
        "2024/05/01 12:00:00.000000 from 127.0.0.1:5000 accepted "
        "tcp:www.example.com:443 "};
    static constexpr std::string_view tags[] = {"p3",
                                                "p12",
                                                "p",
                                                "P3",
                                                "p3x",
                                                "p007",
                                                "p123456789012345678",
                                                "p1234567890123456789",
                                                "p9223372036854775807",
                                                "p9223372036854775808",
                                                "p18446744073709551615",
                                                "p18446744073709551616",
                                                "3",
                                                "direct"};
    static constexpr std::string_view arrows[] = {"->",  ">>",  "- >",     ">",       "-->",
                                                  ">>>", "->>", "-> a ->", "-> a >>", ">> a ->"};
    static constexpr std::string_view blanks[] = {"", " ", "  ", "\t", "\v", "\u00a0", "\u3000"};
    const auto any = [&](auto& list) { return std::string(list[random() % std::size(list)]); };
    const auto some = [&](int most) {
      std::string out;
      for (int n = static_cast<int>(random() % (most + 1)); n > 0; --n) out += any(pieces);
      return out;
    };
    switch (random() % 4) {
      case 0:
        return some(20);
      case 1:  // access lines, mostly in the common form
        return some(3) + "[socks-in" + any(blanks) + any(arrows) + any(blanks) + any(tags) +
               any(blanks) + "]" + (random() % 4 == 0 ? some(2) : "");
      case 2:
        return some(2) + "[Warning] app/observatory: error ping https://cp.example with " +
               any(tags) + some(1);
      default:
        return std::string(random() % 200, 'a') + "[" + some(2) + any(arrows) + any(tags) + "]";
    }
  }

  // Whole lines, each ended by a line feed, now and then a byte that is not
  // UTF-8 to end the run early.
  std::string text(int round) {
    std::string text;
    const int lines = 1 + static_cast<int>(random() % 60);
    for (int i = 0; i < lines; ++i) text += line() + (random() % 5 == 0 ? "\r\n" : "\n");
    if (round % 50 == 0) {
      text.insert(text.begin() + static_cast<std::ptrdiff_t>(random() % text.size()), '\xff');
    }
    return text;
  }

  std::mt19937 random;
};

}  // namespace ombrel::serving
