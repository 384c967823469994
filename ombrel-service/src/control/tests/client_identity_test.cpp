// Who asks goes with an update from the channel to self-update: the Linux
// port lets only root offer one.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "control/handling.hpp"
#include "control/pipe_server.hpp"
#include "platform/pipe.hpp"
#include "testsupport.hpp"

#ifndef _WIN32
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "as_user.hpp"
#endif

namespace ombrel::control {
namespace {

using namespace std::chrono_literals;

const std::string UPDATE_LINE =
    R"({"cmd":"update","version":"2","app_path":"a","app_sha256":")" + std::string(64, 'a') +
    R"(","service_path":"s","service_sha256":")" + std::string(64, 'b') + R"("})";

// The service's handler with self-update replaced by a recorder of callers.
struct Recorder {
  supervisor::SharedState shared{
      [](const supervisor::CoreLaunch&) -> Result<supervisor::RunningCores> {
        return fail("no cores here");
      }};
  std::mutex mutex;
  std::vector<std::optional<std::uint32_t>> callers;
  std::unique_ptr<RequestHandler> handler;

  Recorder() {
    PerformDeps perform;
    perform.apply_update = [this](const selfupdate::UpdateFields& fields) {
      std::lock_guard lock(mutex);
      callers.push_back(fields.caller_uid);
      return selfupdate::UpdateDecision(selfupdate::AlreadyCurrent{});
    };
    handler = make_state_handler(shared, real_prepare_deps(), perform);
  }
  std::vector<std::optional<std::uint32_t>> seen() {
    std::lock_guard lock(mutex);
    return callers;
  }
};

TEST(ClientIdentity, TheStateHandlerHandsTheCallerToSelfUpdate) {
  Recorder r;
  ASSERT_TRUE(r.handler->prepare_for(UPDATE_LINE, ClientInfo{1000u})());
  ASSERT_TRUE(r.handler->prepare_for(UPDATE_LINE, ClientInfo{})());
  ASSERT_TRUE(r.handler->prepare(UPDATE_LINE)());
  EXPECT_EQ(r.seen(),
            (std::vector<std::optional<std::uint32_t>>{1000u, std::nullopt, std::nullopt}));
}

#ifndef _WIN32
TEST(ClientIdentity, ThePeerCredentialsOfTheSocketNameTheCaller) {
  testsupport::TempDir dir("identity");
  // Others must reach the socket through the folder.
  std::filesystem::permissions(testsupport::fs_path(dir.path()),
                               std::filesystem::perms::owner_all |
                                   std::filesystem::perms::group_exec |
                                   std::filesystem::perms::others_exec);
  Recorder r;
  PipeServerOptions options;
  options.pipe_name = dir.file("ctl.sock");
  options.diagnostics = [](std::string_view) {};
  std::jthread server([&](std::stop_token stop) { serve_pipe(*r.handler, options, stop); });

  auto reply = platform::pipe_exchange(options.pipe_name, UPDATE_LINE, 10s);
  ASSERT_TRUE(reply) << reply.error().to_string();
  std::vector<std::optional<std::uint32_t>> expected = {static_cast<std::uint32_t>(::geteuid())};
  if (::geteuid() == 0) {
    EXPECT_NE(testsupport::exchange_as_user(65534, options.pipe_name, UPDATE_LINE), "");
    expected.push_back(65534u);
  } else {
    std::cout << "not root: a caller of another user cannot be made\n";
  }
  EXPECT_EQ(r.seen(), expected);
  server.request_stop();
}
#endif

}  // namespace
}  // namespace ombrel::control
