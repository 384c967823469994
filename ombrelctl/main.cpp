#include <string>
#include <vector>

#include "base/text.hpp"
#include "ctl.hpp"
#include "platform/host/console.hpp"

namespace {

int run(std::vector<std::string> args) {
  if (!args.empty()) args.erase(args.begin());
  const ombrel::ctl::Console console{ombrel::platform::write_stdout,
                                     ombrel::platform::write_stderr};
  return ombrel::ctl::run(args, console);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    args.push_back(ombrel::utf16_to_utf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  return run(std::move(args));
}
#else
int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv, argv + argc));
}
#endif
