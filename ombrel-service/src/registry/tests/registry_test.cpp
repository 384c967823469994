#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "fake_clock.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "registry/registry.hpp"
#include "testsupport.hpp"

namespace ombrel::registry {
namespace {

using testsupport::FakeClock;
using testsupport::TempDir;

constexpr std::uint64_t NOW = 1'700'000'000'000;

// Appended: g++ 12 at -O3 reports a false overlap for "literal" + std::string&&.
std::string numbered(std::string_view prefix, std::size_t n) {
  std::string text(prefix);
  text += std::to_string(n);
  return text;
}

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
  registry.flush();
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
  registry.flush();
  EXPECT_EQ(on_disk(), (Stored{{{"b", NOW}}, {{"a", NOW + 1000}}}));
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

TEST_F(RegistryTest, OldEntriesAreNotReportedAndLeaveTheFileAtTheNextStart) {
  ChannelRegistry registry(path, clock);
  registry.mark_failed("f");
  registry.mark_seen("s");
  clock.advance_ms(FAILED_TTL_MS);
  EXPECT_EQ(registry.recent_failed(), std::vector<std::string>{"f"});
  clock.advance_ms(1);
  EXPECT_TRUE(registry.recent_failed().empty());
  EXPECT_EQ(registry.recent_seen(), std::vector<std::string>{"s"});
  EXPECT_EQ(on_disk(), (Stored{{{"s", NOW}}, {{"f", NOW}}})) << "until a save";
  registry.mark_failed("g");
  registry.flush();
  const Stored saved{{{"s", NOW}}, {{"f", NOW}, {"g", NOW + FAILED_TTL_MS + 1}}};
  EXPECT_EQ(on_disk(), saved) << "a save prunes nothing";
  // The next start drops them.
  clock.set_wall_ms(static_cast<std::int64_t>(NOW + SEEN_TTL_MS + 1));
  ChannelRegistry next(path, clock);
  EXPECT_TRUE(next.recent_seen().empty());
  next.mark_seen("t");
  EXPECT_EQ(on_disk(), (Stored{{{"t", NOW + SEEN_TTL_MS + 1}}, {}}));
}

// Whatever clients send, the registry stays small: an empty remark or one
// past the limit is not remembered, and a full list makes room by dropping its oldest entry.
TEST_F(RegistryTest, RemarksAndListsAreBounded) {
  const std::string at_limit(MAX_REMARK_BYTES, 'r');
  const std::string past_limit(MAX_REMARK_BYTES + 1, 'r');
  using Mark = void (ChannelRegistry::*)(std::string_view);
  using Recent = std::vector<std::string> (ChannelRegistry::*)();
  const struct {
    const char* name;
    Mark mark;
    Recent recent;
    TimeMap Stored::*map;
  } lists[] = {
      {"seen", &ChannelRegistry::mark_seen, &ChannelRegistry::recent_seen, &Stored::seen},
      {"failed", &ChannelRegistry::mark_failed, &ChannelRegistry::recent_failed, &Stored::failed}};
  for (const auto& list : lists) {
    SCOPED_TRACE(list.name);
    {
      ASSERT_TRUE(platform::remove_file(path) || !file_exists());
      ChannelRegistry registry(path, clock);
      (registry.*list.mark)(past_limit);
      (registry.*list.mark)("");
      EXPECT_TRUE((registry.*list.recent)().empty());
      EXPECT_FALSE(file_exists()) << "nothing to save";
      (registry.*list.mark)(at_limit);
      EXPECT_EQ((registry.*list.recent)(), std::vector<std::string>{at_limit});
    }
    // A full list: the remark at the limit is the oldest of MAX_ENTRIES.
    Stored full;
    (full.*list.map)[at_limit] = NOW - 100;
    for (std::size_t i = 1; i < MAX_ENTRIES; ++i) (full.*list.map)[numbered("n", i)] = NOW;
    put_file(write_stored(full));
    ChannelRegistry registry(path, clock);
    EXPECT_EQ((registry.*list.recent)().size(), MAX_ENTRIES);
    (registry.*list.mark)("newest");
    const auto kept = (registry.*list.recent)();
    EXPECT_EQ(kept.size(), MAX_ENTRIES);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), at_limit), 0) << "the oldest made room";
    EXPECT_EQ(std::count(kept.begin(), kept.end(), "newest"), 1);
    registry.flush();
    EXPECT_EQ((on_disk().*list.map).size(), MAX_ENTRIES);
  }

  // A file from elsewhere is cut to the same bounds when it is loaded.
  Stored big;
  for (std::size_t i = 0; i <= MAX_ENTRIES; ++i) big.failed[numbered("f", i)] = NOW - i;
  big.seen[past_limit] = NOW;
  put_file(write_stored(big));
  ChannelRegistry registry(path, clock);
  const auto failed = registry.recent_failed();
  EXPECT_EQ(failed.size(), MAX_ENTRIES);
  EXPECT_EQ(std::count(failed.begin(), failed.end(), numbered("f", MAX_ENTRIES)), 0);
  EXPECT_TRUE(registry.recent_seen().empty());
}

// A core that reports every node failing at once: the marks of a burst
// reach the file together, at most once a second, and none is lost.
TEST_F(RegistryTest, ABurstOfFailuresIsSavedAtMostOnceASecond) {
  ChannelRegistry registry(path, clock);
  int writes = 0;
  const auto count_write = [&] {
    if (!file_exists()) return;
    ++writes;
    ASSERT_TRUE(platform::remove_file(path));
  };
  // 2,000 marks of 20 nodes in two seconds.
  for (int i = 0; i < 2000; ++i) {
    if (i > 0) clock.advance_ms(1);
    registry.mark_failed(numbered("node ", static_cast<std::size_t>(i % 20)));
    count_write();
  }
  EXPECT_EQ(writes, 1) << "the first second's marks, in one write";
  registry.save_pending();
  count_write();
  EXPECT_EQ(writes, 1) << "the oldest waiting mark is not a second old yet";
  clock.advance_ms(2);
  registry.save_pending();
  EXPECT_EQ(on_disk().failed.size(), 20u);
  EXPECT_EQ(on_disk().failed.at("node 19"), NOW + 1999);
  count_write();
  registry.save_pending();
  registry.flush();
  count_write();
  EXPECT_EQ(writes, 2) << "nothing was waiting any more";
  registry.mark_failed("at stop");
  registry.flush();
  EXPECT_TRUE(on_disk().failed.contains("at stop")) << "the stop writes what waits at once";
}

TEST_F(RegistryTest, AWaitingFailureReachesTheFileWithoutAnotherCall) {
  ChannelRegistry registry(path, clock);
  registry.mark_failed("lonely");
  clock.advance_ms(1000);
  EXPECT_TRUE(testsupport::wait_until([&] { return on_disk().failed.contains("lonely"); },
                                      std::chrono::seconds(10)))
      << "a mark that no later call comes for is still saved";
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
  registry.flush();
  EXPECT_EQ(platform::read_file(path).value(), before);
  EXPECT_EQ(registry.recent_failed(), std::vector<std::string>{"b"});
}

TEST_F(RegistryTest, SaveCreatesMissingFolders) {
  const std::string deep = platform::join_path(platform::join_path(dir.path(), "a"), "b");
  ChannelRegistry registry(platform::join_path(deep, "channels.json"), clock);
  registry.mark_failed("x");
  registry.flush();
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
  registry.flush();
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
