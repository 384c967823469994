#include "control/pipe_server.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <span>

#include "base/text.hpp"
#include "platform/console.hpp"
#include "platform/pipe.hpp"

namespace ombrel::control {
namespace {

using std::chrono::milliseconds;

// One request line: through the read buffer, at most MAX_REQUEST_BYTES taken
// from the pipe, up to the first line feed or the end of the stream. Bytes
// after the line feed stay unread; they go with the client. `still_attached`
// tells a line that was read but refused (the client is read further) from
// a failed read.
Result<std::string> read_request(platform::PipeServer& pipe, milliseconds timeout,
                                 const platform::ClientDeadline& deadline, bool& still_attached) {
  still_attached = false;
  std::array<char, READ_BUFFER_BYTES> buf;
  std::string line;
  std::size_t taken = 0;
  while (taken < MAX_REQUEST_BYTES) {
    const std::size_t want = std::min(buf.size(), MAX_REQUEST_BYTES - taken);
    auto n = pipe.read(std::span<char>(buf.data(), want), timeout, deadline);
    if (!n) return fail(std::move(n.error()));
    if (*n == 0) break;
    taken += *n;
    const std::string_view chunk(buf.data(), *n);
    const std::size_t feed = chunk.find('\n');
    if (feed != std::string_view::npos) {
      line.append(chunk.substr(0, feed));
      break;
    }
    line.append(chunk);
  }
  if (!is_valid_utf8(line)) {
    still_attached = true;
    return fail("запрос не в кодировке UTF-8");
  }
  return line;
}

// The handler's two halves. Whatever escapes them is a fault of the handler,
// which must not take the channel down with it: the error then says so, and
// `crashed` tells it apart from a reply that could not be serialised.
Result<std::string> handle(RequestHandler& handler, std::string_view line, const ClientInfo& client,
                           bool& crashed) {
  crashed = false;
  try {
    RequestHandler::Perform perform = handler.prepare_for(line, client);
    return perform();
  } catch (const std::exception& e) {
    crashed = true;
    return fail(Error(e.what()).wrapped("запрос не обработан"));
  } catch (...) {
    crashed = true;
    return fail("запрос не обработан");
  }
}

// Sleeps for `pause` unless `stop` is requested first.
void pause_for(milliseconds pause, const std::stop_token& stop) {
  std::mutex mutex;
  std::condition_variable_any cv;
  std::unique_lock lock(mutex);
  cv.wait_for(lock, stop, pause, [] { return false; });
}

// Processes recently dropped for stalling, each until its penalty ends.
class Penalties {
 public:
  enum class Verdict { Free, Refuse, RefuseQuietly };

  explicit Penalties(milliseconds length) : length_(length) {}

  void add(std::optional<std::uint32_t> pid) {
    if (!pid || length_.count() <= 0) return;
    until_[*pid] = Entry{std::chrono::steady_clock::now() + length_, false};
  }

  // A process that keeps reconnecting is refused as often, but said only
  // once per penalty: it must not flood the log either.
  Verdict judge(std::optional<std::uint32_t> pid) {
    if (!pid || until_.empty()) return Verdict::Free;
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(until_, [now](const auto& entry) { return entry.second.until <= now; });
    const auto found = until_.find(*pid);
    if (found == until_.end()) return Verdict::Free;
    if (found->second.told) return Verdict::RefuseQuietly;
    found->second.told = true;
    return Verdict::Refuse;
  }

 private:
  struct Entry {
    std::chrono::steady_clock::time_point until;
    bool told;
  };
  milliseconds length_;
  std::map<std::uint32_t, Entry> until_;
};

}  // namespace

void serve_pipe(RequestHandler& handler, const PipeServerOptions& options, std::stop_token stop) {
  const std::string name =
      options.pipe_name.empty() ? platform::default_pipe_name() : options.pipe_name;
  const auto say = [&options](const std::string& line) {
    if (options.diagnostics) {
      options.diagnostics(line);
    } else {
      platform::write_stderr(line + "\n");
    }
  };
  const milliseconds timeout = options.client_timeout;

  std::optional<platform::PipeServer> pipe;
  while (!pipe) {
    if (stop.stop_requested()) return;
    auto created = platform::create_pipe(name);
    if (created) {
      pipe.emplace(std::move(*created));
    } else {
      say("канал не создан: " + created.error().to_string());
      pause_for(options.create_retry, stop);
    }
  }

  // The request deadline of the client being read; it outlives a round only
  // for a client that is read further.
  std::optional<platform::ClientDeadline> request_deadline;
  Penalties penalties(options.stall_penalty);
  while (pipe->accept(stop)) {
    const std::optional<std::uint32_t> pid = pipe->client_pid();
    if (!request_deadline) {
      const auto verdict = penalties.judge(pid);
      if (verdict == Penalties::Verdict::Refuse) {
        say("соединение отклонено: клиент недавно отключён за задержку");
      }
      if (verdict != Penalties::Verdict::Free) {
        pipe->disconnect();
        continue;
      }
    }
    if (!request_deadline) {
      request_deadline = platform::ClientDeadline::from_now(options.request_deadline);
    }
    bool still_attached = false;
    auto line = read_request(*pipe, timeout, *request_deadline, still_attached);
    if (!line) {
      // No reply and no disconnect: a client still attached is read further
      // on the next round (a stalled one has been dropped already).
      say("соединение не обслужено: " +
          std::move(line.error()).wrapped("не удалось прочитать сообщение канала").to_string());
      if (!still_attached) request_deadline.reset();
      if (pipe->client_stalled()) penalties.add(pid);
      continue;
    }
    request_deadline.reset();
    bool crashed = false;
    // The client is attached until the reply is sent, which is as long as
    // files may be opened on its behalf.
    const ClientInfo client{
        pipe->client_uid(),
        [&served = *pipe](const std::string& path) { return served.open_as_client(path); }, pid,
        &pipe->io_watcher()};
    auto reply = handle(handler, *line, client, crashed);
    // Handling may take long (cores starting); the reply's time starts now.
    const auto reply_deadline = platform::ClientDeadline::from_now(options.reply_deadline);
    if (!reply && crashed) {
      say(reply.error().to_string());
    } else if (!reply) {
      say("ответ не ушёл: " +
          std::move(reply.error()).wrapped("ответ не сериализуется").to_string());
    } else if (auto written = pipe->write_all(*reply, timeout, reply_deadline); !written) {
      say("ответ не ушёл: " +
          std::move(written.error()).wrapped("не удалось отправить ответ").to_string());
    }
    if (auto flushed = pipe->flush(timeout, reply_deadline); !flushed) {
      say("ответ не дочитан: " + flushed.error().to_string());
    }
    if (pipe->client_stalled()) penalties.add(pid);
    pipe->disconnect();
  }
}

}  // namespace ombrel::control
