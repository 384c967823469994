#include <windows.h>

#include <array>
#include <chrono>
#include <fstream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "platform/pipe.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using namespace std::chrono_literals;

// Whether the calling thread acts in a client's name.
bool impersonating() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    return GetLastError() != ERROR_NO_TOKEN;
  }
  CloseHandle(token);
  return true;
}

// The serving thread acts as the client for the open alone: after a file
// opened and after one that failed it is the service again.
TEST(Pipe, ServingThreadActsAsItselfAfterOpeningForTheClient) {
  testsupport::TempDir dir("pipe");
  std::random_device rd;
  const std::string name = "\\\\.\\pipe\\ombrel-client-files-" + std::to_string(rd());
  auto server = create_pipe(name);
  ASSERT_TRUE(server) << server.error().to_string();
  const std::string offered = dir.file("offered.exe");
  std::ofstream(offered, std::ios::binary) << "MZ offered";
  auto client = PipeClient::connect(name, 5s);
  ASSERT_TRUE(client) << client.error().to_string();
  ASSERT_TRUE(server->accept({}));
  ASSERT_TRUE(client->write_all("update\n"));
  std::array<char, 16> buf;
  ASSERT_TRUE(server->read(buf, 5s));

  ASSERT_FALSE(impersonating());
  EXPECT_TRUE(server->open_as_client(offered));
  EXPECT_FALSE(impersonating());
  EXPECT_FALSE(server->open_as_client(dir.file("missing.exe")));
  EXPECT_FALSE(impersonating());
}

}  // namespace
}  // namespace ombrel::platform
