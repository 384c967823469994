// The command line of the real executable, the same on both platforms.
#include "host_run.hpp"

namespace ombrel::host_e2e {
namespace {

TEST(HostCommandLine, AnUnknownWordIsRefusedWithExitCode2) {
  for (const char* word : {"frobnicate", "Install"}) {
    SCOPED_TRACE(word);
    const Ran ran = run_service({word, "install"});
    EXPECT_EQ(ran.code, 2);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, std::string("неизвестная команда: ") + word +
                           "\nдопустимые: install, uninstall, run\n");
  }
}

}  // namespace
}  // namespace ombrel::host_e2e
