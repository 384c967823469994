#include "control/pipe_server.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/text.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/host/console.hpp"
#include "platform/host/event_log.hpp"

namespace ombrel::control {
namespace {

using std::chrono::milliseconds;

// One request line: through the read buffer, at most MAX_REQUEST_BYTES taken
// from the pipe, up to the first line feed or the end of the stream.
// `pending` holds bytes read after the line feed of a refused line of the same
// client, and is where such bytes go: they start its next line, so that a
// good line sent in the same write as a bad one is served all the same.
// After a good line whatever follows is left to go with the client.
// `still_attached` tells a line that was read but refused (the client is read
// further) from a failed read.
Result<std::string> read_request(platform::PipeServer& pipe, milliseconds timeout,
                                 const platform::ClientDeadline& deadline, std::string& pending,
                                 bool& still_attached) {
  still_attached = false;
  // Looked into before the move: g++ 12 at -O3 takes a moved-to string for
  // one that may be uninitialised.
  std::size_t feed = pending.find('\n');
  std::string line = std::move(pending);
  pending.clear();
  std::size_t taken = line.size();
  std::array<char, READ_BUFFER_BYTES> buf;
  while (feed == std::string::npos && taken < MAX_REQUEST_BYTES) {
    const std::size_t want = std::min(buf.size(), MAX_REQUEST_BYTES - taken);
    auto n = pipe.read(std::span<char>(buf.data(), want), timeout, deadline);
    if (!n) return fail(std::move(n.error()));
    if (*n == 0) break;
    taken += *n;
    const std::string_view chunk(buf.data(), *n);
    const std::size_t at = chunk.find('\n');
    if (at != std::string_view::npos) feed = line.size() + at;
    line.append(chunk);
  }
  std::string rest;
  if (feed != std::string::npos) {
    rest = line.substr(feed + 1);
    line.resize(feed);
  }
  if (!is_valid_utf8(line)) {
    still_attached = true;
    pending = std::move(rest);
    return fail("запрос не в кодировке UTF-8");
  }
  return line;
}

// What became of a line handed to the handler.
struct Handled {
  enum class Outcome {
    Reply,           // `text` is the reply line
    Unserialisable,  // `text` is the error chain
    Crashed,         // the handler threw; `text` says so
  };
  Outcome outcome;
  std::string text;
};

// The handler's two halves. Whatever escapes them is a fault of the handler,
// which must not take the channel down with it. A request is carried out
// even when its client has closed its end meanwhile: the end of the stream
// ends the line, and the reply that cannot arrive is said in the log.
Handled handle(RequestHandler& handler, std::string_view line, const ClientInfo& client) {
  try {
    RequestHandler::Perform perform = handler.prepare_for(line, client);
    auto reply = perform();
    if (!reply) {
      return {Handled::Outcome::Unserialisable,
              std::move(reply.error()).wrapped("ответ не сериализуется").to_string()};
    }
    return {Handled::Outcome::Reply, std::move(*reply)};
  } catch (const std::exception& e) {
    return {Handled::Outcome::Crashed, Error(e.what()).wrapped("запрос не обработан").to_string()};
  } catch (...) {
    return {Handled::Outcome::Crashed, "запрос не обработан"};
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

// Lines said about clients, each once per user and window, the repeats
// counted and said in one line when the window is over.
class Repeats {
 public:
  using Say = std::function<void(const std::string&)>;

  Repeats(milliseconds window, Say say) : window_(window), say_(std::move(say)) {}

  void say(const std::string& who, const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    end_runs(now);
    if (window_.count() <= 0) return say_(line);
    const auto [run, fresh] = runs_.try_emplace(Key{who, line}, Run{now, 0});
    if (!fresh) {
      ++run->second.repeats;
      return;
    }
    if (runs_.size() > RUNS_KEPT) {
      // Distinct lines are few (a client's text never reaches them
      // unescaped, and is rarely in them at all); should they not be, the
      // oldest run ends early, its count said.
      auto oldest = runs_.begin();
      for (auto it = runs_.begin(); it != runs_.end(); ++it) {
        if (it->second.since < oldest->second.since) oldest = it;
      }
      end(oldest);
    }
    say_(line);
  }

  // Says the counts of the runs whose window is over.
  void end_runs(std::chrono::steady_clock::time_point now) {
    for (auto it = runs_.begin(); it != runs_.end();) {
      it = now - it->second.since >= window_ ? end(it) : std::next(it);
    }
  }

  void end_all() {
    for (auto it = runs_.begin(); it != runs_.end();) it = end(it);
  }

 private:
  struct Key {
    std::string who;
    std::string line;
    auto operator<=>(const Key&) const = default;
  };
  struct Run {
    std::chrono::steady_clock::time_point since;
    std::size_t repeats;
  };
  static constexpr std::size_t RUNS_KEPT = 64;

  std::map<Key, Run>::iterator end(std::map<Key, Run>::iterator run) {
    if (run->second.repeats != 0) {
      const std::string& who = run->first.who;
      say_("повторено ещё " + std::to_string(run->second.repeats) + " раз за минуту, клиент " +
           (who.empty() ? std::string("неизвестен") : who) + ": " + run->first.line);
    }
    return runs_.erase(run);
  }

  milliseconds window_;
  Say say_;
  std::map<Key, Run> runs_;
};

}  // namespace

void serve_pipe(RequestHandler& handler, const PipeServerOptions& options, std::stop_token stop) {
  const std::string name =
      options.pipe_name.empty() ? platform::default_pipe_name() : options.pipe_name;
  // Lines may carry a client's text (a path in an error): one line each.
  const auto say = [&options](const std::string& line) {
    if (options.diagnostics) {
      options.diagnostics(escape_controls(line));
    } else {
      platform::write_stderr(escape_controls(line) + "\n");
    }
  };
  const milliseconds timeout = options.client_timeout;

  std::optional<platform::PipeServer> pipe;
  // Who held the name when last said, and when: a process that sits on the
  // name for hours must not fill the log with the same line. Once known, a
  // holder stays known while the failure is the same: its one instance may
  // stay busy with our earlier look (Windows), or its queue full of them.
  platform::PipeHolder holder;  // pid 0: none known
  std::string last_failure;
  std::chrono::steady_clock::time_point holder_said_at{};
  while (!pipe) {
    if (stop.stop_requested()) return;
    auto created = platform::create_pipe(name);
    if (created) {
      pipe.emplace(std::move(*created));
      break;
    }
    const std::string failure = "канал не создан: " + created.error().to_string();
    const auto now = std::chrono::steady_clock::now();
    const platform::PipeHolder found =
        platform::pipe_name_holder(name).value_or(platform::PipeHolder{});
    const bool same =
        holder.pid != 0 && failure == last_failure && (found.pid == 0 || found.pid == holder.pid);
    if (found.pid != 0 || !same) holder = found;
    if (holder.pid == 0) {
      say(failure);
    } else if (!same || now - holder_said_at >= options.holder_report_every) {
      const std::string held = failure + ": канал держит процесс " + std::to_string(holder.pid) +
                               " (" + holder.account + ")";
      say(held);
      platform::report_event(platform::EventKind::PipeHeld, escape_controls(held));
      holder_said_at = now;
    }
    last_failure = failure;
    pause_for(options.create_retry, stop);
  }

  // The request deadline of the client being read; it outlives a round only
  // for a client that is read further.
  std::optional<platform::ClientDeadline> request_deadline;
  // What followed a refused line of the client being read further.
  std::string pending;
  Penalties penalties(options.stall_penalty);
  Repeats repeats(options.repeat_window, say);
  // What is said about the client being served.
  const auto say_of_client = [&](const std::string& line) {
    repeats.say(pipe->client_account(), line);
  };
  // Lines of the client being read that were not UTF-8. The first is said at
  // once, the rest only counted, and said in one line when that client's
  // reading ends: a client may send such lines as fast as it can write them
  // for as long as it is read, and each said would fill the service's log.
  std::size_t refused_lines = 0;
  const auto end_refusals = [&] {
    if (refused_lines > 1) {
      say_of_client("соединение не обслужено: ещё строк не в кодировке UTF-8 от того же клиента: " +
                    std::to_string(refused_lines - 1));
    }
    refused_lines = 0;
  };
  while (pipe->accept(stop)) {
    repeats.end_runs(std::chrono::steady_clock::now());
    std::unique_lock<std::mutex> exchange;
    if (options.exchange_lock != nullptr) exchange = std::unique_lock(*options.exchange_lock);
    const std::optional<std::uint32_t> pid = pipe->client_pid();
    if (!request_deadline) {
      const auto verdict = penalties.judge(pid);
      if (verdict == Penalties::Verdict::Refuse) {
        say_of_client("соединение отклонено: клиент недавно отключён за задержку");
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
    auto line = read_request(*pipe, timeout, *request_deadline, pending, still_attached);
    if (!line) {
      // No reply and no disconnect: a client still attached is read further
      // on the next round (a stalled one has been dropped already).
      if (!still_attached || refused_lines++ == 0) {
        say_of_client(
            "соединение не обслужено: " +
            std::move(line.error()).wrapped("не удалось прочитать сообщение канала").to_string());
      }
      if (!still_attached) {
        end_refusals();
        request_deadline.reset();
        pending.clear();
      }
      if (pipe->client_stalled()) penalties.add(pid);
      continue;
    }
    end_refusals();
    request_deadline.reset();
    // The client is attached until the reply is sent, which is as long as
    // files may be opened on its behalf.
    const ClientInfo client{
        pipe->client_uid(),
        [&served = *pipe](const std::string& path) { return served.open_as_client(path); }, pid,
        &pipe->io_watcher(), [&served = *pipe] { served.hold_client_identity(); }};
    // Events the request causes are the client's, limited as its own.
    const Handled handled = [&] {
      const platform::EventCaller caller([&served = *pipe] { return served.client_account(); });
      return handle(handler, *line, client);
    }();
    // Handling may take long (cores starting); the reply's time starts now.
    const auto reply_deadline = platform::ClientDeadline::from_now(options.reply_deadline);
    bool written = false;
    switch (handled.outcome) {
      case Handled::Outcome::Crashed:
        say_of_client(handled.text);
        break;
      case Handled::Outcome::Unserialisable:
        say_of_client("ответ не ушёл: " + handled.text);
        break;
      case Handled::Outcome::Reply:
        if (auto sent = pipe->write_all(handled.text, timeout, reply_deadline); !sent) {
          say_of_client("ответ не ушёл: " +
                        std::move(sent.error()).wrapped("не удалось отправить ответ").to_string());
        } else {
          written = true;
        }
        break;
    }
    // Only a reply that went out can be waited for.
    if (written) {
      if (auto flushed = pipe->flush(timeout, reply_deadline); !flushed) {
        say_of_client("ответ не дочитан: " + flushed.error().to_string());
      }
    }
    if (pipe->client_stalled()) penalties.add(pid);
    pipe->disconnect();
  }
  repeats.end_all();
}

}  // namespace ombrel::control
