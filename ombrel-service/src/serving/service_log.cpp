#include "serving/service_log.hpp"

#include <atomic>
#include <cstdio>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/io_bound.hpp"
#include "platform/files/paths.hpp"
#include "platform/host/console.hpp"
#include "serving/diag_log.hpp"

namespace ombrel::serving {

std::string utc_timestamp(std::int64_t wall_ms) {
  using namespace std::chrono;
  const sys_time<milliseconds> at{milliseconds(wall_ms)};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss time{at - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()),
                int(time.subseconds().count()));
  return text;
}

ServiceLog::ServiceLog(LineWriter write_line, const Clock& clock, std::size_t queue_bytes)
    : write_line_(std::move(write_line)), clock_(clock), queue_bytes_(queue_bytes) {}

ServiceLog::~ServiceLog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (writer_.joinable()) writer_.join();
}

// The writer thread is made by the first line's writer, not when the log
// opens: a thread takes its signal mask from the one that makes it, and
// the Linux service blocks its stop signals only after the log is open (a
// thread without them blocked would let SIGTERM end the process at once).
void ServiceLog::start_writer() {
  if (writer_.joinable() || writer_failed_) return;
  try {
    writer_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread, no log: nothing is kept waiting for one.
    writer_failed_ = true;
  }
}

void ServiceLog::write(std::string_view text) {
  const std::string stamp = utc_timestamp(clock_.wall_ms()) + ' ';
  bool queued = false;
  {
    std::lock_guard lock(mutex_);
    while (!text.empty()) {
      const std::size_t end = text.find('\n');
      const std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      const std::size_t size = stamp.size() + line.size();
      if (queued_bytes_ + size > queue_bytes_) {
        ++dropped_;
        continue;
      }
      // Escaped once, by whoever wrote client text to standard error (the
      // console needs it as much): escaped again, a backslash would double.
      std::string entry;
      entry.reserve(size);
      entry += stamp;
      entry += line;
      queue_.push_back(std::move(entry));
      queued_bytes_ += size;
      queued = true;
    }
    if (!queued && dropped_ == 0) return;
    start_writer();
    if (writer_failed_) {
      queue_.clear();
      queued_bytes_ = dropped_ = 0;
    }
  }
  changed_.notify_all();
}

bool ServiceLog::idle() const {
  return queue_.empty() && dropped_ == 0 && !writing_;
}

bool ServiceLog::flush(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return idle(); });
}

void ServiceLog::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !queue_.empty() || dropped_ != 0 || stopping_; });
    if (queue_.empty() && dropped_ == 0) return;  // stopping, and nothing left
    std::deque<std::string> batch;
    batch.swap(queue_);
    queued_bytes_ = 0;
    const std::size_t dropped = std::exchange(dropped_, 0);
    writing_ = true;
    lock.unlock();
    try {
      for (const std::string& line : batch) write_line_(line);
      if (dropped != 0) {
        write_line_(utc_timestamp(clock_.wall_ms()) +
                    " пропущено строк: " + std::to_string(dropped));
      }
    } catch (...) {
      // A log that cannot be written loses lines, nothing more.
    }
    lock.lock();
    writing_ = false;
    changed_.notify_all();
  }
}

namespace {

// Never destroyed: a detached thread may write a line at any moment until
// the process ends.
std::atomic<ServiceLog*> g_service_log{nullptr};

void copy_to_service_log(std::string_view text) {
  if (ServiceLog* log = g_service_log.load()) log->write(text);
}

}  // namespace

void start_service_log(const std::string& data_dir) {
  static std::mutex starting;
  std::lock_guard lock(starting);
  if (g_service_log.load() != nullptr) return;
  // The same guards as every other file there: no file is written into a
  // folder others could have prepared, and none through a link.
  if (!platform::ensure_private_dir(data_dir)) return;
  const std::string path = platform::join_path(data_dir, SERVICE_LOG_FILE);
  {
    // Whoever holds the previous log with an oplock delays the start by at
    // most this, and then only the rotation is lost.
    const auto watcher = platform::make_io_watcher();
    platform::BoundedIo bounded(*watcher, platform::SHARED_FILE_STALL,
                                std::chrono::steady_clock::now() + platform::SHARED_FILE_STALL);
    const platform::BoundedCall call;
    (void)platform::rename_file(path, platform::join_path(data_dir, SERVICE_PREV_LOG_FILE));
  }
  // At its cap the log goes on in a new file: any client can make the
  // service say lines, and must not be able to silence it for the run.
  auto file = std::make_shared<DiagLog>(
      DiagLog::create_rotating(path, platform::join_path(data_dir, SERVICE_PREV_LOG_FILE)));
  if (!file->is_open()) return;
  g_service_log.store(new ServiceLog(
      [file](std::string_view line) { file->write_escaped_line(line); }, system_clock()));
  platform::copy_stderr_to(copy_to_service_log);
}

bool flush_service_log(std::chrono::milliseconds limit) {
  ServiceLog* log = g_service_log.load();
  return log == nullptr || log->flush(limit);
}

}  // namespace ombrel::serving
