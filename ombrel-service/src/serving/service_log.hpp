#pragma once
// The service's own log, "service-diag.log" in the data folder: a copy of
// every line the service writes to standard error, each after its UTC time
// ("2026-12-07T19:26:56.123Z "). Under the service control manager standard
// error goes nowhere, so this is where an administrator reads the service's
// own lines. Capped like the other diagnostic files (DiagLog), but rotating:
// a full file becomes "service-diag.prev.log" and the log goes on, as the
// previous run's file does at start. Lines come as standard error had them,
// client text escaped by their writers, and are written as they are.
//
// Lines are queued and written by a thread of the log's own: a slow or stuck
// disk must never hold up the pipe server or the watchdog for more than the
// taking of a lock. While the queue is full, lines are dropped and counted,
// and the count is written ("пропущено строк: N") once there is room.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "base/clock.hpp"

namespace ombrel::serving {

inline constexpr std::string_view SERVICE_LOG_FILE = "service-diag.log";
inline constexpr std::string_view SERVICE_PREV_LOG_FILE = "service-diag.prev.log";
// Bytes of lines waiting for the writer beyond which further lines are dropped.
inline constexpr std::size_t SERVICE_LOG_QUEUE_BYTES = 64 * 1024;

// "2026-12-07T19:26:56.123Z" for wall-clock milliseconds since 1970 (UTC).
std::string utc_timestamp(std::int64_t wall_ms);

class ServiceLog {
 public:
  // `write_line` gets each stamped line without its line feed, always on
  // the log's own thread.
  using LineWriter = std::function<void(std::string_view line)>;
  ServiceLog(LineWriter write_line, const Clock& clock,
             std::size_t queue_bytes = SERVICE_LOG_QUEUE_BYTES);
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;
  // Writes what is queued, then ends the writer.
  ~ServiceLog();

  // Queues each line of `text`, stamped with the time now; a last line
  // without a line feed counts as a line. Never waits for the disk.
  void write(std::string_view text);
  // Waits until everything queued so far is written; false when `limit`
  // passed first.
  bool flush(std::chrono::milliseconds limit);

 private:
  void start_writer();
  void run();
  bool idle() const;

  LineWriter write_line_;
  const Clock& clock_;
  const std::size_t queue_bytes_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queue_;
  std::size_t queued_bytes_ = 0;
  std::size_t dropped_ = 0;
  bool writing_ = false;
  bool stopping_ = false;
  bool writer_failed_ = false;
  std::thread writer_;
};

// Makes sure of the data folder, keeps the previous run's log as
// "service-diag.prev.log", opens a new one and from then on copies every
// text written through platform::write_stderr into it. Once per process;
// later calls do nothing. Nothing here can fail the caller: without a data
// folder, a file or a thread there is simply no log.
void start_service_log(const std::string& data_dir);

// ServiceLog::flush for the process's log; true when there is none.
bool flush_service_log(std::chrono::milliseconds limit);

}  // namespace ombrel::serving
