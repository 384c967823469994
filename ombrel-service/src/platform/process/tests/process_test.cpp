// Real child processes: the stand-in programs copied into a temporary folder.
#include "platform/process/process.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "platform/process/proclist.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using namespace ombrel::testsupport;

Process start(const std::string& program, std::vector<std::string> args, Stdio in, Stdio out,
              Stdio err, std::optional<std::string> working_dir = std::nullopt) {
  auto process =
      spawn(SpawnOptions{program, std::move(args), std::move(working_dir), in, out, err});
  if (!process) ADD_FAILURE() << process.error().to_string();
  return process ? std::move(*process) : Process();
}

// Reads a pipe to its end on another thread, so a test that is wrong about
// the end coming fails instead of hanging. When the end never came, the
// owning process is ended before the reader is waited for.
struct Drain {
  Drain(Process& owner, PipeReader pipe)
      : owner(owner),
        reader(std::move(pipe)),
        text(std::async(std::launch::async, [this] { return read_to_end(reader); })) {}
  ~Drain() {
    if (text.valid() && !ended_within(0ms)) (void)owner.terminate(1);
  }
  bool ended_within(std::chrono::milliseconds timeout) {
    return text.wait_for(timeout) == std::future_status::ready;
  }
  Process& owner;
  PipeReader reader;
  std::future<std::string> text;
};

// The exit code of a process expected to end by itself; nullopt (and the
// process ended) when it does not end in time.
std::optional<int> exit_code_within(Process& p, std::chrono::milliseconds timeout = 30s) {
  std::optional<int> code;
  const bool ended = wait_until(
      [&] {
        auto r = p.try_wait();
        return !r || (code = *r).has_value();
      },
      timeout);
  if (!ended) (void)p.terminate(1);
  return code;
}

bool is_listed(std::uint32_t pid) {
  auto all = list_processes();
  if (!all) return false;
  for (const auto& p : *all) {
    if (p.pid == pid) return true;
  }
  return false;
}

std::string binary_document(std::size_t size) {
  std::string doc(size, '\0');
  for (std::size_t i = 0; i < size; ++i) doc[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return doc;
}

TEST(Process, ProxyCoreReceivesItsWholeDocumentOnStandardInput) {
  InstallDir dir;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1500}, std::size_t{64 * 1024 + 7},
                                 std::size_t{3 * 1024 * 1024}}) {
    std::filesystem::remove(fs_path(record_path(dir.xray, ".stdin")));
    set_script(dir.xray, "exit 7");
    Process p = start(dir.xray, {"run", "-c", "stdin:"}, Stdio::Pipe, Stdio::Null, Stdio::Null);
    auto in = p.take_stdin();
    ASSERT_TRUE(in.has_value());
    EXPECT_FALSE(p.take_stdin().has_value());
    const std::string doc = binary_document(size);
    ASSERT_TRUE(in->write_all(doc)) << size;
    in->close();
    EXPECT_EQ(exit_code_within(p), 7);
    EXPECT_EQ(read_record(dir.xray, ".stdin"), doc) << size;
  }
}

TEST(Process, OutputAndErrorStreamsArriveSeparately) {
  InstallDir dir;
  set_script(dir.sing_box,
             "print first line\nrepeat 20000 0123456789abcdef\neprint to error\r\nexit 3\n");
  Process p = start(dir.sing_box, {}, Stdio::Null, Stdio::Pipe, Stdio::Pipe);
  // Both pipes drained at once: the child writes far more than a pipe holds.
  Drain out(p, *p.take_stdout());
  Drain err(p, *p.take_stderr());
  ASSERT_TRUE(out.ended_within(30s));
  ASSERT_TRUE(err.ended_within(30s));
  std::string expected_out = "first line\n";
  for (int i = 0; i < 20000; ++i) expected_out += "0123456789abcdef\n";
  EXPECT_EQ(out.text.get(), expected_out);
  EXPECT_EQ(err.text.get(), "to error\n");
  EXPECT_EQ(exit_code_within(p), 3);
}

TEST(Process, NullDeviceGivesEndOfInputAndSwallowsOutput) {
  InstallDir dir;
  set_script(dir.xray, "print nobody sees this\neprint nor this\nexit 0");
  Process p = start(dir.xray, {"run", "-c", "stdin:"}, Stdio::Null, Stdio::Null, Stdio::Null);
  EXPECT_FALSE(p.take_stdin().has_value());
  EXPECT_FALSE(p.take_stdout().has_value());
  EXPECT_FALSE(p.take_stderr().has_value());
  EXPECT_EQ(exit_code_within(p), 0);
  EXPECT_EQ(read_record(dir.xray, ".stdin"), "");
}

TEST(Process, TryWaitTellsRunningFromEnded) {
  InstallDir dir;
  const std::string flag = dir.file("go");
  set_script(dir.sing_box, "waitfor " + flag + "\nexit 5");
  Process p = start(dir.sing_box, {}, Stdio::Null, Stdio::Null, Stdio::Null);
  ASSERT_TRUE(wait_until([&] { return run_count(dir.sing_box) == 1; }));
  auto running = p.try_wait();
  ASSERT_TRUE(running);
  EXPECT_FALSE(running->has_value());

  std::ofstream(fs_path(flag)).put('1');
  std::optional<int> code;
  ASSERT_TRUE(wait_until([&] {
    auto r = p.try_wait();
    return r && (code = *r).has_value();
  }));
  EXPECT_EQ(code, 5);
  // The end stays observable.
  EXPECT_EQ(p.try_wait().value_or(std::nullopt), 5);
  EXPECT_EQ(p.wait().value_or(-1), 5);
}

TEST(Process, TerminateEndsWithTheGivenCode) {
  InstallDir dir;
  for (const int code : {1, 42}) {
    Process p = start(dir.sing_box, {}, Stdio::Null, Stdio::Null, Stdio::Null);
    ASSERT_TRUE(p.terminate(code));
    EXPECT_EQ(p.wait().value_or(-1), code);
    // Ending an ended process again is no failure.
    EXPECT_TRUE(p.terminate(code));
  }
}

TEST(Process, DroppingEndsAndReapsTheChild) {
  InstallDir dir;
  std::uint32_t pid = 0;
  Process keeper;  // never owns a process: the drained one is dropped below
  std::optional<Drain> out;
  {
    Process p = start(dir.sing_box, {}, Stdio::Null, Stdio::Pipe, Stdio::Null);
    pid = p.pid();
    out.emplace(keeper, *p.take_stdout());
    ASSERT_TRUE(wait_until([&] { return run_count(dir.sing_box) == 1; }));
    EXPECT_TRUE(is_listed(pid));
  }
  // Ended: its output pipe is closed; reaped: it is no longer in the list.
  EXPECT_TRUE(out->ended_within(10s));
  EXPECT_FALSE(is_listed(pid));
}

TEST(Process, AssigningOverAProcessEndsTheOldOne) {
  InstallDir dir;
  Process p = start(dir.sing_box, {}, Stdio::Null, Stdio::Null, Stdio::Null);
  const std::uint32_t first = p.pid();
  p = start(dir.xray, {}, Stdio::Null, Stdio::Null, Stdio::Null);
  EXPECT_FALSE(is_listed(first));
  EXPECT_TRUE(p.owns_process());
  EXPECT_NE(p.pid(), first);
}

// The tunnel core is started while the proxy core's input pipe is still open
// in the service. Had it inherited that pipe, the proxy core would never see
// the end of its document, and its output would never end either.
TEST(Process, ChildrenInheritOnlyTheirOwnStreams) {
  InstallDir dir;
  set_script(dir.xray, "print done\nexit 0");
  Process a = start(dir.xray, {"run", "-c", "stdin:"}, Stdio::Pipe, Stdio::Pipe, Stdio::Null);
  auto a_in = a.take_stdin();
  ASSERT_TRUE(a_in);
  Drain a_out(a, *a.take_stdout());

  Process b = start(dir.sing_box, {}, Stdio::Null, Stdio::Pipe, Stdio::Pipe);
  Process c = start(dir.desktop, {}, Stdio::Inherit, Stdio::Inherit, Stdio::Inherit);
  ASSERT_TRUE(wait_until([&] { return run_count(dir.sing_box) == 1; }));

  ASSERT_TRUE(a_in->write_all("{\"log\":{}}"));
  a_in->close();
  EXPECT_EQ(wait_for_record(dir.xray, ".stdin", 20s), "{\"log\":{}}");
  EXPECT_TRUE(a_out.ended_within(20s));
  EXPECT_EQ(b.try_wait().value_or(0), std::nullopt);
  EXPECT_EQ(c.try_wait().value_or(0), std::nullopt);
  b.terminate(1);
  c.terminate(1);
  ASSERT_TRUE(a_out.ended_within(20s));
  EXPECT_EQ(a_out.text.get(), "done\n");
}

#ifndef _WIN32
// Descriptors opened without close-on-exec elsewhere in the service stay behind.
TEST(Process, NoOtherDescriptorReachesTheChild) {
  InstallDir dir;
  std::FILE* stray = std::fopen(dir.xray.c_str(), "rb");  // no "e": inheritable
  ASSERT_NE(stray, nullptr);
  set_script(dir.sing_box, "exit 0");
  Process p = start(dir.sing_box, {}, Stdio::Null, Stdio::Pipe, Stdio::Null);
  auto out = p.take_stdout();
  EXPECT_EQ(exit_code_within(p), 0);
  std::fclose(stray);
  const auto fds = read_record(dir.sing_box, ".fds");
  ASSERT_TRUE(fds);
  EXPECT_EQ(*fds, "0\n1\n2\n");
}
#endif

TEST(Process, ArgumentsAndFoldersArriveUnchanged) {
  InstallDir dir("папка с пробелом");
  TempDir work("рабочая папка");
  set_script(dir.desktop, "exit 0");
  const std::vector<std::string> args = {
      "run",      "",          "two words",    "tab\there", "quote\"inside", "trail\\",
      "sp ace\\", "\\\\srv\\", "\"",           "\\\"",      "a\\\\\"b c",    "кириллица",
      "--x=y z",  "end\\\\",   "\\\\?\\C:\\x", "line\nfeed"};
  Process p = start(dir.desktop, args, Stdio::Null, Stdio::Null, Stdio::Null, work.path());
  EXPECT_EQ(exit_code_within(p), 0);
  EXPECT_EQ(recorded_args(dir.desktop), args);
  const auto cwd = read_record(dir.desktop, ".cwd");
  ASSERT_TRUE(cwd);
  EXPECT_TRUE(
      same_path(canonical_path(*cwd).value_or("?"), canonical_path(work.path()).value_or("")))
      << *cwd;
}

TEST(Process, FailureToStartIsReported) {
  TempDir dir;
  auto p = spawn(SpawnOptions{
      dir.file(exe_name("missing")), {}, std::nullopt, Stdio::Pipe, Stdio::Pipe, Stdio::Pipe});
  ASSERT_FALSE(p);
  EXPECT_FALSE(p.error().to_string().empty());
}

TEST(Process, WritingToAChildThatHasEndedFailsWithoutEndingUs) {
  InstallDir dir;
  set_script(dir.xray, "exit 0");
  // Not "stdin:": the stand-in never reads its input.
  Process p = start(dir.xray, {"version"}, Stdio::Pipe, Stdio::Null, Stdio::Null);
  auto in = p.take_stdin();
  EXPECT_EQ(exit_code_within(p), 0);
  EXPECT_FALSE(in->write_all(binary_document(1024 * 1024)));
}

TEST(Process, ReleasedAndDetachedProcessesLiveOn) {
  InstallDir dir;
  TempDir work;
  std::uint32_t released = 0;
  {
    Process p = start(dir.sing_box, {}, Stdio::Null, Stdio::Pipe, Stdio::Null);
    released = p.release();
    EXPECT_FALSE(p.owns_process());
  }
  auto detached =
      spawn_detached(dir.desktop, std::vector<std::string>{"--after-update"}, work.path());
  ASSERT_TRUE(detached) << detached.error().to_string();
  EXPECT_EQ(wait_for_record(dir.desktop, ".args"), std::string("--after-update") + '\0');
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(is_listed(released));
  EXPECT_TRUE(is_listed(*detached));
  EXPECT_TRUE(terminate_process(released, 1));
  EXPECT_TRUE(terminate_process(*detached, 1));
  // Both are reaped in the background (Linux) or by the system (Windows).
  EXPECT_TRUE(wait_until([&] { return !is_listed(released) && !is_listed(*detached); }));
}

}  // namespace
}  // namespace ombrel::platform
