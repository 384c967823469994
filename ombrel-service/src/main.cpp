#include <string>
#include <vector>

#include "base/text.hpp"
#include "host/command_line.hpp"
#include "host/runtime.hpp"

namespace {

// Never returns: a return from main would destroy static objects that
// detached threads may still be using.
[[noreturn]] void run(const std::vector<std::string>& args) {
  ombrel::host::end_process(ombrel::host::run_command_line(args, ombrel::host::system_commands(),
                                                           ombrel::host::system_console()));
}

}  // namespace

#ifdef _WIN32
// Wide arguments: code-page argv would mangle a path outside the code page.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(ombrel::utf16_to_utf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  run(args);
}
#else
int main(int argc, char** argv) {
  run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
