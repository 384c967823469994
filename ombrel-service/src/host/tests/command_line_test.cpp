#include "host/command_line.hpp"

#include <gtest/gtest.h>

namespace ombrel::host {
namespace {

struct Outcome {
  int code;
  std::string called, out, err;
};

Outcome run(const std::vector<std::string>& args, Result<void> outcome = {}) {
  Outcome r{};
  const auto record = [&](const char* name) {
    return [&r, name, outcome]() -> Result<void> {
      r.called += name;
      return outcome;
    };
  };
  Commands commands{record("service"), record("install"), record("uninstall"), record("restart"),
                    [&r] { r.called += "run"; }};
  r.code = run_command_line(
      args, commands,
      Console{[&r](std::string_view s) { r.out += s; }, [&r](std::string_view s) { r.err += s; }});
  return r;
}

TEST(CommandLine, EachWordRunsItsCommand) {
  const struct {
    std::vector<std::string> args;
    const char* called;
  } cases[] = {
      {{}, "service"},
      {{"install"}, "install"},
      {{"install", "--force", "x"}, "install"},  // further words are ignored
      {{"uninstall"}, "uninstall"},
      {{"restart"}, "restart"},
      {{"run"}, "run"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.called);
    const Outcome r = run(c.args);
    EXPECT_EQ(r.called, c.called);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out + r.err, "");
  }
}

TEST(CommandLine, AnUnknownWordIsRefusedWithExitCode2) {
  for (const std::string word : {"frobnicate", "Install", "RUN", "", "install "}) {
    SCOPED_TRACE(word);
    const Outcome r = run({word, "install"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.called, "");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "неизвестная команда: " + word + "\nдопустимые: install, uninstall, run\n");
  }
}

TEST(CommandLine, AFailurePrintsTheWholeChainAndExitsWith1) {
  const struct {
    std::vector<std::string> args;
    Error error;
    const char* err;
  } cases[] = {
      {{},
       Error("The service process could not connect to the service controller.")
           .wrapped("не удалось передать управление диспетчеру служб"),
       "Error: не удалось передать управление диспетчеру служб\n\nCaused by:\n"
       "    The service process could not connect to the service controller.\n"},
      {{"restart"},
       Error("управление службой доступно только в Windows"),
       "Error: управление службой доступно только в Windows\n"},
      {{"uninstall"},
       Error("os").wrapped("inner").wrapped("служба не найдена"),
       "Error: служба не найдена\n\nCaused by:\n    0: inner\n    1: os\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    const Outcome r = run(c.args, fail(c.error));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
}

}  // namespace
}  // namespace ombrel::host
