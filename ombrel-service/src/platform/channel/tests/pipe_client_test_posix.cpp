#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "as_user.hpp"
#include "platform/channel/pipe.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using namespace std::chrono_literals;

// The Linux port opens files only for a client with the service's own
// user id: a file of the service's that another user could not read must
// not be read for them.
TEST(Pipe, FilesAreNotOpenedForAClientOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  testsupport::TempDir dir("pipe");
  // The folder must let the other user reach the socket.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string name = dir.file("ctl.sock");
  auto server = create_pipe(name);
  ASSERT_TRUE(server) << server.error().to_string();
  const std::string offered = dir.file("offered.bin");
  std::ofstream(offered, std::ios::binary) << "\x7f"
                                              "ELF private";
  ASSERT_EQ(::chmod(offered.c_str(), 0600), 0);

  std::string reply;
  std::jthread client([&] { reply = testsupport::exchange_as_user(65534, name, "update"); });
  ASSERT_TRUE(server->accept({}));
  std::array<char, 16> buf;
  ASSERT_TRUE(server->read(buf, 5s));
  EXPECT_EQ(server->client_uid(), std::optional<std::uint32_t>(65534));
  auto opened = server->open_as_client(offered);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().outermost(), "файлы открываются только для клиента с правами службы");
  ASSERT_TRUE(server->write_all("refused\n", 5s));
  ASSERT_TRUE(server->flush(5s));
  server->disconnect();
  client.join();
  EXPECT_EQ(reply, "refused\n");
}

}  // namespace
}  // namespace ombrel::platform
