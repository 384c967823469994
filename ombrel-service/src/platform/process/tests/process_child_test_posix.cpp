// What a child starts with on Linux, and what its start leaves of ours: the
// child runs on the service's memory until it becomes its program, so a step
// of its own that reached the service (a signal disposition, the mask) or a
// start that overlapped another would show here.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

#include "as_user.hpp"
#include "platform/files/files.hpp"
#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using namespace ombrel::testsupport;

void on_usr1(int) {}

// A field of /proc/PID/status ("SigBlk", "SigIgn", ...) as written there.
std::string status_field(std::uint32_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      std::istringstream value(line.substr(field.size() + 1));
      std::string word;
      value >> word;
      return word;
    }
  }
  return "(none)";
}

// Our own dispositions and mask, set for the test and put back after it.
class OwnSignals {
 public:
  OwnSignals() {
    struct sigaction handler {};
    handler.sa_handler = on_usr1;
    sigaction(SIGUSR1, &handler, &old_usr1_);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old_pipe_);
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr2, &old_mask_);
  }
  ~OwnSignals() {
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    sigaction(SIGPIPE, &old_pipe_, nullptr);
    sigaction(SIGUSR1, &old_usr1_, nullptr);
  }
  // Whether every one of them is still in place.
  static void expect_intact() {
    struct sigaction now {};
    sigaction(SIGUSR1, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &on_usr1) << "the handler of SIGUSR1 was lost";
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN) << "SIGPIPE is no longer ignored";
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGUSR2), 1) << "SIGUSR2 was unblocked";
    EXPECT_EQ(sigismember(&mask, SIGTERM), 0) << "the start left SIGTERM blocked";
  }

 private:
  struct sigaction old_usr1_ {};
  struct sigaction old_pipe_ {};
  sigset_t old_mask_{};
};

struct Kind {
  const char* name;
  bool bound;     // end_with_service
  bool detached;  // spawn_detached
};
constexpr Kind KINDS[] = {
    {"plain", false, false}, {"bound", true, false}, {"detached", false, true}};

std::uint32_t start_kind(const Kind& kind, const std::string& program) {
  if (kind.detached) {
    auto pid = spawn_detached(program, std::vector<std::string>{}, std::nullopt);
    if (!pid) ADD_FAILURE() << pid.error().to_string();
    return pid.value_or(0);
  }
  SpawnOptions options{program, {}, std::nullopt, Stdio::Null, Stdio::Null, Stdio::Null};
  options.end_with_service = kind.bound;
  auto p = spawn(options);
  if (!p) {
    ADD_FAILURE() << p.error().to_string();
    return 0;
  }
  return p->release();
}

TEST(ProcessChild, StartsWithDefaultSignalsAndLeavesOursAlone) {
  const OwnSignals own;
  for (const Kind& kind : KINDS) {
    SCOPED_TRACE(kind.name);
    InstallDir dir;
    set_script(dir.desktop, "stay");
    const std::uint32_t pid = start_kind(kind, dir.desktop);
    ASSERT_NE(pid, 0u);
    ASSERT_TRUE(wait_for_record(dir.desktop, ".runs"));
    EXPECT_EQ(status_field(pid, "SigBlk"), "0000000000000000");
    EXPECT_EQ(status_field(pid, "SigIgn"), "0000000000000000");
    OwnSignals::expect_intact();
    (void)terminate_process(pid, 1);
  }
}

// "Uid: ...", "Gid: ..." and "Groups: ..." as the stand-in's "ids" says them
// for a process that is `account` with no supplementary groups.
std::string ids_without_groups(const passwd& account) {
  const std::string u = std::to_string(account.pw_uid), g = std::to_string(account.pw_gid);
  return "Uid: " + u + " " + u + " " + u + " " + u + "\nGid: " + g + " " + g + " " + g + " " + g +
         "\nGroups:\n";
}

// A child asked to run without rights becomes the configured account, with
// its group and no other, or, with none named, the id picked for the cores
// and recorded in the data folder; a name that names no account starts
// nothing rather than a child with the service's rights.
TEST(ProcessChild, AnUnprivilegedChildRunsAsTheCoreAccountWithoutGroups) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root has rights to give up";
  TempDir data("core-data");
  const ScopedVariable data_dir("OMBREL_DATA_DIR", data.path());
  const struct {
    const char* account;  // "": none named
    bool unprivileged;
  } cases[] = {{"", true}, {"daemon", true}, {"nobody", false}, {"ombrel-no-such", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.account) + (c.unprivileged ? ", unprivileged" : ""));
    InstallDir dir;
    set_script(dir.desktop, "ids");
    if (*c.account == '\0') {
      name_no_core_account();
    } else {
      set_core_account(c.account);
    }
    SpawnOptions options{dir.desktop, {}, std::nullopt, Stdio::Null, Stdio::Pipe, Stdio::Null};
    options.end_with_service = true;
    options.unprivileged = c.unprivileged;
    auto child = spawn(options);
    const std::optional<Account> known = known_core_account();
    set_core_account();
    passwd picked{};
    const passwd* account = ::getpwnam(c.account);
    if (*c.account == '\0' && known) {
      // The id is the cores' alone: no name, group of the same number.
      EXPECT_TRUE(known->cores_own);
      EXPECT_TRUE(known->uid >= CORE_ID_FIRST && known->uid <= CORE_ID_LAST) << known->uid;
      EXPECT_EQ(known->gid, known->uid);
      EXPECT_EQ(read_file(data.file(CORE_ID_FILE)), std::to_string(known->uid) + "\n");
      picked.pw_uid = known->uid;
      picked.pw_gid = known->gid;
      account = &picked;
    }
    if (account == nullptr) {
      ASSERT_FALSE(child);
      EXPECT_EQ(child.error().to_string(), "нет учётной записи для ядра: ombrel-no-such");
      continue;
    }
    ASSERT_TRUE(child) << child.error().to_string();
    auto out = child->take_stdout();
    const std::string said = read_to_end(*out);
    EXPECT_EQ(child->wait().value_or(-1), 0);
    if (c.unprivileged) {
      EXPECT_EQ(said, ids_without_groups(*account));
    } else {
      EXPECT_TRUE(said.starts_with("Uid: 0 0 0 0\nGid: 0 0 0 0\n")) << said;
    }
  }
}

// The next line of `out` that starts with `prefix`, without the prefix.
std::string line_starting(Reader& out, std::string& seen, const std::string& prefix) {
  char buf[256];
  while (true) {
    const auto at = seen.find(prefix);
    if (at != std::string::npos && seen.find('\n', at) != std::string::npos) {
      return seen.substr(at + prefix.size(), seen.find('\n', at) - at - prefix.size());
    }
    const auto n = out.read(buf);
    if (!n || *n == 0) return "";
    seen.append(buf, *n);
  }
}

// The proxy core in the cores' own account: another account's process can
// neither signal it nor read its environment (the account's own can, which
// shows the probe works), it has none of the service's variables, and what
// it leaves in a session of its own ends with it. The id stays for the next
// start.
TEST(ProcessChild, ACoreInItsOwnAccountIsOutOfReachAndEndsWhole) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root has rights to give up";
  TempDir data("core-data");
  const ScopedVariable data_dir("OMBREL_DATA_DIR", data.path());
  const ScopedVariable marker("OMBREL_TEST_MARKER", "the service's alone");
  InstallDir dir;
  set_script(dir.xray, 1, "env\ndetach\nstay");
  name_no_core_account();
  SpawnOptions options{dir.xray, {}, std::nullopt, Stdio::Null, Stdio::Pipe, Stdio::Null};
  options.end_with_service = options.unprivileged = options.own_environment = true;
  auto core = spawn(options);
  const std::optional<Account> account = known_core_account();
  set_core_account();
  ASSERT_TRUE(core) << core.error().to_string();
  ASSERT_TRUE(account && account->cores_own);

  auto out = core->take_stdout();
  std::string said;
  const std::string left = line_starting(*out, said, "detached ");
  const auto grandchild = static_cast<std::uint32_t>(std::stoul("0" + left));
  ASSERT_TRUE(wait_until([&] { return running_from(grandchild, dir.xray); })) << said;
  for (const char* name : {"PATH", "HOME", "LANG"}) {
    EXPECT_NE(said.find(std::string("env ") + name + "\n"), std::string::npos) << said;
  }
  EXPECT_EQ(said.find("OMBREL_"), std::string::npos) << said;

  const struct {
    const char* who;
    uid_t uid;
    bool reaches;
  } reaches[] = {{"nobody", 65534, false}, {"the cores' own", account->uid, true}};
  for (const auto& r : reaches) {
    SCOPED_TRACE(r.who);
    const Reach reach = reach_as_user(r.uid, static_cast<pid_t>(core->pid()));
    EXPECT_EQ(reach.signal, r.reaches);
    EXPECT_EQ(reach.environment, r.reaches);
  }

  *core = Process();
  EXPECT_TRUE(wait_until([&] { return !running_from(grandchild, dir.xray); }));
  name_no_core_account();
  const auto again = unprivileged_account();
  set_core_account();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->uid, account->uid);
}

// Starts from several threads at once, some of them failing, each with its
// own arguments: every caller gets its own child and its own answer.
TEST(ProcessChild, OverlappingStartsKeepTheirOwnAnswers) {
  InstallDir dir;
  set_script(dir.sing_box, "exit 7");
  const std::string missing = dir.file("missing");
  constexpr int THREADS = 6, EACH = 8;
  std::vector<std::future<std::string>> results;
  for (int t = 0; t < THREADS; ++t) {
    results.push_back(std::async(std::launch::async, [&, t] {
      std::ostringstream faults;
      for (int i = 0; i < EACH; ++i) {
        const bool fails = (t + i) % 3 == 0;
        SpawnOptions options{fails ? missing : dir.sing_box,
                             {std::to_string(t), std::to_string(i)},
                             std::nullopt,
                             Stdio::Null,
                             Stdio::Pipe,
                             Stdio::Null};
        options.end_with_service = (t + i) % 2 == 0;
        auto p = spawn(options);
        if (fails != !p) {
          faults << t << "/" << i << ": started " << bool(p) << "; ";
          continue;
        }
        if (fails) continue;
        auto out = p->take_stdout();
        if (const auto code = p->wait(); code.value_or(-1) != 7) {
          faults << t << "/" << i << ": exit " << code.value_or(-1) << "; ";
        }
      }
      return faults.str();
    }));
  }
  int started = 0;
  for (int t = 0; t < THREADS; ++t) {
    for (int i = 0; i < EACH; ++i) started += (t + i) % 3 != 0;
  }
  for (auto& r : results) EXPECT_EQ(r.get(), "");
  EXPECT_EQ(run_count(dir.sing_box), started);
  EXPECT_EQ(read_record(dir.sing_box, ".fds").value_or(""), "0\n1\n2\n");
}

}  // namespace
}  // namespace ombrel::platform
