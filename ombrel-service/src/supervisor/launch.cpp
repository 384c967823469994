#include "supervisor/launch.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/text.hpp"
#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "platform/host/console.hpp"
#include "platform/host/event_log.hpp"
#include "platform/process/proclist.hpp"
#include "platform/trust/install_folder.hpp"
#include "registry/registry.hpp"
#include "serving/diag_log.hpp"
#include "serving/line_reader.hpp"

namespace ombrel::supervisor {
namespace {

constexpr std::string_view NO_EXE_PATH = "не удалось определить путь службы";
constexpr std::string_view NO_EXE_PARENT = "у пути службы нет родительского каталога";
constexpr std::string_view CORE_MISSING = "рядом со службой нет ";
constexpr std::string_view CANNOT_START = "не удалось запустить ";
constexpr std::string_view NO_STDIN = "у процесса ядра нет стандартного ввода";
constexpr std::string_view CANNOT_DELIVER = "не удалось передать конфиг ядру";
constexpr std::string_view CANNOT_WRITE = "не удалось записать ";
constexpr std::string_view NO_READER_THREAD = "не удалось запустить поток чтения вывода ядра";
constexpr std::string_view PORT_TAKEN = "порт 127.0.0.1:";
constexpr std::string_view PORT_TAKEN_BY = " занят другим процессом (";
constexpr std::string_view PORTS_UNCHECKED = "не проверить порты 127.0.0.1";
constexpr std::string_view CORE_AS_SERVICE = "ядро прокси запущено от имени службы: ";
constexpr std::string_view CORE_ENDED_AT_START = "ядро завершилось при запуске с кодом ";
// How long a proxy core that refused its document is given to end, so that
// its exit status can tell a start its account could not make.
constexpr auto REFUSAL_SETTLES = std::chrono::seconds(2);
constexpr std::string_view UNSAFE_IMAGE = "файл ядра доступен на запись не только администраторам";
constexpr std::string_view IMAGE_UNCHECKED = "не проверить права файла ядра";

// The diagnostic file of one tunnel-core run, shared by its two copiers so
// that lines of standard output and standard error land whole.
struct TunnelLog {
  std::mutex mutex;
  serving::DiagLog log;
};

std::string data_folder(const CoreEnvironment& env) {
  return env.data_dir.empty() ? platform::data_dir() : env.data_dir;
}

// Ends a core and reaps it; a core that cannot be ended is not waited for,
// which would hang the caller under the state lock.
void end_core(platform::Process& core) noexcept {
  core = platform::Process();
}

// Takes the fall-back when the proxy core ended by itself, in its own
// account, before it wrote a line, with a status that says its account
// could not load or open what it needs; that status is the why.
void fall_back_if_refused_at_start(platform::Process& core, bool spoke,
                                   CoreAccountFallback* fallback) {
  if (fallback == nullptr || spoke || !core.unprivileged_account_used()) return;
  const auto ended = core.try_wait();
  if (!ended || !ended->has_value() || !platform::ended_for_want_of_rights(**ended)) return;
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(**ended));
  fallback->take(Error(std::string(CORE_ENDED_AT_START) + code), true);
}

// The proxy core's output, noting that some came: a core that has spoken
// got past its start.
class NotingReader final : public Reader {
 public:
  NotingReader(std::unique_ptr<Reader> inner, std::shared_ptr<std::atomic<bool>> spoke)
      : inner_(std::move(inner)), spoke_(std::move(spoke)) {}
  Result<std::size_t> read(std::span<char> buf) override {
    auto got = inner_->read(buf);
    if (got && *got > 0) spoke_->store(true);
    return got;
  }

 private:
  std::unique_ptr<Reader> inner_;
  std::shared_ptr<std::atomic<bool>> spoke_;
};

// Starts `body` on a thread of its own that nobody waits for. A thread the
// system refuses is an error: the caller must not leave a core whose output
// nobody drains, or the core blocks as soon as its pipe fills.
template <class Body>
Result<void> start_detached(Body body) {
  try {
    std::thread([body = std::move(body)]() mutable noexcept {
      try {
        body();
      } catch (...) {
        // A reader that fails stops reading; the pipe closes with it, so
        // the core notices rather than blocking.
      }
    }).detach();
    return {};
  } catch (const std::system_error& e) {
    return fail(Error(e.what()).wrapped(std::string(NO_READER_THREAD)));
  }
}

std::unique_ptr<Reader> output_reader(std::optional<platform::PipeReader> pipe) {
  // Without a pipe the reader fails at once and its thread ends.
  return std::make_unique<platform::PipeReader>(std::move(pipe).value_or(platform::PipeReader()));
}

void copy_tunnel_output(Reader& pipe, TunnelLog& log) {
  serving::LineReader lines(pipe);
  while (const auto line = lines.next_line()) {
    // The log is drained past its cap too: the core must never block on a
    // full pipe.
    std::lock_guard<std::mutex> guard(log.mutex);
    log.log.write_line(*line);
  }
}

Result<void> start_copier(std::optional<platform::PipeReader> pipe,
                          const std::shared_ptr<TunnelLog>& log) {
  return start_detached([reader = output_reader(std::move(pipe)), log = log]() mutable {
    copy_tunnel_output(*reader, *log);
    reader.reset();
    log.reset();
  });
}

// A core is started to end with the service, however the service ends: a
// core left behind by a crash would hold the tunnel and the ports until the
// next start cleaned it up.
// The cores need no console: made for each start of a service that has
// none, it would cost a console host process per start.
// Nothing of the service's environment crosses over: what the service was
// given is not theirs, and the proxy core parses what the network sends.
platform::SpawnOptions core_options(platform::SpawnOptions options) {
  options.end_with_service = true;
  options.no_console = true;
  options.own_environment = true;
  return options;
}

// The proxy core parses everything the servers send: a flaw in it must not
// come with the service's rights. It needs none (its document comes on
// standard input, it listens above port 1024 and connects out); the tunnel
// core keeps them, since it makes the network adapter.
platform::SpawnOptions proxy_core_options(const std::string& path, bool unprivileged) {
  auto options = core_options(platform::SpawnOptions{path,
                                                     {"run", "-c", "stdin:"},
                                                     std::nullopt,
                                                     platform::Stdio::Pipe,
                                                     platform::Stdio::Pipe,
                                                     platform::Stdio::Null});
  options.unprivileged = unprivileged;
  return options;
}

platform::SpawnOptions tunnel_core_options(const std::string& path,
                                           const std::string& document_path) {
  return core_options(platform::SpawnOptions{path,
                                             {"run", "-c", document_path, "--disable-color"},
                                             std::nullopt,
                                             platform::Stdio::Null,
                                             platform::Stdio::Pipe,
                                             platform::Stdio::Pipe});
}

// Hands the proxy core its document; a core that cannot take it is left to
// the caller to end.
Result<void> deliver_document(platform::Process& core, const std::string& document) {
  Result<void> delivered;
  if (auto input = core.take_stdin()) {
    delivered = input->write_all(document);
    if (!delivered)
      delivered = fail(std::move(delivered.error()).wrapped(std::string(CANNOT_DELIVER)));
    // The core reads its document up to the end of its input.
    input->close();
  } else {
    delivered = fail(std::string(NO_STDIN));
  }
  if (!delivered && core.unprivileged_account_used()) {
    // A core that died in its start closed its input with it: its status
    // tells whether its account was the cause.
    const auto until = std::chrono::steady_clock::now() + REFUSAL_SETTLES;
    while (std::chrono::steady_clock::now() < until) {
      const auto ended = core.try_wait();
      if (!ended || ended->has_value()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return delivered;
}

// Written over in place: emptying the previous run's document first would
// make the file system wait for its earlier write to the disk on every start.
Result<void> write_tunnel_document(const std::string& path, std::string_view document) {
  auto written = platform::rewrite_file(path, document);
  if (!written) return fail(std::move(written.error()).wrapped(std::string(CANNOT_WRITE) + path));
  return {};
}

// The calls of one start on files that other accounts may open too, each
// bounded: an open waits for an oplock's holder to let go, and the start
// runs under the state lock, which the watchdog and every request need.
// A call that runs over is cancelled where the system can (Windows) and
// fails the start, naming the file.
class SharedFiles {
 public:
  explicit SharedFiles(const CoreEnvironment& env)
      : env_(env),
        watcher_(platform::make_io_watcher()),
        io_(*watcher_, env.file_stall, std::chrono::steady_clock::now() + 3 * env.file_stall) {}

  // `call` on the file at `path`; "{path} не ответил за {span}" when it, or
  // any call before it, ran over.
  template <class Call>
  auto on(const std::string& path, Call call) -> decltype(call()) {
    if (env_.at_file) {
      const platform::BoundedCall bounded;
      env_.at_file(path);
    }
    if (overran()) return fail(unanswered(path));
    auto done = call();
    if (overran()) return fail(unanswered(path));
    return done;
  }

  bool overran() const { return io_.outcome() != platform::BoundedIo::Ran::InTime; }

 private:
  std::string unanswered(const std::string& path) const {
    return platform::unanswered_text(path, io_.bound_span());
  }

  const CoreEnvironment& env_;
  std::unique_ptr<platform::IoWatcher> watcher_;
  platform::BoundedIo io_;
};

// The core images, opened before the processes are created and held while
// they are: the system's own open of an image waits on an oplock as any
// other, without a bound, and an image the service holds open gets no
// exclusive oplock from anyone else. Each open is bounded.
Result<std::vector<platform::InputFile>> hold_images(
    const std::vector<platform::SpawnOptions>& starts, SharedFiles& files) {
  std::vector<platform::InputFile> images;
  for (const auto& start : starts) {
    auto image = files.on(start.program, [&]() -> Result<platform::InputFile> {
      const platform::BoundedCall bounded;
      return platform::InputFile::open(start.program);
    });
    if (!image && files.overran()) return fail(std::move(image.error()));
    if (!image) {
      return fail(std::move(image.error()).wrapped(std::string(CANNOT_START) + start.program));
    }
    images.push_back(std::move(*image));
  }
  return images;
}

// A core runs with the service's rights (the tunnel core as the system
// account): it starts only from an image that nobody but the trusted may
// change, lying in a folder where nobody else may put another in its place,
// both judged by the installation folder's rule. Judged before every start,
// restarts included, since rights may change while the service runs;
// through the images held, so that what is judged is what starts (nobody
// else may swap it once its folder is found safe). Either image's folder is
// the one the system names for the held file, a link on the way resolved.
Result<void> judge_images(const std::vector<platform::SpawnOptions>& starts,
                          const std::vector<platform::InputFile>& images, SharedFiles& files) {
  std::vector<std::string> safe_folders;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const std::string& program = starts[i].program;
    const auto refused = [&](Error why) {
      return fail(std::move(why).wrapped(std::string(CANNOT_START) + program));
    };
    auto file_safe = platform::is_safe_program_file(images[i]);
    if (!file_safe)
      return refused(std::move(file_safe.error()).wrapped(std::string(IMAGE_UNCHECKED)));
    if (!*file_safe) return refused(Error(std::string(UNSAFE_IMAGE)));
    auto folder = platform::held_file_folder(images[i]);
    if (!folder) return refused(std::move(folder.error()).wrapped(std::string(IMAGE_UNCHECKED)));
    if (std::find(safe_folders.begin(), safe_folders.end(), *folder) != safe_folders.end())
      continue;
    // The folders on the way are opened by path, and others may hold an
    // oplock on one above the installation folder: bounded as the images.
    auto folder_safe = files.on(*folder, [&] {
      const platform::BoundedCall bounded;
      return platform::is_safe_install_folder(*folder);
    });
    if (!folder_safe && files.overran()) return fail(std::move(folder_safe.error()));
    if (!folder_safe) return refused(std::move(folder_safe.error()));
    if (!*folder_safe) {
      return refused(Error(std::string(platform::UNSAFE_INSTALL_FOLDER) + *folder));
    }
    safe_folders.push_back(std::move(*folder));
  }
  return {};
}

// Ends the tunnel core first: while it runs, traffic it captured goes to the
// proxy core, which must outlive it.
// A proxy core that its account let die in its start takes the fall-back
// here, where every dropped set of cores passes.
void end_cores(RunningCores& cores) noexcept {
  if (cores.singbox) {
    end_core(*cores.singbox);
    cores.singbox.reset();
  }
  try {
    fall_back_if_refused_at_start(cores.xray, cores.xray_spoke && cores.xray_spoke->load(),
                                  cores.fallback);
  } catch (...) {
    // Ending the core matters more than saying why it could not start.
  }
  end_core(cores.xray);
}

}  // namespace

RunningCores& RunningCores::operator=(RunningCores&& other) noexcept {
  if (this != &other) {
    end_cores(*this);
    xray = std::move(other.xray);
    singbox = std::move(other.singbox);
    display_label = std::move(other.display_label);
    channel_labels = std::move(other.channel_labels);
    channel_remarks = std::move(other.channel_remarks);
    started_at = other.started_at;
    current_channel = std::move(other.current_channel);
    proxy_port = other.proxy_port;
    xray_spoke = std::move(other.xray_spoke);
    fallback = std::exchange(other.fallback, nullptr);
  }
  return *this;
}

RunningCores::~RunningCores() {
  end_cores(*this);
}

Result<std::string> locate_core(std::string_view file_name, const CoreEnvironment& env) {
  std::string dir = env.install_dir;
  if (dir.empty()) {
    auto exe = platform::current_exe_path();
    if (!exe) return fail(std::move(exe.error()).wrapped(std::string(NO_EXE_PATH)));
    dir = platform::parent_path(*exe);
    if (dir.empty()) return fail(std::string(NO_EXE_PARENT));
  }
  std::string path = platform::join_path(dir, file_name);
  if (!platform::path_exists(path)) {
    return fail(std::string(CORE_MISSING) + std::string(file_name) + ": " + path);
  }
  return path;
}

Result<void> check_local_ports(const CoreLaunch& launch, const CoreEnvironment& env) {
  if (launch.local_ports.empty()) return {};
  const auto ask = [&] {
    return env.listeners ? env.listeners(launch.local_ports)
                         : platform::loopback_listeners(launch.local_ports);
  };
  auto listeners = ask();
  // A listener of the proxy core's own account is this service's: nothing
  // else runs as it. What an earlier core left is ended, and the ports
  // looked at again.
  if (listeners && std::any_of(listeners->begin(), listeners->end(), [](const auto& listener) {
        return listener.pid && platform::runs_as_core_account(*listener.pid);
      })) {
    // How many went is not asked: the ports looked at again tell whether
    // they are free now.
    (void)platform::end_leftover_core_processes();
    listeners = ask();
  }
  // A start that cannot tell whose the ports are does not hand them over.
  if (!listeners) return fail(std::move(listeners.error()).wrapped(std::string(PORTS_UNCHECKED)));
  if (listeners->empty()) return {};
  const platform::PortListener& first = listeners->front();
  return fail(std::string(PORT_TAKEN) + std::to_string(first.port) + std::string(PORT_TAKEN_BY) +
              (first.pid ? std::to_string(*first.pid) : std::string("?")) + ")");
}

namespace {

Result<RunningCores> start_cores_once(const CoreLaunch& launch, const CoreEnvironment& env,
                                      CoreAccountFallback& fallback, bool in_own_account) {
  const auto xray_path = locate_core(PROXY_CORE_FILE, env);
  if (!xray_path) return fail(xray_path.error());
  // Before the cores are made: a listener found now is another process's,
  // and one that takes a port later makes the proxy core exit, which the
  // watchdog notices and says.
  OMBREL_TRY(check_local_ports(launch, env));
  std::vector<platform::SpawnOptions> starts{proxy_core_options(*xray_path, in_own_account)};

  SharedFiles files(env);
  const std::string data = data_folder(env);
  // The tunnel document and the logs go only into a folder that is the
  // service's own: one that others could have prepared is moved aside first.
  const Result<void> data_ready = platform::ensure_private_dir(data);
  // Everything the tunnel core needs is in place before either core starts,
  // so that both start in one go.
  if (launch.singbox_config) {
    const auto singbox_path = locate_core(TUNNEL_CORE_FILE, env);
    if (!singbox_path) return fail(singbox_path.error());
    const std::string document_path = platform::join_path(data, TUNNEL_DOCUMENT_FILE);
    if (!data_ready) {
      Error error = data_ready.error();
      return fail(std::move(error).wrapped(std::string(CANNOT_WRITE) + document_path));
    }
    OMBREL_TRY(files.on(document_path, [&] {
      return write_tunnel_document(document_path, *launch.singbox_config);
    }));
    starts.push_back(tunnel_core_options(*singbox_path, document_path));
  }

  auto images = hold_images(starts, files);
  if (!images) return fail(std::move(images.error()));
  OMBREL_TRY(judge_images(starts, *images, files));
  auto started = platform::spawn_all(starts);
  images->clear();
  const std::size_t last = started.size() - 1;
  if (!started[last]) {
    // Whatever started before it ends with `started`.
    return fail(
        std::move(started[last].error()).wrapped(std::string(CANNOT_START) + starts[last].program));
  }
  // From here on dropping `cores` ends whatever has been started.
  RunningCores cores;
  cores.xray = std::move(*started[0]);
  if (started.size() > 1) cores.singbox = std::move(*started[1]);
  if (const auto& refused = cores.xray.unprivileged_refused()) fallback.take(*refused);
  cores.fallback = &fallback;
  cores.xray_spoke = std::make_shared<std::atomic<bool>>(false);
  OMBREL_TRY(deliver_document(cores.xray, launch.xray_config));

  cores.current_channel = serving::make_current_channel();
  {
    auto remarks = launch.channel_remarks;
    auto watched =
        start_detached([remarks = std::move(remarks), channel = cores.current_channel,
                        output = std::make_unique<NotingReader>(
                            output_reader(cores.xray.take_stdout()), cores.xray_spoke),
                        log_path = data_ready ? platform::join_path(data, serving::CORE_LOG_FILE)
                                              : std::string()]() mutable {
          serving::watch_core_log(std::move(remarks), std::move(channel), std::move(output),
                                  registry::channel_registry(), system_clock(), log_path);
        });
    if (!watched) return fail(std::move(watched.error()));
  }

  if (cores.singbox) {
    // Rotation and log creation may fail (no log yet, a full disk): the
    // tunnel runs all the same, only its output is lost.
    // A file that does not answer fails the start all the same.
    const std::string log_path = platform::join_path(data, TUNNEL_LOG_FILE);
    OMBREL_TRY(files.on(log_path, [&]() -> Result<void> {
      const platform::BoundedCall bounded;
      (void)platform::rename_file(log_path, platform::join_path(data, TUNNEL_PREV_LOG_FILE));
      return {};
    }));
    auto log = std::make_shared<TunnelLog>();
    OMBREL_TRY(files.on(log_path, [&]() -> Result<void> {
      log->log = serving::DiagLog::create(log_path);
      return {};
    }));
    OMBREL_TRY(start_copier(cores.singbox->take_stdout(), log));
    OMBREL_TRY(start_copier(cores.singbox->take_stderr(), log));
  }

  cores.display_label = launch.display_label;
  cores.channel_labels = launch.channel_labels;
  cores.channel_remarks = launch.channel_remarks;
  cores.proxy_port = launch.proxy_port;
  cores.started_at = std::chrono::steady_clock::now();
  return cores;
}

}  // namespace

void CoreAccountFallback::take(const Error& why, bool ended_in_start) {
  if (taken_.exchange(true)) return;
  ended_in_start_.store(ended_in_start);
  const std::string line = std::string(CORE_AS_SERVICE) + why.to_string();
  if (say) {
    say(line);
    return;
  }
  platform::write_stderr(escape_controls(line) + "\n");
  platform::report_event(platform::EventKind::CoreAsService, escape_controls(line));
}

CoreAccountFallback& core_account_fallback() {
  // Never destroyed: a watchdog or a request may start cores while the
  // process ends.
  static auto* const fallback = new CoreAccountFallback();
  return *fallback;
}

Result<RunningCores> start_cores(const CoreLaunch& launch, const CoreEnvironment& env) {
  CoreAccountFallback& fallback =
      env.account_fallback != nullptr ? *env.account_fallback : core_account_fallback();
  const bool in_own_account = platform::PROXY_CORE_UNPRIVILEGED && !fallback.taken();
  auto started = start_cores_once(launch, env, fallback, in_own_account);
  // A core that its account let die in its start took the fall-back when
  // the failed start was dropped: the same start, as the service, brings
  // the tunnel up at once.
  if (!started && in_own_account && fallback.ended_in_start()) {
    started = start_cores_once(launch, env, fallback, false);
  }
  return started;
}

void stop_cores(RunningCores cores) {
  end_cores(cores);
}

}  // namespace ombrel::supervisor
