#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "fake_clock.hpp"
#include "platform/files.hpp"
#include "platform/paths.hpp"
#include "registry/registry.hpp"
#include "testsupport.hpp"

namespace ombrel::registry {
namespace {

using testsupport::FakeClock;
using testsupport::TempDir;

constexpr std::uint64_t NOW = 1'700'000'000'000;

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class RegistryTest : public ::testing::Test {
 protected:
  // The file as the registry left it; empty maps when there is none.
  Stored on_disk() const { return read_stored(platform::read_file(path).value_or("")); }
  bool file_exists() const { return platform::path_exists(path); }
  void put_file(const std::string& text) const {
    ASSERT_TRUE(platform::replace_file_atomically(path, path + ".x", text));
  }

  TempDir dir;
  std::string path = dir.file("channels.json");
  FakeClock clock{static_cast<std::int64_t>(NOW)};
};

TEST_F(RegistryTest, NoFileStartsEmptyAndFirstSeenCreatesIt) {
  ChannelRegistry registry(path, clock);
  EXPECT_TRUE(registry.recent_seen().empty());
  EXPECT_TRUE(registry.recent_failed().empty());
  EXPECT_FALSE(file_exists());
  registry.mark_seen("Amsterdam");
  EXPECT_EQ(platform::read_file(path).value(),
            R"({"seen":{"Amsterdam":1700000000000},"failed":{}})");
  EXPECT_FALSE(platform::path_exists(dir.file("channels.json.tmp")));
}

struct LoadCase {
  const char* name;
  std::string text;
  std::vector<std::string> seen;
  std::vector<std::string> failed;
};

TEST_F(RegistryTest, LoadingAcceptsBothFormsAndPrunesByAge) {
  const std::string fresh = std::to_string(NOW - 1000);
  const std::string week_edge = std::to_string(NOW - SEEN_TTL_MS);
  const std::string week_old = std::to_string(NOW - SEEN_TTL_MS - 1);
  const std::string hour_edge = std::to_string(NOW - FAILED_TTL_MS);
  const std::string hour_old = std::to_string(NOW - FAILED_TTL_MS - 1);
  const LoadCase cases[] = {
      {"stored", R"({"seen":{"a":)" + fresh + R"(},"failed":{"b":)" + fresh + "}}", {"a"}, {"b"}},
      {"seen pruned at seven days",
       R"({"seen":{"edge":)" + week_edge + R"(,"old":)" + week_old + "}}",
       {"edge"},
       {}},
      {"failed pruned at one hour",
       R"({"failed":{"edge":)" + hour_edge + R"(,"old":)" + hour_old + "}}",
       {},
       {"edge"}},
      {"only seen, time 1", R"({"seen":{"a":1}})", {}, {}},
      {"flat", R"({"a":)" + fresh + R"(,"old":)" + week_old + "}", {"a"}, {}},
      {"from the future", R"({"seen":{"a":)" + std::to_string(NOW + 5) + "}}", {"a"}, {}},
      {"key twice", R"({"seen":{"a":)" + fresh + R"(},"seen":{"b":)" + fresh + "}}", {}, {}},
      {"third key", R"({"seen":{"a":)" + fresh + R"(},"failed":{},"x":{}})", {}, {}},
      {"negative time", R"({"seen":{"a":-1}})", {}, {}},
      {"not JSON", "channels", {}, {}},
      {"empty file", "", {}, {}},
  };
  for (const auto& c : cases) {
    put_file(c.text);
    ChannelRegistry registry(path, clock);
    EXPECT_EQ(sorted(registry.recent_seen()), c.seen) << c.name;
    EXPECT_EQ(sorted(registry.recent_failed()), c.failed) << c.name;
    // Loading writes nothing back.
    EXPECT_EQ(platform::read_file(path).value(), c.text) << c.name;
  }
}

TEST_F(RegistryTest, PrunedEntriesLeaveTheFileWithTheNextSave) {
  put_file(R"({"seen":{"old":1,"kept":)" + std::to_string(NOW - 5) + "}}");
  ChannelRegistry registry(path, clock);
  registry.mark_failed("x");
  EXPECT_EQ(on_disk(), (Stored{{{"kept", NOW - 5}}, {{"x", NOW}}}));
}

TEST_F(RegistryTest, LoadsOnlyOnce) {
  ChannelRegistry registry(path, clock);
  EXPECT_TRUE(registry.recent_seen().empty());
  // Written by someone else after the first use: not read any more.
  put_file(R"({"seen":{"a":)" + std::to_string(NOW) + "}}");
  EXPECT_TRUE(registry.recent_seen().empty());
}

TEST_F(RegistryTest, SeenOfAKnownNodeSavesOncePerMinute) {
  ChannelRegistry registry(path, clock);
  registry.mark_seen("a");
  ASSERT_TRUE(file_exists()) << "a node new to seen is saved at once";
  ASSERT_TRUE(platform::remove_file(path));

  clock.advance_ms(SEEN_SAVE_INTERVAL_MS - 1);
  registry.mark_seen("a");
  EXPECT_FALSE(file_exists());
  clock.advance_ms(1);
  registry.mark_seen("a");
  ASSERT_TRUE(file_exists());
  EXPECT_EQ(on_disk().seen.at("a"), NOW + SEEN_SAVE_INTERVAL_MS);
  ASSERT_TRUE(platform::remove_file(path));

  // A new node saves at once and restarts the interval.
  clock.advance_ms(10);
  registry.mark_seen("b");
  ASSERT_TRUE(file_exists());
  ASSERT_TRUE(platform::remove_file(path));
  clock.advance_ms(SEEN_SAVE_INTERVAL_MS - 1);
  registry.mark_seen("a");
  EXPECT_FALSE(file_exists());

  // A clock that went back counts as no time passed.
  clock.advance_ms(-10 * static_cast<std::int64_t>(SEEN_SAVE_INTERVAL_MS));
  registry.mark_seen("a");
  EXPECT_FALSE(file_exists());
  EXPECT_EQ(sorted(registry.recent_seen()), (std::vector<std::string>{"a", "b"}));
}

TEST_F(RegistryTest, MarkingMovesARemarkBetweenTheMaps) {
  ChannelRegistry registry(path, clock);
  registry.mark_seen("a");
  registry.mark_seen("b");
  clock.advance_ms(1000);
  registry.mark_failed("a");
  EXPECT_EQ(on_disk(), (Stored{{{"b", NOW}}, {{"a", NOW + 1000}}})) << "failure saved at once";
  EXPECT_EQ(registry.recent_seen(), std::vector<std::string>{"b"});
  EXPECT_EQ(registry.recent_failed(), std::vector<std::string>{"a"});

  // Back to seen: no longer in seen, so saved at once despite the interval.
  clock.advance_ms(1000);
  registry.mark_seen("a");
  EXPECT_EQ(on_disk(), (Stored{{{"a", NOW + 2000}, {"b", NOW}}, {}}));
  EXPECT_TRUE(registry.recent_failed().empty());
}

TEST_F(RegistryTest, SeenOfAKnownNodeDropsItsFailureWithTheNextSave) {
  // Written by something else: the same remark in both maps.
  put_file(R"({"seen":{"a":)" + std::to_string(NOW) + R"(},"failed":{"a":)" + std::to_string(NOW) +
           "}}");
  ChannelRegistry registry(path, clock);
  registry.mark_seen("a");  // known: the first save of this run happens now
  EXPECT_TRUE(registry.recent_failed().empty());
  EXPECT_EQ(on_disk(), (Stored{{{"a", NOW}}, {}}));
}

TEST_F(RegistryTest, OldEntriesAreNotReportedButStayInTheFile) {
  ChannelRegistry registry(path, clock);
  registry.mark_failed("f");
  registry.mark_seen("s");
  clock.advance_ms(FAILED_TTL_MS);
  EXPECT_EQ(registry.recent_failed(), std::vector<std::string>{"f"});
  clock.advance_ms(1);
  EXPECT_TRUE(registry.recent_failed().empty());
  EXPECT_EQ(registry.recent_seen(), std::vector<std::string>{"s"});
  clock.set_wall_ms(static_cast<std::int64_t>(NOW + SEEN_TTL_MS + 1));
  EXPECT_TRUE(registry.recent_seen().empty());
  EXPECT_EQ(on_disk(), (Stored{{{"s", NOW}}, {{"f", NOW}}}));
}

TEST_F(RegistryTest, EmptyRemarkChangesNothing) {
  ChannelRegistry registry(path, clock);
  registry.mark_seen("");
  registry.mark_failed("");
  EXPECT_FALSE(file_exists());
  EXPECT_TRUE(registry.recent_seen().empty());
  EXPECT_TRUE(registry.recent_failed().empty());
}

TEST_F(RegistryTest, ClockBefore1970CountsAsZero) {
  clock.set_wall_ms(-5000);
  ChannelRegistry registry(path, clock);
  registry.mark_seen("a");
  EXPECT_EQ(on_disk(), (Stored{{{"a", 0}}, {}}));
  EXPECT_EQ(registry.recent_seen(), std::vector<std::string>{"a"});
}

TEST_F(RegistryTest, LeftoverTemporaryFileDoesNotHurt) {
  // A crash between writing the temporary file and moving it: the old file
  // is whole, and the half-written temporary file is neither read nor kept.
  put_file(R"({"seen":{"a":)" + std::to_string(NOW) + "}}");
  ASSERT_TRUE(platform::append_file(dir.file("channels.json.tmp"), R"({"seen":{"b":)"));
  ChannelRegistry registry(path, clock);
  EXPECT_EQ(registry.recent_seen(), std::vector<std::string>{"a"});
  registry.mark_seen("c");
  EXPECT_EQ(on_disk(), (Stored{{{"a", NOW}, {"c", NOW}}, {}}));
  EXPECT_FALSE(platform::path_exists(dir.file("channels.json.tmp")));
}

TEST_F(RegistryTest, FailedSaveKeepsTheOldFileAndTheMemory) {
  put_file(R"({"seen":{"a":)" + std::to_string(NOW) + "}}");
  const std::string before = platform::read_file(path).value();
  // Nothing can be written where the temporary file should go.
  ASSERT_TRUE(platform::create_directories(dir.file("channels.json.tmp")));
  ChannelRegistry registry(path, clock);
  registry.mark_failed("b");
  EXPECT_EQ(platform::read_file(path).value(), before);
  EXPECT_EQ(registry.recent_failed(), std::vector<std::string>{"b"});
}

TEST_F(RegistryTest, SaveCreatesMissingFolders) {
  const std::string deep = platform::join_path(platform::join_path(dir.path(), "a"), "b");
  ChannelRegistry registry(platform::join_path(deep, "channels.json"), clock);
  registry.mark_failed("x");
  EXPECT_TRUE(platform::path_exists(platform::join_path(deep, "channels.json")));
}

TEST_F(RegistryTest, ConcurrentMarkingKeepsEveryRemarkInOneMap) {
  ChannelRegistry registry(path, clock);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const std::string remark(1, static_cast<char>('a' + i % 10));
        if ((i + t) % 2 == 0) {
          registry.mark_seen(remark);
        } else {
          registry.mark_failed(remark);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  auto seen = registry.recent_seen();
  auto failed = registry.recent_failed();
  EXPECT_EQ(seen.size() + failed.size(), 10u);
  const Stored disk = on_disk();
  for (const auto& r : failed) EXPECT_FALSE(disk.seen.contains(r)) << r;
}

TEST(TempPath, ReplacesTheExtension) {
  EXPECT_EQ(temp_path_for("/var/lib/ombrel/channels.json"), "/var/lib/ombrel/channels.json.tmp");
  EXPECT_EQ(temp_path_for("C:\\ProgramData\\Ombrel\\channels.json"),
            "C:\\ProgramData\\Ombrel\\channels.json.tmp");
  EXPECT_EQ(temp_path_for("/d.x/channels"), "/d.x/channels.json.tmp");
  EXPECT_EQ(temp_path_for("c.dat"), "c.json.tmp");
}

TEST(ProcessRegistry, LivesInTheDataFolder) {
  EXPECT_EQ(&channel_registry(), &channel_registry());
  EXPECT_EQ(channel_registry().path(), platform::join_path(platform::data_dir(), "channels.json"));
}

}  // namespace
}  // namespace ombrel::registry
