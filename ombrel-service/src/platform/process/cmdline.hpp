#pragma once
// Windows passes a child one command-line string, which the child's runtime
// splits back into arguments. These functions build that string so that every
// argument arrives unchanged, whatever spaces, tabs, quotes and backslashes it
// holds. They are plain text work, so they are built and tested on every
// target, not only on Windows.
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::platform {

// One argument as the Microsoft C runtime and CommandLineToArgvW read it back:
// untouched when it needs no quoting, otherwise in double quotes with quotes
// escaped and backslashes doubled where they precede a quote.
std::string quote_windows_argument(std::string_view arg);

// The program path (always quoted: the first word is read by different rules,
// without escapes) followed by every argument, separated by single blanks.
std::string windows_command_line(std::string_view program, std::span<const std::string> args);

// The reverse: splits a command line by the rules of the Microsoft C runtime
// (2008 and later), the first word by the program-name rules.
std::vector<std::string> split_windows_command_line(std::string_view line);

}  // namespace ombrel::platform
