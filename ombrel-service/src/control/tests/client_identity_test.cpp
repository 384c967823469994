// Who asks goes with an update from the channel to self-update: the Linux
// port lets only root offer one, and the offered files are opened on the
// caller's behalf.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "control/handling.hpp"
#include "control/pipe_server.hpp"
#include "platform/channel/pipe.hpp"
#include "testsupport.hpp"

#ifndef _WIN32
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "as_user.hpp"
#endif

namespace ombrel::control {
namespace {

using namespace std::chrono_literals;

const std::string UPDATE_LINE =
    R"({"cmd":"update","version":"2","app_path":"a","app_sha256":")" + std::string(64, 'a') +
    R"(","service_path":"s","service_sha256":")" + std::string(64, 'b') + R"("})";

// How self-update could open a file of the caller's.
constexpr const char* AS_SERVICE = "with the service's rights";
constexpr const char* OPENED = "opened for the caller";
constexpr const char* REFUSED = "refused for the caller";

struct Caller {
  std::optional<std::uint32_t> uid;
  std::string files;
  friend bool operator==(const Caller&, const Caller&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Caller& c) {
    return out << (c.uid ? std::to_string(*c.uid) : "unknown") << " " << c.files;
  }
};

// The service's handler with self-update replaced by a recorder of callers,
// which tries to open `probe` the way self-update would open an offered file.
struct Recorder {
  supervisor::SharedState shared{
      [](const supervisor::CoreLaunch&) -> Result<supervisor::RunningCores> {
        return fail("no cores here");
      }};
  std::string probe;
  std::mutex mutex;
  std::vector<Caller> callers;
  std::unique_ptr<RequestHandler> handler;

  explicit Recorder(std::string probe_file = "") : probe(std::move(probe_file)) {
    PerformDeps perform;
    perform.apply_update = [this](const selfupdate::UpdateFields& fields) {
      std::string files = AS_SERVICE;
      if (fields.open_offered) files = fields.open_offered(probe) ? OPENED : REFUSED;
      std::lock_guard lock(mutex);
      callers.push_back({fields.caller_uid, files});
      return selfupdate::UpdateDecision(selfupdate::AlreadyCurrent{});
    };
    handler = make_state_handler(shared, real_prepare_deps(), perform);
  }
  std::vector<Caller> seen() {
    std::lock_guard lock(mutex);
    return callers;
  }
};

TEST(ClientIdentity, TheStateHandlerHandsTheCallerToSelfUpdate) {
  Recorder r;
  const auto refuse = [](const std::string&) -> Result<platform::InputFile> {
    return fail("отказано в доступе");
  };
  ASSERT_TRUE(r.handler->prepare_for(UPDATE_LINE, ClientInfo{1000u})());
  ASSERT_TRUE(r.handler->prepare_for(UPDATE_LINE, ClientInfo{})());
  ASSERT_TRUE(r.handler->prepare(UPDATE_LINE)());
  ASSERT_TRUE(r.handler->prepare_for(UPDATE_LINE, ClientInfo{1000u, refuse})());
  EXPECT_EQ(r.seen(), (std::vector<Caller>{{1000u, AS_SERVICE},
                                           {std::nullopt, AS_SERVICE},
                                           {std::nullopt, AS_SERVICE},
                                           {1000u, REFUSED}}));
  // Who the client is is kept at once for an update alone: taking it costs
  // every other request (a Windows token), and an update's client may be
  // gone by the time its files are opened.
  for (const auto& [line, holds] :
       {std::pair{UPDATE_LINE, 1}, std::pair{std::string(R"({"cmd":"status"})"), 0},
        std::pair{std::string(R"({"cmd":"disconnect"})"), 0}}) {
    int held = 0;
    ClientInfo client{1000u};
    client.hold_identity = [&held] { ++held; };
    (void)r.handler->prepare_for(line, client)();
    EXPECT_EQ(held, holds) << line;
  }
}

#ifndef _WIN32
TEST(ClientIdentity, ThePeerCredentialsOfTheSocketNameTheCaller) {
  testsupport::TempDir dir("identity");
  // Others must reach the socket through the folder.
  std::filesystem::permissions(testsupport::fs_path(dir.path()),
                               std::filesystem::perms::owner_all |
                                   std::filesystem::perms::group_exec |
                                   std::filesystem::perms::others_exec);
  const std::string probe = dir.file("offered.bin");
  std::ofstream(probe) << "offered";
  Recorder r(probe);
  PipeServerOptions options;
  options.pipe_name = dir.file("ctl.sock");
  options.diagnostics = [](std::string_view) {};
  std::jthread server([&](std::stop_token stop) { serve_pipe(*r.handler, options, stop); });

  auto reply = platform::pipe_exchange(options.pipe_name, UPDATE_LINE, 10s);
  ASSERT_TRUE(reply) << reply.error().to_string();
  std::vector<Caller> expected = {{static_cast<std::uint32_t>(::geteuid()), OPENED}};
  if (::geteuid() == 0) {
    EXPECT_NE(testsupport::exchange_as_user(65534, options.pipe_name, UPDATE_LINE), "");
    expected.push_back({65534u, REFUSED});
  } else {
    std::cout << "not root: a caller of another user cannot be made\n";
  }
  EXPECT_EQ(r.seen(), expected);
  server.request_stop();
}
#endif

}  // namespace
}  // namespace ombrel::control
