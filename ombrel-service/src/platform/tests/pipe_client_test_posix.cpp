#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/pipe.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using namespace std::chrono_literals;

// A client of another user sends one line and waits to be let go. Only
// system calls between fork and exit: the test process has threads.
pid_t client_as_nobody(const std::string& socket_path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  socket_path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::_exit(3);
  }
  if (::write(fd, "update\n", 7) != 7) ::_exit(4);
  char c;
  while (::read(fd, &c, 1) > 0) {
  }
  ::_exit(0);
}

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

  const pid_t client = client_as_nobody(name);
  ASSERT_GT(client, 0);
  ASSERT_TRUE(server->accept({}));
  std::array<char, 16> buf;
  ASSERT_TRUE(server->read(buf, 5s));
  EXPECT_EQ(server->client_uid(), std::optional<std::uint32_t>(65534));
  auto opened = server->open_as_client(offered);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().outermost(), "файлы открываются только для клиента с правами службы");
  server->disconnect();
  int status = -1;
  ASSERT_EQ(::waitpid(client, &status, 0), client);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace ombrel::platform
