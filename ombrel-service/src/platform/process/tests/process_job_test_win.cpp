// The service itself may run inside a job (a launcher, a test harness). A
// program that must outlive the service leaves that job when the job allows
// it; a core started to end with the service ends with it either way. The
// owner of the children is the stand-in "standin-owner", started here inside
// a job of the test's own.
#include <windows.h>

#include <gtest/gtest.h>

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

// The proxy core starts with the service's token stripped of its rights: no
// privilege left but the traversal of folders, the token's own account and
// Administrators for deny only, medium integrity; still in the service's
// job. Wine keeps no such token, so only Windows reads it back.
TEST(ProcessJob, AnUnprivilegedChildHasNoPrivilegesAndAdministratorsForDenyOnly) {
  TempDir dir("restricted");
  // The stand-in reads its script and keeps its records beside itself, which
  // a token of no account of the test's may do only where everyone may.
  set_folder_rights(dir.path(), Rights::EveryoneChanges);
  const std::string child = install_standin(dir.path(), Standin::Desktop);
  set_script(child, "stay");
  SpawnOptions options{child, {}, std::nullopt, Stdio::Null, Stdio::Null, Stdio::Null};
  options.end_with_service = true;
  options.unprivileged = true;
  auto process = spawn(options);
  ASSERT_TRUE(process) << process.error().to_string();
  ASSERT_TRUE(wait_for_record(child, ".runs", 30s));
  EXPECT_TRUE(in_job(process->pid(), *service_job()));
  OMBREL_REAL_WINDOWS_ONLY("Wine enforces no token and may report it as made");

  UniqueHandle opened(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process->pid()));
  UniqueHandle token;
  ASSERT_TRUE(OpenProcessToken(opened.get(), TOKEN_QUERY, token.put())) << GetLastError();
  const auto privileges = token_information(token.get(), TokenPrivileges);
  ASSERT_TRUE(privileges);
  const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(privileges->data());
  for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
    wchar_t name[64];
    DWORD length = 64;
    LUID luid = held->Privileges[i].Luid;
    ASSERT_TRUE(LookupPrivilegeNameW(nullptr, &luid, name, &length));
    EXPECT_EQ(std::wstring(name), L"SeChangeNotifyPrivilege");
  }
  const auto user = token_information(token.get(), TokenUser);
  ASSERT_TRUE(user);
  EXPECT_NE(reinterpret_cast<const TOKEN_USER*>(user->data())->User.Attributes &
                SE_GROUP_USE_FOR_DENY_ONLY,
            0u);
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
  const auto groups = token_information(token.get(), TokenGroups);
  ASSERT_TRUE(groups);
  const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups->data());
  for (DWORD i = 0; i < list->GroupCount; ++i) {
    if (!EqualSid(list->Groups[i].Sid, admins)) continue;
    EXPECT_NE(list->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
  }
  const auto label = token_information(token.get(), TokenIntegrityLevel);
  ASSERT_TRUE(label);
  const PSID level = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label->data())->Label.Sid;
  EXPECT_EQ(*GetSidSubAuthority(level, *GetSidSubAuthorityCount(level) - 1),
            static_cast<DWORD>(SECURITY_MANDATORY_MEDIUM_RID));
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
