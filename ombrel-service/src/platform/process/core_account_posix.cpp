// The account the proxy core runs as when the service is root, and the end
// of every process of that account.
//
// A shared account such as "nobody" lets every other process of it signal
// the core, read its memory and environment, or kill it and take its port.
// So by default the core gets a user id no one else has: picked once from a
// reserved range, kept in the data folder, and reused by every later run,
// which is how the orphan sweep at start finds what a crash left behind.
// The same id serves as the group id. Two services on one machine (tests,
// a developer's second copy) keep their ids in their own data folders and
// start their search at a place that depends on the folder, and a picked
// id is one no running process uses, so they do not share one.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/fd_posix.hpp"
#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "platform/oserror.hpp"
#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"

namespace ombrel::platform {
namespace {

constexpr std::uint32_t CORE_ID_COUNT = CORE_ID_LAST - CORE_ID_FIRST + 1;
constexpr std::string_view NO_FREE_ID = "нет свободного идентификатора для ядра";

// Whether the system's tables name the id as a user or a group. A lookup
// that fails counts as named: an id whose owner cannot be told is not ours
// to take.
bool named_anywhere(std::uint32_t id) {
  std::vector<char> buf(16384);
  passwd user{};
  passwd* user_found = nullptr;
  if (::getpwuid_r(id, &user, buf.data(), buf.size(), &user_found) != 0 || user_found != nullptr) {
    return true;
  }
  group grp{};
  group* group_found = nullptr;
  return ::getgrgid_r(id, &grp, buf.data(), buf.size(), &group_found) != 0 ||
         group_found != nullptr;
}

std::string read_small(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

// The numbers after `label` ("Uid:", "Gid:") in a /proc status text.
std::vector<std::uint32_t> id_fields(const std::string& status, std::string_view label) {
  std::vector<std::uint32_t> ids;
  const auto at = status.find("\n" + std::string(label));
  if (at == std::string::npos) return ids;
  const char* p = status.c_str() + at + 1 + label.size();
  const char* end = status.c_str() + status.size();
  while (p < end && *p != '\n') {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    std::uint32_t id = 0;
    const auto [next, ec] = std::from_chars(p, end, id);
    if (ec != std::errc()) break;
    ids.push_back(id);
    p = next;
  }
  return ids;
}

// Calls `each` with the status text of every process of the system.
template <class Each>
void for_each_status(Each each) {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return;
  while (const dirent* entry = ::readdir(proc.get())) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    const std::string path = std::string("/proc/") + entry->d_name + "/status";
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) continue;  // gone meanwhile
    each(read_small(fd.get()));
  }
}

// Every user and group id some process of the system holds.
std::set<std::uint32_t> ids_in_use() {
  std::set<std::uint32_t> ids;
  for_each_status([&](const std::string& status) {
    for (const auto label : {"Uid:", "Gid:"}) {
      for (const std::uint32_t id : id_fields(status, label)) ids.insert(id);
    }
  });
  return ids;
}

// Processes of `uid` that have not ended yet (zombies have).
std::size_t live_processes_of(std::uint32_t uid) {
  std::size_t count = 0;
  for_each_status([&](const std::string& status) {
    if (status.find("\nState:\tZ") != std::string::npos) return;
    const auto ids = id_fields(status, "Uid:");
    // kill() reaches a process by its real or saved id.
    if (ids.size() >= 3 && (ids[0] == uid || ids[2] == uid)) ++count;
  });
  return count;
}

std::string id_file_path(const std::string& data) {
  return join_path(data, CORE_ID_FILE);
}

// The id an earlier run recorded, if the record is the service's own (not
// a file others could have written) and the id is still free of any name.
std::optional<std::uint32_t> recorded_id(const std::string& data) {
  const std::string path = id_file_path(data);
  const Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return std::nullopt;
  }
  const std::string text = read_small(fd.get());
  std::uint32_t id = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc() || (end != text.data() + text.size() && *end != '\n')) return std::nullopt;
  if (id < CORE_ID_FIRST || id > CORE_ID_LAST || named_anywhere(id)) return std::nullopt;
  return id;
}

// Where a folder's search starts: the same folder always starts at the same
// place, another folder most likely elsewhere (FNV-1a).
std::uint32_t search_start(const std::string& data) {
  std::uint32_t hash = 2166136261u;
  for (const char c : data) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash % CORE_ID_COUNT;
}

Result<std::uint32_t> pick_id(const std::string& data) {
  const std::set<std::uint32_t> used = ids_in_use();
  const std::uint32_t start = search_start(data);
  for (std::uint32_t i = 0; i < CORE_ID_COUNT; ++i) {
    const std::uint32_t id = CORE_ID_FIRST + (start + i) % CORE_ID_COUNT;
    if (used.contains(id) || named_anywhere(id)) continue;
    // Recorded before any process runs as it: a crash right after the
    // start leaves leftovers the next run can find.
    const std::string path = id_file_path(data);
    auto written = ensure_private_dir(data);
    if (written) written = replace_file_atomically(path, path + ".new", std::to_string(id) + "\n");
    if (!written) {
      return fail(std::move(written.error()).wrapped("не удалось записать " + path));
    }
    return id;
  }
  return fail(std::string(NO_FREE_ID));
}

// The account named by $OMBREL_CORE_USER; nullopt when the variable is
// unset or empty.
std::optional<Result<Account>> named_account() {
  const char* set = std::getenv(std::string(UNPRIVILEGED_ACCOUNT_VARIABLE).c_str());
  if (set == nullptr || *set == '\0') return std::nullopt;
  const std::string name = set;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  const int err = ::getpwnam_r(name.c_str(), &entry, buf.data(), buf.size(), &found);
  if (err != 0) {
    return fail(
        os_error(static_cast<unsigned long>(err)).wrapped("нет учётной записи для ядра: " + name));
  }
  if (found == nullptr) return fail("нет учётной записи для ядра: " + name);
  return Account{entry.pw_uid, entry.pw_gid, entry.pw_uid != 0 && entry.pw_uid != ::geteuid()};
}

Account picked_account(std::uint32_t id) {
  return Account{id, id, true};
}

// The helper's answer: it signalled at least one process, or none was left.
enum class Signalled { Some, None, Failed };

// Sends SIGKILL to every process of `uid` from a helper that takes that
// user id: the kernel then picks the processes under its process-list lock
// (kill(-1)), so one forked while the list is walked cannot slip through,
// as it could between a listing and the signals. The helper is made with
// vfork and only makes system calls, as a child of spawn_posix.cpp does.
Signalled signal_every_process_of(std::uint32_t uid) noexcept {
  sigset_t all;
  sigfillset(&all);
  sigset_t old_mask;
  pthread_sigmask(SIG_SETMASK, &all, &old_mask);
  const pid_t pid = ::vfork();
  if (pid == 0) {
    // Raw calls: the C library's would change the ids of every thread of
    // the service, whose memory this child shares.
    if (::syscall(SYS_setresuid, uid, uid, uid) != 0) ::_exit(2);
    if (::syscall(SYS_kill, -1, SIGKILL) == 0) ::_exit(0);
    ::_exit(errno == ESRCH ? 1 : 2);
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (pid < 0) return Signalled::Failed;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return Signalled::Failed;
  }
  if (!WIFEXITED(status)) return Signalled::Failed;
  switch (WEXITSTATUS(status)) {
    case 0:
      return Signalled::Some;
    case 1:
      return Signalled::None;
    default:
      return Signalled::Failed;
  }
}

std::mutex picking;

}  // namespace

Result<Account> unprivileged_account() {
  if (::geteuid() != 0) return Account{::geteuid(), ::getegid(), false};
  if (auto named = named_account()) return std::move(*named);
  const std::string data = data_dir();
  // One pick at a time: two cores started at once get the same id.
  const std::lock_guard lock(picking);
  if (const auto id = recorded_id(data)) return picked_account(*id);
  auto id = pick_id(data);
  if (!id) return fail(std::move(id.error()));
  return picked_account(*id);
}

std::optional<Account> known_core_account() {
  if (::geteuid() != 0) return std::nullopt;
  if (auto named = named_account()) {
    if (!*named) return std::nullopt;
    return **named;
  }
  const std::string data = data_dir();
  if (const auto id = recorded_id(data)) return picked_account(*id);
  return std::nullopt;
}

void end_account_processes(const Account& account) noexcept {
  if (!account.cores_own || account.uid == 0 || account.uid == ::geteuid()) return;
  try {
    // A helper that could not signal leaves the processes for the sweep at
    // the next start and for the port check before each start of cores,
    // which end them again.
    if (signal_every_process_of(account.uid) != Signalled::Some) return;
    // A process killed goes at its next scheduling; its ports and files are
    // free only then, and the next start looks at the ports.
    for (int round = 0; round < 50 && live_processes_of(account.uid) != 0; ++round) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  } catch (...) {
    // No memory to look with: the signal has gone all the same.
  }
}

std::size_t end_leftover_core_processes() {
  const auto account = known_core_account();
  if (!account || !account->cores_own) return 0;
  try {
    const std::size_t found = live_processes_of(account->uid);
    if (found != 0) end_account_processes(*account);
    return found;
  } catch (...) {
    return 0;
  }
}

bool runs_as_core_account(std::uint32_t pid) {
  const auto account = known_core_account();
  if (!account || !account->cores_own) return false;
  try {
    const Fd fd(::open(("/proc/" + std::to_string(pid) + "/status").c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    const auto ids = id_fields(read_small(fd.get()), "Uid:");
    return !ids.empty() && ids[0] == account->uid;
  } catch (...) {
    return false;
  }
}

}  // namespace ombrel::platform
