// Several children asked for at once: answers in order up to the first
// failure, and nothing listed after a failure is left running, whichever
// way (with the service or not) each child was to end.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using namespace ombrel::testsupport;

std::vector<std::uint32_t> recorded_pids(const std::string& exe) {
  std::vector<std::uint32_t> pids;
  std::istringstream lines(read_record(exe, ".runs").value_or(""));
  for (std::string line; std::getline(lines, line);) pids.push_back(std::stoul(line));
  return pids;
}

TEST(SpawnAll, AnswersUpToTheFirstFailureAndLeavesNothingAfterIt) {
  struct Entry {
    bool exists;
    bool bound;
  };
  struct Case {
    const char* name;
    std::vector<Entry> entries;
    std::size_t answers;
  };
  const Case cases[] = {
      {"two bound", {{true, true}, {true, true}}, 2},
      {"bound and plain mixed", {{true, false}, {true, true}, {true, false}}, 3},
      {"the first bound one missing", {{false, true}, {true, true}}, 1},
      {"a bound one missing between two", {{true, true}, {false, true}, {true, true}}, 2},
      {"a plain one missing between two bound", {{true, true}, {false, false}, {true, true}}, 2},
      {"a bound one missing after a plain", {{true, false}, {false, true}, {true, false}}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<std::string> programs;
    std::vector<SpawnOptions> options;
    for (std::size_t i = 0; i < c.entries.size(); ++i) {
      const std::string name = exe_name("core" + std::to_string(i));
      programs.push_back(c.entries[i].exists ? install_standin(dir.path(), Standin::SingBox, name)
                                             : dir.file(name));
      if (c.entries[i].exists) set_script(programs.back(), "stay");
      SpawnOptions o{programs.back(), {}, std::nullopt, Stdio::Null, Stdio::Null, Stdio::Null};
      o.end_with_service = c.entries[i].bound;
      options.push_back(std::move(o));
    }

    auto answers = spawn_all(options);
    ASSERT_EQ(answers.size(), c.answers);
    for (std::size_t i = 0; i < answers.size(); ++i) {
      EXPECT_EQ(answers[i].has_value(), c.entries[i].exists) << "entry " << i;
    }
    for (std::size_t i = 0; i < answers.size(); ++i) {
      if (!answers[i]) continue;
      EXPECT_TRUE(wait_until([&] { return run_count(programs[i]) == 1; })) << "entry " << i;
      EXPECT_TRUE(running_from(answers[i]->pid(), programs[i])) << "entry " << i;
    }
    // A child wrongly left behind has recorded its start by then.
    if (answers.size() < c.entries.size()) std::this_thread::sleep_for(300ms);
    for (std::size_t i = answers.size(); i < c.entries.size(); ++i) {
      for (const std::uint32_t pid : recorded_pids(programs[i])) {
        EXPECT_TRUE(wait_until([&] { return !running_from(pid, programs[i]); }))
            << "entry " << i << " left running";
      }
    }
    answers.clear();  // ends the children that started
  }
}

}  // namespace
}  // namespace ombrel::platform
