#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "acting_as_client.hpp"
#include "platform/channel/pipe.hpp"
#include "testsupport.hpp"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace ombrel::platform {
namespace {

using namespace std::chrono_literals;
using testsupport::TempDir;

std::string unique_channel(const TempDir& dir) {
#ifdef _WIN32
  (void)dir;
  std::random_device rd;
  return "\\\\.\\pipe\\ombrel-platform-test-" + std::to_string(rd()) + std::to_string(rd());
#else
  return dir.file("ctl.sock");
#endif
}

TEST(Pipe, ClientWaitsForAServerThatIsNotThereYet) {
  TempDir dir("pipe");
  const std::string name = unique_channel(dir);
  std::jthread serve([&] {
    std::this_thread::sleep_for(300ms);
    auto server = create_pipe(name);
    ASSERT_TRUE(server) << server.error().to_string();
    ASSERT_TRUE(server->accept({}));
    std::array<char, 64> buf;
    auto n = server->read(buf, 5s);
    ASSERT_TRUE(n);
    ASSERT_TRUE(server->write_all(std::string_view(buf.data(), *n), 5s));
    ASSERT_TRUE(server->flush(5s));
    server->disconnect();
  });
  auto reply = pipe_exchange(name, "ping", 10s);
  ASSERT_TRUE(reply) << reply.error().to_string();
  EXPECT_EQ(*reply, "ping\n");
}

TEST(Pipe, ClientGivesUpWhenNobodyServes) {
  TempDir dir("pipe");
  const std::string name = unique_channel(dir);
  const auto start = std::chrono::steady_clock::now();
  auto client = PipeClient::connect(name, 300ms);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(client);
  EXPECT_EQ(client.error().outermost(), "не удалось подключиться к каналу " + name);
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 3s);
}

TEST(Pipe, StalledReadDropsTheClient) {
  TempDir dir("pipe");
  const std::string name = unique_channel(dir);
  auto server = create_pipe(name);
  ASSERT_TRUE(server) << server.error().to_string();
  auto client = PipeClient::connect(name, 5s);
  ASSERT_TRUE(client);
  ASSERT_TRUE(server->accept({}));
  std::array<char, 16> buf;
  const auto start = std::chrono::steady_clock::now();
  auto n = server->read(buf, 200ms);
  ASSERT_FALSE(n);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
  EXPECT_EQ(n.error().to_string(), "клиент не присылал данных 200 мс и отключён");
  // The client sees the end of its connection.
  EXPECT_EQ(client->read(buf).value_or(99), 0u);
}

TEST(Pipe, AcceptEndsOnStop) {
  TempDir dir("pipe");
  auto server = create_pipe(unique_channel(dir));
  ASSERT_TRUE(server);
  std::stop_source stop;
  std::jthread stopper([&] {
    std::this_thread::sleep_for(200ms);
    stop.request_stop();
  });
  EXPECT_FALSE(server->accept(stop.get_token()));
  // A stop requested before the wait ends it at once.
  EXPECT_FALSE(server->accept(stop.get_token()));
}

// A file is opened in the connected client's name: one it may read opens
// and reads, one that is not there fails like any other, and either way the
// serving thread acts as itself again at once.
TEST(Pipe, FilesAreOpenedForTheConnectedClient) {
  TempDir dir("pipe");
  const std::string name = unique_channel(dir);
  auto server = create_pipe(name);
  ASSERT_TRUE(server) << server.error().to_string();
  const std::string offered = dir.file("offered.bin");
  std::ofstream(offered, std::ios::binary) << "MZ offered";
  auto client = PipeClient::connect(name, 5s);
  ASSERT_TRUE(client) << client.error().to_string();
  ASSERT_TRUE(server->accept({}));
  // Windows lets a server act as its client only once it has read from it.
  ASSERT_TRUE(client->write_all("update\n"));
  std::array<char, 16> buf;
  ASSERT_TRUE(server->read(buf, 5s));

  ASSERT_FALSE(test::thread_acts_as_client());
  auto opened = server->open_as_client(offered);
  ASSERT_TRUE(opened) << opened.error().to_string();
  EXPECT_FALSE(test::thread_acts_as_client());
  std::array<char, 32> content;
  const auto n = opened->read_full(content);
  ASSERT_TRUE(n);
  EXPECT_EQ(std::string_view(content.data(), *n), "MZ offered");
  EXPECT_FALSE(server->open_as_client(dir.file("missing.bin")));
  EXPECT_FALSE(test::thread_acts_as_client());
}

#ifdef _WIN32

// The rights of one access list, right by right, with generic rights spelled
// out as file rights: Windows reads a pipe's list back mapped, Wine unmapped
// and in its own order ("GWGR").
std::map<std::string, std::set<std::string>> aces(const std::string& sddl) {
  static const std::map<std::string, std::set<std::string>> generic = {
      {"GA", {"FA"}}, {"FA", {"FA"}}, {"GR", {"FR"}},
      {"FR", {"FR"}}, {"GW", {"FW"}}, {"FW", {"FW"}}};
  std::map<std::string, std::set<std::string>> out;
  EXPECT_TRUE(sddl.starts_with("D:")) << sddl;
  std::size_t pos = sddl.find('(');
  while (pos != std::string::npos) {
    const std::size_t end = sddl.find(')', pos);
    const std::string ace = sddl.substr(pos + 1, end - pos - 1);
    // type;flags;rights;object;inherited object;account
    std::array<std::string, 6> f;
    std::size_t from = 0;
    for (auto& part : f) {
      const std::size_t semi = ace.find(';', from);
      part = ace.substr(from, semi - from);
      from = semi == std::string::npos ? ace.size() : semi + 1;
    }
    EXPECT_EQ(f[0], "A") << ace;
    EXPECT_EQ(f[1], "") << ace;
    auto& rights = out[f[5]];
    for (std::size_t i = 0; i + 1 < f[2].size(); i += 2) {
      const auto it = generic.find(f[2].substr(i, 2));
      if (it == generic.end()) {
        rights.insert(f[2].substr(i, 2));
      } else {
        rights.insert(it->second.begin(), it->second.end());
      }
    }
    pos = sddl.find('(', end);
  }
  return out;
}

TEST(Pipe, AccessListIsSystemAllAndInteractiveReadWrite) {
  auto server = create_pipe(unique_channel(TempDir("pipe")));
  ASSERT_TRUE(server) << server.error().to_string();
  auto sddl = server->security_sddl();
  ASSERT_TRUE(sddl) << sddl.error().to_string();
  // Interactive users: read and write data, never a pipe instance of their own.
  EXPECT_EQ(aces(*sddl), aces("D:(A;;GA;;;SY)(A;;0x12008b;;;IU)")) << *sddl;
}

TEST(Pipe, OnlyOneInstance) {
  TempDir dir("pipe");
  const std::string name = unique_channel(dir);
  auto first = create_pipe(name);
  ASSERT_TRUE(first);
  auto second = create_pipe(name);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().outermost(), "не удалось создать канал " + name);
}

#else

TEST(Pipe, SocketIsOpenToEveryoneInAFolderMadeForIt) {
  TempDir dir("pipe");
  const std::string name = dir.file("run/ombrel/service.sock");
  auto server = create_pipe(name);
  ASSERT_TRUE(server) << server.error().to_string();
  const auto st = std::filesystem::symlink_status(name);
  EXPECT_EQ(st.type(), std::filesystem::file_type::socket);
  EXPECT_EQ(st.permissions() & std::filesystem::perms::all, std::filesystem::perms(0666));
}

TEST(Pipe, StaleSocketIsReplacedLiveOneKeptAndNeverRemovedByItsOldOwner) {
  TempDir dir("pipe");
  const std::string name = unique_channel(dir);
  auto old_server = std::make_optional(create_pipe(name));
  ASSERT_TRUE(*old_server);
  // Served under: the name is not taken from its holder, who is named.
  EXPECT_FALSE(create_pipe(name));
  const auto holder = pipe_name_holder(name);
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->pid, static_cast<std::uint32_t>(::getpid()));
  // Its socket moved aside and a dead one in its place, as a crash leaves it.
  std::filesystem::rename(name, name + ".live");
  {
    const int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    name.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(dead, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ::close(dead);
  }
  EXPECT_FALSE(pipe_name_holder(name));
  auto server = create_pipe(name);
  ASSERT_TRUE(server) << server.error().to_string();
  // The old owner going away leaves the new socket in place.
  old_server.reset();
  ASSERT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(name)));
  std::jthread serve([&] {
    ASSERT_TRUE(server->accept({}));
    // The client's line is read before the reply: a socket closed with
    // unread input is reset, and the client would see that, not the reply.
    std::string line;
    while (!line.ends_with('\n')) {
      std::array<char, 8> buf;
      const auto n = server->read(buf, 5s);
      ASSERT_TRUE(n && *n > 0);
      line.append(buf.data(), *n);
    }
    ASSERT_TRUE(server->write_all("here\n", 5s));
    ASSERT_TRUE(server->flush(5s));
    server->disconnect();
  });
  EXPECT_EQ(pipe_exchange(name, "x", 5s).value_or("?"), "here\n");
}

TEST(Pipe, SomethingElseUnderTheNameIsLeftAlone) {
  TempDir dir("pipe");
  const std::string name = dir.file("not-a-socket");
  std::filesystem::create_directory(name);
  auto server = create_pipe(name);
  ASSERT_FALSE(server);
  EXPECT_EQ(server.error().outermost(), "не удалось создать канал " + name);
  EXPECT_TRUE(std::filesystem::is_directory(name));
}

#endif

}  // namespace
}  // namespace ombrel::platform
