#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "as_user.hpp"

namespace ombrel::testsupport {

std::string exchange_as_user(uid_t uid, const std::string& socket_path, const std::string& line) {
  int out[2];
  if (::pipe(out) != 0) {
    ADD_FAILURE() << "no pipe";
    return "";
  }
  const std::string request = line + "\n";
  const pid_t child = ::fork();
  if (child == 0) {
    // Only plain system calls from here on: the parent has other threads.
    ::close(out[0]);
    const gid_t gid = static_cast<gid_t>(uid);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
      ::_exit(2);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socket_path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) ::_exit(3);
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
      ::_exit(4);
    }
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
      if (::write(out[1], buf, static_cast<size_t>(n)) != n) ::_exit(5);
    }
    ::_exit(0);
  }
  ::close(out[1]);
  if (child < 0) {
    ::close(out[0]);
    ADD_FAILURE() << "no child";
    return "";
  }
  std::string reply;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(out[0], buf, sizeof buf)) > 0) reply.append(buf, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the child as user " << uid << " failed: status " << status;
    return "";
  }
  return reply;
}

pid_t start_as_user(uid_t uid, const std::string& program) {
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0) ::_exit(2);
    const gid_t gid = static_cast<gid_t>(uid);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
      ::_exit(3);
    }
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(4);
  }
  if (child < 0) ADD_FAILURE() << "no child";
  return child;
}

Reach reach_as_user(uid_t uid, pid_t target) {
  const std::string environment = "/proc/" + std::to_string(target) + "/environ";
  const pid_t child = ::fork();
  if (child == 0) {
    const gid_t gid = static_cast<gid_t>(uid);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
      ::_exit(8);
    }
    int reach = ::kill(target, 0) == 0 ? 1 : 0;
    const int fd = ::open(environment.c_str(), O_RDONLY);
    char byte = 0;
    if (fd >= 0 && ::read(fd, &byte, 1) == 1) reach |= 2;
    ::_exit(reach);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) > 3) {
    ADD_FAILURE() << "the child as user " << uid << " failed: status " << status;
    return {};
  }
  return Reach{(WEXITSTATUS(status) & 1) != 0, (WEXITSTATUS(status) & 2) != 0};
}

void end_as_user(pid_t child) {
  if (child <= 0) return;
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

}  // namespace ombrel::testsupport
