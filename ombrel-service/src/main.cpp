#include <string>
#include <vector>

#include "base/text.hpp"
#include "platform/console.hpp"

namespace {

int run(const std::vector<std::string>& args) {
  const std::string word = args.size() > 1 ? args[1] : std::string();
  ombrel::platform::write_stderr("неизвестная команда: " + word + "\n");
  ombrel::platform::write_stderr("допустимые: install, uninstall, run\n");
  return 2;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    args.push_back(ombrel::utf16_to_utf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  return run(args);
}
#else
int main(int argc, char** argv) { return run(std::vector<std::string>(argv, argv + argc)); }
#endif
