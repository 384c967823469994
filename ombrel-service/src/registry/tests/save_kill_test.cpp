// The registry's file as its process ends. Killed at any moment: a saving
// child process is killed (SIGKILL, TerminateProcess) over and over at random
// points of its save loop, and after every kill "channels.json" must be a
// complete document, the one of the last finished save or of the one in
// progress: never torn, empty, missing or older than before. Ending by
// itself: the marks still waiting reach the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_clock.hpp"
#include "platform/files/files.hpp"
#include "platform/process/process.hpp"
#include "registry/registry.hpp"
#include "testsupport.hpp"

namespace ombrel::registry {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr std::string_view SAVER_FLAG = "--ombrel-saver=";
constexpr std::string_view EXITING_FLAG = "--ombrel-exiting=";
constexpr std::size_t PADDING_NODES = 400;

// Save k of the sequence holds the padding in "seen" and the newest nodes
// up to "nk" in "failed", as many as the list holds, node "ni" failed at
// second i (a second apart, so that every other mark writes the file).
// Built by appending: g++ 12 at -O3 reports a false overlap for
// "literal" + std::string&&.
std::string node_remark(std::uint64_t i) {
  std::string remark = "n";
  remark += std::to_string(i);
  return remark;
}

std::string padding_remark(std::size_t i) {
  std::string remark = "Узел для объёма ";
  remark += std::to_string(i);
  remark += std::string(40, 'x');
  remark += " app_premium";
  return remark;
}

Stored padding() {
  Stored stored;
  for (std::size_t i = 0; i < PADDING_NODES; ++i) stored.seen[padding_remark(i)] = 5;
  return stored;
}

std::uint64_t newest_node(const json& failed) {
  std::uint64_t k = 0;
  for (const auto& [key, time] : failed.items()) {
    k = std::max<std::uint64_t>(k, std::stoull(key.substr(1)));
  }
  return k;
}

// Where the file stands in the sequence; fails the test unless the text is
// exactly one of its documents.
std::uint64_t save_number(const std::string& text) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not a complete document (" << text.size() << " bytes): " << e.what();
    return 0;
  }
  EXPECT_EQ(doc.size(), 2u);
  EXPECT_EQ(doc.value("seen", json()), json(padding().seen)) << "the padding is not intact";
  const json failed = doc.value("failed", json());
  EXPECT_TRUE(failed.is_object());
  const std::uint64_t k = newest_node(failed);
  const std::uint64_t held = std::min<std::uint64_t>(k, MAX_ENTRIES);
  EXPECT_EQ(failed.size(), held);
  for (std::uint64_t i = k - held + 1; i <= k; ++i) {
    const std::string key = node_remark(i);
    EXPECT_TRUE(failed.contains(key) && failed[key] == i * 1000)
        << "save " << k << " lacks " << key;
  }
  return k;
}

std::string flag_value(std::string_view flag) {
  for (const auto& arg : ::testing::internal::GetArgvs()) {
    if (arg.starts_with(flag)) return arg.substr(flag.size());
  }
  return {};
}

Result<platform::Process> start_child(std::string_view test, std::string_view flag,
                                      const std::string& path) {
  platform::SpawnOptions options;
  options.program = testsupport::bin_dir() + "/" + testsupport::exe_name("ombrel_registry_tests");
  options.args = {"--gtest_filter=RegistrySaveKill." + std::string(test), std::string(flag) + path};
  options.std_out = platform::Stdio::Null;
  return platform::spawn(options);
}

// The child's side: continues the sequence from whatever the file holds and
// saves until it is killed. Runs only when started by the test below.
TEST(RegistrySaveKill, SaverChild) {
  const std::string path = flag_value(SAVER_FLAG);
  if (path.empty()) GTEST_SKIP() << "started by RegistrySaveKill.FileIsAlwaysOldOrNew only";
  testsupport::FakeClock clock(0);
  ChannelRegistry registry(path, clock);
  std::uint64_t k = 0;
  for (const auto& remark : registry.recent_failed()) {
    k = std::max<std::uint64_t>(k, std::stoull(remark.substr(1)));
  }
  clock.set_wall_ms(static_cast<std::int64_t>(k * 1000));
  while (true) {
    ++k;
    clock.advance_ms(1000);
    registry.mark_failed(node_remark(k));
  }
}

int rounds() {
  if (const char* env = std::getenv("OMBREL_FAULT_ROUNDS")) return std::atoi(env);
#ifdef _WIN32
  return 40;  // a process start under Wine takes a good part of a second
#else
  return 200;
#endif
}

TEST(RegistrySaveKill, FileIsAlwaysOldOrNew) {
  testsupport::TempDir dir("kill");
  const std::string path = dir.file("channels.json");
  ASSERT_TRUE(platform::replace_file_atomically(path, path + ".x", write_stored(padding())));

  const auto start_saver = [&] { return start_child("SaverChild", SAVER_FLAG, path); };
  // How long a saver takes from its start to its first save here and now (a
  // sanitizer, Wine or a loaded machine stretch it many times over): the kills
  // are spread over three times that, so that most land while it saves.
  std::chrono::milliseconds spread{0};
  {
    const std::string initial = platform::read_file(path).value_or("");
    const auto started = std::chrono::steady_clock::now();
    auto child = start_saver();
    ASSERT_TRUE(child) << child.error().to_string();
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return platform::read_file(path).value_or(initial) != initial; }, 120s));
    spread = 3 * std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started);
    ASSERT_TRUE(child->terminate(1));
    ASSERT_TRUE(child->wait());
  }
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<long> delay_ms(0, spread.count());

  std::uint64_t before = save_number(platform::read_file(path).value_or(""));
  int advanced = 0;
  const int n = rounds();
  for (int round = 0; round < n; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    auto child = start_saver();
    ASSERT_TRUE(child) << child.error().to_string();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
    ASSERT_TRUE(child->terminate(1));
    auto code = child->wait();
    ASSERT_TRUE(code);
    ASSERT_EQ(*code, 1) << "the saver ended by itself";

    auto text = platform::read_file(path);
    ASSERT_TRUE(text) << "the file is gone: " << text.error().to_string();
    const std::uint64_t now = save_number(*text);
    if (HasFailure()) return;
    ASSERT_GE(now, before) << "an older document came back";
    if (now > before) ++advanced;
    before = now;
  }
  // The kills did land in the middle of saving, not only before it began.
  EXPECT_GT(advanced, n / 4) << "saves made: " << before;
  std::cout << n << " kills spread over " << spread.count() << " ms, " << before << " saves, "
            << advanced << " rounds with progress\n";
}

// The child's side: a registry that is a static, made before the statics of
// what it calls, in a process that ends by running destructors; its last
// save runs after those are gone. Runs only when started by the test below.
TEST(RegistrySaveKill, ExitingChild) {
  const std::string path = flag_value(EXITING_FLAG);
  if (path.empty()) GTEST_SKIP() << "started by RegistrySaveKill.WaitingMarksOutliveAnExit only";
  static ChannelRegistry registry(path, system_clock());
  registry.mark_failed("at exit");
  std::exit(0);
}

TEST(RegistrySaveKill, WaitingMarksOutliveAnExit) {
  testsupport::TempDir dir("exit");
  const std::string path = dir.file("channels.json");
  auto child = start_child("ExitingChild", EXITING_FLAG, path);
  ASSERT_TRUE(child) << child.error().to_string();
  auto code = child->wait();
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 0) << "the exit itself failed (a sanitizer's report ends it with 1)";
  EXPECT_TRUE(read_stored(platform::read_file(path).value_or("")).failed.contains("at exit"));
}

}  // namespace
}  // namespace ombrel::registry
