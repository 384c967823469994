#pragma once
// What makes a file a program on this system: the ending of its name and its
// first bytes. The rest of the service names its programs through these, one
// text for both targets.
#include <cstddef>
#include <string_view>

namespace ombrel::platform {

#ifdef _WIN32
inline constexpr std::string_view PROGRAM_SUFFIX = ".exe";
inline constexpr std::string_view PROGRAM_MARK = "MZ";
// What a file without the mark is called, after its name.
inline constexpr std::string_view NOT_A_PROGRAM = " - не программа Windows";
#else
inline constexpr std::string_view PROGRAM_SUFFIX = "";
inline constexpr std::string_view PROGRAM_MARK =
    "\x7f"
    "ELF";
inline constexpr std::string_view NOT_A_PROGRAM = " - не программа Linux";
#endif

// The file name of the program `stem` on this system ("xray.exe" on Windows,
// "xray" on Linux), made at compile time: `constexpr ProgramFile xray{"xray"};`.
template <std::size_t N>
struct ProgramFile {
  consteval explicit ProgramFile(const char (&stem)[N]) {
    for (std::size_t i = 0; i + 1 < N; ++i) text[size++] = stem[i];
    for (char c : PROGRAM_SUFFIX) text[size++] = c;
  }
  constexpr std::string_view view() const { return {text, size}; }

  char text[N + 4]{};  // room for the suffix and a closing zero
  std::size_t size = 0;
};

}  // namespace ombrel::platform
