#pragma once
// The control channel's transport. On Windows a named pipe with a single
// instance, on Linux a Unix domain socket; both carry one request and one
// reply per connection and serve one client at a time.
//
// No wait on a client is unbounded: a client that stops sending before its
// line is complete, or stops reading its reply, would otherwise hold the one
// instance and with it the whole channel. Every read, write and flush takes a
// time-out of "no progress"; when it runs out the client is dropped (the
// server disconnects it) and the call fails with a message that says so.
// A client that does make progress, a byte at a time, is bounded as well:
// the calls also take a deadline for the whole request or the whole reply.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "platform/files/files.hpp"
#include "platform/files/io_bound.hpp"

namespace ombrel::platform {

// "\\.\pipe\OmbrelService" on Windows; on Linux $OMBREL_PIPE when set and
// not empty, else "/run/ombrel/service.sock".
std::string default_pipe_name();

// The process that serves under the channel's name when `create_pipe`
// cannot have it, and its account ("DOMAIN\\name"; on Linux the user's name,
// or the number of a user without one).
struct PipeHolder {
  std::uint32_t pid = 0;
  std::string account;
};

// Who holds `name`, found by connecting to it as a client and asking the
// system about the other end (which drops that one connection at once);
// none when nobody serves under it, or when its one instance is busy.
std::optional<PipeHolder> pipe_name_holder(const std::string& name);

// The last moment for one side of an exchange with a client: its whole
// request read, or its whole reply written and flushed. A client still busy
// then is dropped however steadily it trickles. `total` is the time it was
// given, for the message.
struct ClientDeadline {
  std::chrono::steady_clock::time_point at;
  std::chrono::milliseconds total;

  static ClientDeadline from_now(std::chrono::milliseconds total) {
    return {std::chrono::steady_clock::now() + total, total};
  }
};

// The server end: one pipe instance (or one listening socket) for the life
// of its owner. Not shared between threads, except that `accept` may be
// interrupted through its stop token from any thread.
class PipeServer {
 public:
  struct Impl;

  explicit PipeServer(std::unique_ptr<Impl> impl);
  PipeServer(PipeServer&&) noexcept;
  PipeServer& operator=(PipeServer&&) noexcept;
  ~PipeServer();

  // Waits for a client. A client still attached from before is kept and
  // served again, as is a client that came and went before the call: the
  // outcome of the wait itself is not judged here, a broken client shows up
  // as a failed read or an empty request. False only when `stop` was
  // requested.
  bool accept(std::stop_token stop);

  // Reads at most buf.size() bytes; 0 is the end of the stream (the client
  // closed its end). Fails on a system error, or after `timeout` without a
  // byte, or once `deadline` has come, in which case the client has been
  // dropped.
  Result<std::size_t> read(std::span<char> buf, std::chrono::milliseconds timeout,
                           std::optional<ClientDeadline> deadline = std::nullopt);

  // Writes every byte, in pieces, each piece given `timeout` to be taken up
  // by the client; a client that takes nothing for that long, or has not
  // taken everything by `deadline`, is dropped.
  Result<void> write_all(std::string_view bytes, std::chrono::milliseconds timeout,
                         std::optional<ClientDeadline> deadline = std::nullopt);

  // Waits until the client has read everything written (on Windows a
  // disconnect throws unread bytes away). A client that has gone already is
  // no failure; one that reads nothing for `timeout`, or has not read
  // everything by `deadline`, is dropped and reported.
  Result<void> flush(std::chrono::milliseconds timeout,
                     std::optional<ClientDeadline> deadline = std::nullopt);

  // Ends the connection with the current client, if any; unread bytes in
  // either direction are thrown away.
  void disconnect();

  // The user id of the connected client, taken from the socket's peer
  // credentials when the client was accepted (Linux). Empty on Windows,
  // where the pipe's access list alone decides who may connect, and when
  // the system could not tell.
  std::optional<std::uint32_t> client_uid() const;

  // Who the connected client is, for telling callers apart in the service's
  // log and events: "uid 1000" on Linux (the peer credentials), the SID of
  // the client's user on Windows ("S-1-5-21-..."). Empty when the system
  // cannot tell. Found when first asked and kept until the next accept.
  std::string client_account() const;

  // The process id of the connected client, taken when it was accepted
  // (Windows: from the pipe; Linux: from the peer credentials). Empty when
  // the system could not tell. It stays readable after the client was
  // dropped, until the next accept, so that a client dropped for stalling
  // can still be named.
  std::optional<std::uint32_t> client_pid() const;

  // Opens `path` for reading on behalf of the connected client: a file the
  // client may not read itself fails as if it were not there. Windows: the
  // file is opened and kept only if its access list grants reading to the
  // client's token, which the thread takes on just long enough to copy
  // (identification level is enough, so clients need not let the service
  // act in their name). Linux: only a client with the service's own user id
  // is served; anyone else is refused (the Linux port takes files from root
  // alone).
  Result<InputFile> open_as_client(const std::string& path) const;

  // Keeps who the connected client is, for files opened for it later in
  // this connection: as soon as a request is known to open files for its
  // client, since a client may close its end at once (a desktop about to
  // quit). Windows takes the client's token now: the system lends it only
  // once the client's bytes have been read and no longer once the client has
  // gone. Linux read the peer credentials at accept. A failure is left to
  // `open_as_client`, which says it.
  void hold_client_identity();

  // The watcher that bounds this server's blocking calls, for other
  // blocking calls made on the serving thread for the client (its offered
  // files, under a `BoundedIo`).
  IoWatcher& io_watcher();

  // Whether the current (or last) client was dropped by a read, write or
  // flush for stalling or for passing its deadline. Reset by accept.
  bool client_stalled() const;

#ifdef _WIN32
  // The pipe's discretionary access list as SDDL, read back from the handle.
  Result<std::string> security_sddl() const;
#endif

 private:
  std::unique_ptr<Impl> impl_;
};

// Creates the server end under `name`. Windows: a duplex, byte-mode,
// blocking pipe with one instance, 64 KiB buffers and the access list
// "D:(A;;GA;;;SY)(A;;GRGW;;;IU)". Linux: the socket's folder is created, a
// stale socket file is replaced and the socket is made mode 0666.
// Errors: "не удалось разобрать дескриптор безопасности канала" when the
// access list is not accepted, "не удалось создать канал " + name otherwise.
Result<PipeServer> create_pipe(const std::string& name);

// Who serves the other end of a client's connection, as far as the client
// can tell: what it needs to judge, before it sends anything, whether the
// server is the service and not a process that took the name while the
// service was down.
struct ServerIdentity {
  // Windows: GetNamedPipeServerProcessId; Linux: the peer credentials.
  std::uint32_t pid = 0;
  // Linux: the server's user id (peer credentials, taken by the kernel when
  // the connection was made) and the client's own effective user id.
  std::optional<std::uint32_t> uid;
  std::optional<std::uint32_t> own_uid;
  // Windows: whether the server process runs as LocalSystem or as an
  // administrator with the group enabled (an elevated one); empty with
  // `account_error` when its token could not be read.
  std::optional<bool> system_or_elevated_admin;
  std::string account_error;
};

// The client end, for ombrelctl and tests.
class PipeClient {
 public:
  struct Impl;

  explicit PipeClient(std::unique_ptr<Impl> impl);
  PipeClient(PipeClient&&) noexcept;
  PipeClient& operator=(PipeClient&&) noexcept;
  ~PipeClient();

  // Opens a connection. While the server is busy with another client (or
  // not there yet: between two starts, or before its first) the attempt is
  // repeated until `patience` has passed.
  static Result<PipeClient> connect(const std::string& name, std::chrono::milliseconds patience);

  Result<void> write_all(std::string_view bytes);
  // 0 is the end of the stream: the server disconnected.
  Result<std::size_t> read(std::span<char> buf);
  // Everything until the server disconnects.
  Result<std::string> read_to_end();
  // Ends the request without closing the connection, so that the reply can
  // still be read: shutdown(SHUT_WR) on Linux. A named pipe cannot be closed
  // for writing only, so on Windows this fails and changes nothing.
  Result<void> end_sending();
  void close();
  // The process at the other end; fails when the system cannot tell.
  Result<ServerIdentity> server_identity() const;

 private:
  std::unique_ptr<Impl> impl_;
};

// One exchange: connects (with `patience` as above), sends `line` (a line
// feed is added when it has none) and returns everything the server sends
// back until it disconnects.
Result<std::string> pipe_exchange(const std::string& name, std::string_view line,
                                  std::chrono::milliseconds patience);

}  // namespace ombrel::platform
