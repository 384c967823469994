// The service itself may run inside a job (a launcher, a test harness). A
// program that must outlive the service leaves that job when the job allows
// it; a core started to end with the service ends with it either way. The
// owner of the children is the stand-in "standin-owner", started here inside
// a job of the test's own.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include "listener.hpp"
#include "platform/files/datadir.hpp"
#include "platform/handle_win.hpp"
#include "platform/process/job_win.hpp"
#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"
#include "platform/token_win.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using namespace ombrel::testsupport;

std::wstring wide(const std::string& utf8) {
  return std::filesystem::path(fs_path(utf8)).wstring();
}

UniqueHandle make_job(DWORD limits) {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | limits;
  EXPECT_TRUE(
      SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &info, sizeof info));
  return job;
}

// Starts `program` with `args` inside `job`, before it runs a single instruction.
UniqueHandle start_in_job(HANDLE job, const std::string& program, const std::string& args) {
  std::wstring line = L"\"" + wide(program) + L"\" " + wide(args);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(wide(program).c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                      nullptr, nullptr, &si, &pi)) {
    ADD_FAILURE() << "CreateProcessW " << GetLastError();
    return {};
  }
  UniqueHandle process(pi.hProcess);
  UniqueHandle thread(pi.hThread);
  EXPECT_TRUE(AssignProcessToJobObject(job, process.get())) << GetLastError();
  ResumeThread(thread.get());
  return process;
}

bool in_job(std::uint32_t pid, HANDLE job) {
  // Wine answers only with full query rights.
  UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
  BOOL inside = FALSE;
  return process && IsProcessInJob(process.get(), job, &inside) && inside;
}

TEST(ProcessJob, ADetachedProgramLeavesTheServicesJobWhenTheJobAllowsIt) {
  struct Case {
    const char* name;
    DWORD limits;
    bool outlives_the_job;
  };
  const Case cases[] = {
      {"breakaway allowed", JOB_OBJECT_LIMIT_BREAKAWAY_OK, true},
      {"children leave by themselves", JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK, true},
      {"breakaway forbidden: the program is started all the same, inside", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir("job");
    const std::string owner = install_program(dir.path(), "standin-owner", "owner.exe");
    const std::string child = install_standin(dir.path(), Standin::Desktop);
    set_script(child, "stay");
    UniqueHandle job = make_job(c.limits);
    UniqueHandle owner_process = start_in_job(job.get(), owner, "detached \"" + child + "\"");
    const auto pid_text = wait_for_record(owner, ".child", 30s);
    ASSERT_TRUE(pid_text) << read_record(owner, ".error").value_or("(no error)");
    const auto pid = static_cast<std::uint32_t>(std::stoul(*pid_text));
    ASSERT_TRUE(wait_until([&] { return running_from(pid, child); }, 10s));
    EXPECT_EQ(in_job(pid, job.get()), !c.outlives_the_job);

    // Closing the job ends what is inside: the owner always.
    job.reset();
    EXPECT_EQ(WaitForSingleObject(owner_process.get(), 10000), WAIT_OBJECT_0);
    if (c.outlives_the_job) {
      Sleep(500);
      EXPECT_TRUE(running_from(pid, child));
      (void)terminate_process(pid, 1);
    }
    EXPECT_TRUE(wait_until([&] { return !running_from(pid, child); }, 10s));
  }
}

TEST(ProcessJob, ABoundCoreOfAServiceInsideAJobEndsWithTheService) {
  TempDir dir("job");
  const std::string owner = install_program(dir.path(), "standin-owner", "owner.exe");
  const std::string child = install_standin(dir.path(), Standin::Desktop);
  set_script(child, "stay");
  UniqueHandle job = make_job(JOB_OBJECT_LIMIT_BREAKAWAY_OK);
  UniqueHandle owner_process = start_in_job(job.get(), owner, "bound \"" + child + "\"");
  const auto pid_text = wait_for_record(owner, ".child", 30s);
  ASSERT_TRUE(pid_text) << read_record(owner, ".error").value_or("(no error)");
  const auto pid = static_cast<std::uint32_t>(std::stoul(*pid_text));
  ASSERT_TRUE(wait_until([&] { return running_from(pid, child); }, 10s));

  ASSERT_TRUE(TerminateProcess(owner_process.get(), 9));
  EXPECT_TRUE(wait_until([&] { return !running_from(pid, child); }, 10s));
  if (running_from(pid, child)) (void)terminate_process(pid, 1);
}

// A line of a Go stand-in's token record ("user S-1-5-19", ...).
bool holds_fact(const std::string& record, const std::string& fact) {
  return ("\n" + record).find("\n" + fact + "\n") != std::string::npos;
}

// The Go stand-in proxy core (tests/standin/go-xray), placed where an
// account of its own may read and run it and write its records, started as
// the service starts its proxy core, with `document` on its input.
struct GoCore {
  explicit GoCore(std::string_view hint) : dir(hint, Where::BelowRoot) {
    set_folder_rights(dir.path(), Rights::AdministratorsOnly);
    make_records_folder(dir.path());
    exe = install_program(dir.path(), "standin-go-xray", "xray.exe");
  }
  Result<Process> start(const std::string& document) {
    SpawnOptions options{
        exe, {"run", "-c", "stdin:"}, std::nullopt, Stdio::Pipe, Stdio::Null, Stdio::Null};
    options.end_with_service = true;
    options.unprivileged = true;
    options.own_environment = true;
    auto process = spawn(options);
    if (process) {
      auto input = process->take_stdin();
      if (!input || !input->write_all(document)) ADD_FAILURE() << "no document delivered";
    }
    return process;
  }
  TempDir dir;
  std::string exe;
};

// A child without the service's rights starts detached from any console (a
// token of another account may not open the service's, and a service has
// none to give), in the service's job, with the environment the system
// makes for its account and nothing of the service's. Run with a console of
// the test's own, which a child started without DETACHED_PROCESS shares
// (CreateProcess: a console process inherits its parent's console unless a
// flag says otherwise). Wine without a display refuses AllocConsole, so only
// Windows shows the console half.
TEST(ProcessJob, AnUnprivilegedChildHasNoConsoleAndNothingOfTheServicesEnvironment) {
  GoCore core("account");
  const bool made_console = AllocConsole() != FALSE;
  ASSERT_TRUE(SetEnvironmentVariableW(L"OMBREL_SERVICE_ONLY", L"marker"));
  auto process = core.start("{\"inbounds\": [], \"outbounds\": []}");
  SetEnvironmentVariableW(L"OMBREL_SERVICE_ONLY", nullptr);
  ASSERT_TRUE(process) << process.error().to_string();
  const auto token = wait_for_record(core.exe, ".token", 30s);
  if (made_console) FreeConsole();
  ASSERT_TRUE(token) << read_record(core.exe, ".error").value_or("(no record)");
  EXPECT_TRUE(holds_fact(*token, "console none")) << *token;
  const auto environment = read_record(core.exe, ".env");
  ASSERT_TRUE(environment);
  EXPECT_EQ(environment->find("OMBREL_SERVICE_ONLY"), std::string::npos) << *environment;
  EXPECT_TRUE(in_job(process->pid(), *service_job()));
}

// The proxy core's account, read back by a Go program, which loads at its
// start system libraries that grant reading to Users alone: LocalService
// (S-1-5-19), no privilege but the traversal of folders, no Administrators,
// neither the service's process nor its data folder opened, and still a
// listener that accepts and a connection out, and the start did not fall
// back. As LocalSystem on real Windows only, as the service runs: the
// service logon of LocalService is made by SYSTEM (LogonUserW with "NT
// AUTHORITY" and LOGON32_LOGON_SERVICE), and Wine keeps no such account.
TEST(ProcessJob, AGoCoreInTheCoresAccountOpensNothingOfTheServicesAndCarriesTraffic) {
  OMBREL_REAL_WINDOWS_ONLY("Wine logs no LocalService on");
  OMBREL_SYSTEM_ACCOUNT_ONLY("the service logs LocalService on as SYSTEM");
  GoCore core("account");
  TempDir data("data", Where::BelowRoot);
  const std::string private_data = data.file("Ombrel");
  ASSERT_TRUE(ensure_private_dir(private_data));
  {
    std::ofstream probe(fs_path(core.exe + ".probe"), std::ios::binary);
    probe << "process " << GetCurrentProcessId() << "\nfile " << private_data << "\n";
  }
  auto target = TcpListener::open("127.0.0.1");
  ASSERT_TRUE(target);
  std::uint16_t inbound = 0;
  {
    auto free = TcpListener::open("127.0.0.1");
    ASSERT_TRUE(free);
    inbound = free->port;
  }
  auto process = core.start("{\"inbounds\": [{\"port\": " + std::to_string(inbound) +
                            "}], \"outbounds\": [{\"settings\": {\"servers\": [{\"address\": "
                            "\"127.0.0.1\", \"port\": " +
                            std::to_string(target->port) + "}]}}]}");
  ASSERT_TRUE(process) << process.error().to_string();
  EXPECT_FALSE(process->unprivileged_refused())
      << process->unprivileged_refused().value_or(Error("")).to_string();
  EXPECT_TRUE(process->unprivileged_account_used());
  // The orphan cleanup at the next start knows it for the service's.
  auto held = HeldProcess::open(process->pid());
  ASSERT_TRUE(held) << held.error().to_string();
  EXPECT_TRUE(held->runs_as_this_account().value_or(false));
  const auto token = wait_for_record(core.exe, ".token", 30s);
  ASSERT_TRUE(token) << read_record(core.exe, ".error").value_or("(no record)");
  EXPECT_TRUE(holds_fact(*token, "user S-1-5-19")) << *token;
  std::size_t privileges = 0;
  for (std::size_t at = token->find("privilege "); at != std::string::npos;
       at = token->find("privilege ", at + 1)) {
    ++privileges;
  }
  EXPECT_EQ(privileges, 1u) << *token;
  EXPECT_TRUE(holds_fact(*token, "privilege SeChangeNotifyPrivilege")) << *token;
  EXPECT_TRUE(holds_fact(*token, "administrators absent") ||
              holds_fact(*token, "administrators deny-only"))
      << *token;
  EXPECT_TRUE(holds_fact(*token, "process " + std::to_string(GetCurrentProcessId()) + " denied"))
      << *token;
  EXPECT_TRUE(holds_fact(*token, "file " + private_data + " denied")) << *token;
  ASSERT_TRUE(wait_until([&] {
    return read_record(core.exe, ".seen").value_or("").find("listen ") != std::string::npos;
  })) << read_record(core.exe, ".error").value_or("(no error)");
  EXPECT_TRUE(connect_loopback(inbound, "hello"));
  const std::string connected = "connected 127.0.0.1:" + std::to_string(target->port);
  EXPECT_TRUE(wait_until([&] {
    return read_record(core.exe, ".seen").value_or("").find(connected) != std::string::npos;
  })) << read_record(core.exe, ".seen").value_or("(nothing seen)");
}

// Wine starts a Linux program with no process of its own to hand back: the
// process handle is null and the rest of the answer is whatever its stack
// held, often a handle of the caller's. Closing that "thread handle" closed
// one of ours (a thread's, which later failed to join).
[[gnu::noinline]] void leave_on_stack(HANDLE h) {
  volatile HANDLE spread[8192];
  for (auto& slot : spread) slot = h;
}

TEST(ProcessJob, ALinuxProgramStartedUnderWineLeavesTheCallersHandlesOpen) {
  OMBREL_WINE_ONLY("real Windows cannot start a Linux program");
  const std::vector<std::string> args = {"-c", "exit 0"};
  const SpawnOptions options{"/bin/sh", args, std::nullopt, Stdio::Null, Stdio::Null, Stdio::Null};
  for (int i = 0; i < 16; ++i) {
    const UniqueHandle ours[] = {UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
                                 UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr))};
    leave_on_stack(ours[0].get());
    ASSERT_TRUE(spawn(options));
    leave_on_stack(ours[1].get());
    ASSERT_TRUE(spawn_detached("/bin/sh", args, std::nullopt));
    for (const UniqueHandle& h : ours) {
      DWORD flags = 0;
      EXPECT_TRUE(GetHandleInformation(h.get(), &flags)) << h.get() << " was closed";
    }
  }
}

}  // namespace
}  // namespace ombrel::platform
