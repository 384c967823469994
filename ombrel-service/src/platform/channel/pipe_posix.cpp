#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

#include "platform/channel/pipe.hpp"
#include "platform/channel/pipe_common.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {
namespace {

using pipe_detail::Stall;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* DEFAULT_SOCKET = "/run/ombrel/service.sock";
// Clients that arrive while one is served queue in the backlog: to them the
// channel is simply slow, as a busy pipe is to a retrying Windows client.
constexpr int BACKLOG = 16;
// How long a writer waits for room before it simply tries again. A Unix
// socket reports room to poll only once three quarters of its buffer are
// free, while a send succeeds as soon as one piece has been read: a client
// reading steadily but slowly would be taken for a stalled one by a writer
// that waited for poll alone.
constexpr milliseconds ROOM_RETRY{100};

void close_fd(int& fd) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

Result<sockaddr_un> socket_address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    return fail("путь сокета длиннее " + std::to_string(sizeof addr.sun_path - 1) +
                " байт или пуст");
  }
  path.copy(addr.sun_path, path.size());
  return addr;
}

// Waits for `events` on `fd` for at most `timeout`; false when it ran out.
Result<bool> wait_for(int fd, short events, milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  while (true) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - steady_clock::now());
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (r > 0) return true;
    if (r == 0 && steady_clock::now() >= deadline) return false;
    if (r == 0) continue;
    if (errno != EINTR) return fail(last_os_error());
  }
}

// As wait_for, for the next wait on a client; a deadline that has passed
// ends the wait at once, even with bytes waiting, so that a client that
// keeps the socket busy cannot outlast it.
Result<bool> wait_within(int fd, short events, const pipe_detail::Wait& wait) {
  if (wait.deadline_first && wait.length.count() == 0) return false;
  return wait_for(fd, events, wait.length);
}

// A connected socket to whoever listens at `addr`; -1 when nobody does. A
// listener whose queue is full counts as listening (-2): it is there.
int connect_to_listener(const sockaddr_un& addr) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
  const int err = errno;
  ::close(fd);
  return err == EAGAIN ? -2 : -1;
}

bool someone_listens(const sockaddr_un& addr) {
  int fd = connect_to_listener(addr);
  if (fd == -2) return true;
  if (fd < 0) return false;
  close_fd(fd);
  return true;
}

std::string account_of(uid_t uid) {
  std::vector<char> buf(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

}  // namespace

std::optional<PipeHolder> pipe_name_holder(const std::string& name) {
  auto addr = socket_address(name);
  if (!addr) return std::nullopt;
  int fd = connect_to_listener(*addr);
  if (fd < 0) return std::nullopt;
  ucred cred{};
  socklen_t size = sizeof cred;
  const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0;
  close_fd(fd);
  if (!known || cred.pid <= 0) return std::nullopt;
  return PipeHolder{static_cast<std::uint32_t>(cred.pid), account_of(cred.uid)};
}

std::string default_pipe_name() {
  const char* env = std::getenv("OMBREL_PIPE");
  if (env != nullptr && *env != '\0') return env;
  return DEFAULT_SOCKET;
}

struct PipeServer::Impl {
  std::string path;
  int listener = -1;
  int client = -1;
  // The peer credentials of `client`, read when it was accepted.
  std::optional<std::uint32_t> client_uid;
  std::optional<std::uint32_t> client_pid;
  // Whether `client` was dropped for stalling; kept until the next accept.
  bool stalled = false;
  std::unique_ptr<IoWatcher> watcher = make_io_watcher();
  // Written to by a stop request, to wake a waiting accept.
  int wake_read = -1;
  int wake_write = -1;
  // The socket file this server made, so that dropping the server never
  // removes a newer server's socket.
  dev_t dev = 0;
  ino_t ino = 0;

  ~Impl() {
    drop_client();
    close_fd(listener);
    close_fd(wake_read);
    close_fd(wake_write);
    struct stat st {};
    if (!path.empty() && ::lstat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino) {
      ::unlink(path.c_str());
    }
  }

  void drop_client() noexcept {
    if (client < 0) return;
    // Unread request bytes left in the socket would turn the client's end of
    // stream into a reset; the client must see its reply and then a clean end.
    char sink[4096];
    for (int i = 0; i < 256; ++i) {
      const ssize_t n = ::recv(client, sink, sizeof sink, MSG_DONTWAIT);
      if (n <= 0 && !(n < 0 && errno == EINTR)) break;
    }
    close_fd(client);
  }
};

namespace {

// What an accept returned: a client, now the server's, or a failure after
// which the caller waits for the next one.
bool take_client(PipeServer::Impl& s, int fd) {
  if (fd < 0) {
    // A client that gave up while queued, or a signal: wait for the next.
    // Anything else (out of descriptors) is given a moment to pass.
    if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
      std::this_thread::sleep_for(milliseconds(100));
    }
    return false;
  }
  s.client = fd;
  // The credentials of the process that connected, as the kernel saw them
  // at connect time: a client cannot claim another's.
  ucred cred{};
  socklen_t len = sizeof cred;
  s.client_uid.reset();
  s.client_pid.reset();
  s.stalled = false;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred) {
    s.client_uid = static_cast<std::uint32_t>(cred.uid);
    if (cred.pid > 0) s.client_pid = static_cast<std::uint32_t>(cred.pid);
  }
  return true;
}

}  // namespace

PipeServer::PipeServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeServer::PipeServer(PipeServer&&) noexcept = default;
PipeServer& PipeServer::operator=(PipeServer&&) noexcept = default;
PipeServer::~PipeServer() = default;

Result<PipeServer> create_pipe(const std::string& name) {
  const std::string outer = "не удалось создать канал " + name;
  auto addr = socket_address(name);
  if (!addr) return fail(std::move(addr.error()).wrapped(outer));

  const std::filesystem::path parent = std::filesystem::path(name).parent_path();
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) return fail(os_error(static_cast<unsigned long>(ec.value())).wrapped(outer));
  }
  // A socket file left by an earlier run would make bind fail; anything
  // else under that name is not ours to remove, nor is a socket somebody
  // still serves under (removing it would steal a live channel, the way a
  // second instance of a Windows pipe must not be made).
  struct stat st {};
  if (::lstat(name.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    if (someone_listens(*addr)) return fail(os_error(EADDRINUSE).wrapped(outer));
    ::unlink(name.c_str());
  }

  auto impl = std::make_unique<PipeServer::Impl>();
  impl->listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (impl->listener < 0) return fail(last_os_error().wrapped(outer));
  if (::bind(impl->listener, reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
    return fail(last_os_error().wrapped(outer));
  }
  if (::lstat(name.c_str(), &st) == 0) {
    impl->path = name;
    impl->dev = st.st_dev;
    impl->ino = st.st_ino;
  }
  // Any local user may talk to the service, as interactive users may on
  // Windows; what they may ask for is the service's business.
  if (::chmod(name.c_str(), 0666) != 0) return fail(last_os_error().wrapped(outer));
  if (::listen(impl->listener, BACKLOG) != 0) return fail(last_os_error().wrapped(outer));
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return fail(last_os_error().wrapped(outer));
  impl->wake_read = wake[0];
  impl->wake_write = wake[1];
  return PipeServer(std::move(impl));
}

bool PipeServer::accept(std::stop_token stop) {
  Impl& s = *impl_;
  if (s.client >= 0) return true;
  // Nobody can stop this wait (the service's own): the accept itself waits,
  // a system call and a second wait queue less per client than a poll that
  // also watches for a stop.
  if (!stop.stop_possible()) {
    while (!take_client(s, ::accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC))) {
    }
    return true;
  }
  const int wake_write = s.wake_write;
  std::stop_callback on_stop(stop, [wake_write] {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_write, &byte, 1);
  });
  while (!stop.stop_requested()) {
    pollfd p[2] = {{s.listener, POLLIN, 0}, {s.wake_read, POLLIN, 0}};
    const int r = ::poll(p, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::this_thread::sleep_for(milliseconds(100));
      continue;
    }
    if (p[1].revents != 0) {
      char sink[64];
      while (::read(s.wake_read, sink, sizeof sink) > 0) {
      }
      continue;
    }
    if (take_client(s, ::accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC))) return true;
  }
  return false;
}

Result<std::size_t> PipeServer::read(std::span<char> buf, milliseconds timeout,
                                     std::optional<ClientDeadline> deadline) {
  Impl& s = *impl_;
  if (s.client < 0) return fail(os_error(ENOTCONN));
  while (true) {
    const pipe_detail::Wait wait = pipe_detail::next_wait(timeout, deadline);
    // Bytes already there are taken without a wait: a system call less per
    // request, on the path every status takes. A passed deadline still
    // holds.
    if (!(wait.deadline_first && wait.length.count() == 0)) {
      const ssize_t n = ::recv(s.client, buf.data(), buf.size(), MSG_DONTWAIT);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(last_os_error());
    }
    auto ready = wait_within(s.client, POLLIN, wait);
    if (!ready) return fail(std::move(ready.error()));
    if (!*ready) {
      s.drop_client();
      s.stalled = true;
      return fail(wait.deadline_first ? pipe_detail::deadline_error(Stall::Request, *deadline)
                                      : pipe_detail::stall_error(Stall::Request, timeout));
    }
  }
}

Result<void> PipeServer::write_all(std::string_view bytes, milliseconds timeout,
                                   std::optional<ClientDeadline> deadline) {
  Impl& s = *impl_;
  if (s.client < 0) return fail(os_error(ENOTCONN));
  // The time-out runs from the last piece the socket took.
  auto stall_at = steady_clock::now() + timeout;
  while (!bytes.empty()) {
    const auto now = steady_clock::now();
    const bool too_late = deadline && now >= deadline->at;
    // Room in the socket is used without a wait first, as in read. A passed
    // deadline still holds.
    if (!too_late) {
      const std::size_t piece = std::min(bytes.size(), pipe_detail::REPLY_PIECE);
      // No SIGPIPE: a client that has gone is an error value, not the end of
      // the service.
      const ssize_t n = ::send(s.client, bytes.data(), piece, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        stall_at = steady_clock::now() + timeout;
        continue;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(last_os_error());
    }
    if (too_late || now >= stall_at) {
      s.drop_client();
      s.stalled = true;
      return fail(too_late ? pipe_detail::deadline_error(Stall::Reply, *deadline)
                           : pipe_detail::stall_error(Stall::Reply, timeout));
    }
    auto until = std::min(stall_at, now + ROOM_RETRY);
    if (deadline) until = std::min(until, deadline->at);
    auto ready = wait_for(s.client, POLLOUT, std::chrono::ceil<milliseconds>(until - now));
    if (!ready) return fail(std::move(ready.error()));
  }
  return {};
}

// Bytes written to a Unix socket stay readable by the client after the
// server closes its end, so there is nothing to wait for here.
Result<void> PipeServer::flush(milliseconds, std::optional<ClientDeadline>) {
  return {};
}

void PipeServer::disconnect() {
  impl_->drop_client();
}

Result<InputFile> PipeServer::open_as_client(const std::string& path) const {
  const auto uid = client_uid();
  if (!uid || *uid != static_cast<std::uint32_t>(::geteuid())) {
    return fail(os_error(EACCES).wrapped("файлы открываются только для клиента с правами службы"));
  }
  return InputFile::open_local(path);
}

void PipeServer::hold_client_identity() {}

// Kept after the client was dropped, as its process id is.
std::string PipeServer::client_account() const {
  const auto& uid = impl_->client_uid;
  return uid ? "uid " + std::to_string(*uid) : std::string();
}

std::optional<std::uint32_t> PipeServer::client_uid() const {
  if (impl_->client < 0) return std::nullopt;
  return impl_->client_uid;
}

IoWatcher& PipeServer::io_watcher() {
  return *impl_->watcher;
}

std::optional<std::uint32_t> PipeServer::client_pid() const {
  return impl_->client_pid;
}

bool PipeServer::client_stalled() const {
  return impl_->stalled;
}

struct PipeClient::Impl {
  int fd = -1;
  ~Impl() { close_fd(fd); }
};

PipeClient::PipeClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeClient::PipeClient(PipeClient&&) noexcept = default;
PipeClient& PipeClient::operator=(PipeClient&&) noexcept = default;
PipeClient::~PipeClient() = default;

Result<ServerIdentity> PipeClient::server_identity() const {
  if (!impl_ || impl_->fd < 0) return fail(os_error(EBADF));
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(impl_->fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    return fail(last_os_error());
  }
  if (len != sizeof cred || cred.pid <= 0) return fail(os_error(ENOTCONN));
  ServerIdentity server;
  server.pid = static_cast<std::uint32_t>(cred.pid);
  server.uid = static_cast<std::uint32_t>(cred.uid);
  server.own_uid = static_cast<std::uint32_t>(::geteuid());
  return server;
}

Result<PipeClient> PipeClient::connect(const std::string& name, milliseconds patience) {
  const std::string outer = "не удалось подключиться к каналу " + name;
  auto addr = socket_address(name);
  if (!addr) return fail(std::move(addr.error()).wrapped(outer));
  const auto deadline = steady_clock::now() + patience;
  while (true) {
    auto impl = std::make_unique<Impl>();
    impl->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (impl->fd < 0) return fail(last_os_error().wrapped(outer));
    if (::connect(impl->fd, reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) == 0) {
      return PipeClient(std::move(impl));
    }
    const int err = errno;
    // No socket yet, nobody listening, or a full queue: the service is
    // starting, restarting or busy.
    const bool transient = err == ENOENT || err == ECONNREFUSED || err == EAGAIN || err == EINTR;
    if (!transient || steady_clock::now() >= deadline) return fail(os_error(err).wrapped(outer));
    std::this_thread::sleep_for(milliseconds(50));
  }
}

Result<void> PipeClient::write_all(std::string_view bytes) {
  if (!impl_ || impl_->fd < 0) return fail(os_error(ENOTCONN));
  while (!bytes.empty()) {
    const ssize_t n = ::send(impl_->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error());
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<std::size_t> PipeClient::read(std::span<char> buf) {
  if (!impl_ || impl_->fd < 0) return fail(os_error(ENOTCONN));
  while (true) {
    const ssize_t n = ::recv(impl_->fd, buf.data(), buf.size(), 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    // A server that closed with bytes of ours unread resets the connection
    // after its reply: for the client that is the end all the same.
    if (errno == ECONNRESET) return std::size_t{0};
    if (errno != EINTR) return fail(last_os_error());
  }
}

Result<void> PipeClient::end_sending() {
  if (!impl_ || impl_->fd < 0) return fail(os_error(ENOTCONN));
  if (::shutdown(impl_->fd, SHUT_WR) != 0) return fail(last_os_error());
  return {};
}

void PipeClient::close() {
  if (impl_) close_fd(impl_->fd);
}

}  // namespace ombrel::platform
