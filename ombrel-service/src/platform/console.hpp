#pragma once
// Console text. On Windows a real console gets UTF-16 through WriteConsoleW
// (code pages would mangle the Russian messages); a redirected stream gets
// the UTF-8 bytes unchanged.
#include <string_view>

namespace ombrel::platform {

void write_stdout(std::string_view utf8);
void write_stderr(std::string_view utf8);

}  // namespace ombrel::platform
