#pragma once
// Console text. On Windows a real console gets UTF-16 through WriteConsoleW
// (code pages would mangle the Russian messages); a redirected stream gets
// the UTF-8 bytes unchanged.
#include <string_view>

namespace ombrel::platform {

void write_stdout(std::string_view utf8);
// Standard error, and the copy below when one is set.
void write_stderr(std::string_view utf8);

// Where every text written through write_stderr also goes once set (the
// service's own log: standard error is lost under the service control
// manager). Called on the writer's thread after the console write; it must
// not block for long. A plain function, so that no object it needs can be
// destroyed while a late writer still calls it.
using StderrCopy = void (*)(std::string_view utf8);
void copy_stderr_to(StderrCopy copy);

// Standard error alone, without the copy.
void write_console_stderr(std::string_view utf8);

}  // namespace ombrel::platform
