#pragma once
// Talking to a Unix socket as another user (Linux, when the tests run as
// root): for checks of what the service lets an ordinary user do.
#ifndef _WIN32
#include <sys/types.h>

#include <string>

namespace ombrel::testsupport {

// One exchange over the socket at `socket_path` from a child process that
// runs as `uid` (and the group of the same number): sends `line` and a line
// feed, returns everything sent back until the end. "" with a test failure
// added when the child could not do it.
std::string exchange_as_user(uid_t uid, const std::string& socket_path, const std::string& line);

// Starts `program` with no arguments in a child process that runs as `uid`
// (and the group of the same number), its standard streams on /dev/null.
// Its process id, or -1 with a test failure. The caller ends and reaps it
// (`end_as_user`).
pid_t start_as_user(uid_t uid, const std::string& program);
void end_as_user(pid_t child);

// What a process running as `uid` (and the group of the same number) may do
// to the process `target`: send it a signal (the harmless 0), read its
// environment from /proc.
struct Reach {
  bool signal = false;
  bool environment = false;
};
Reach reach_as_user(uid_t uid, pid_t target);

}  // namespace ombrel::testsupport
#endif
