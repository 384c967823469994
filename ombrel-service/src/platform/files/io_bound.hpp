#pragma once
// Bounds on blocking calls the service makes on files it does not control:
// an offered update file may sit behind an opportunistic lock its owner
// never lets go, or on a device that has stopped answering, and the one
// thread that reads it also serves the control channel.
//
// While a `BoundedIo` lives on a thread, every blocking call made there on
// files through this layer (`InputFile` reads, `File` creation, writes and
// flushes, and whatever a caller wraps in a `BoundedCall` of its own) must
// return within `stall`, and all of them before `deadline`. Windows: a
// watcher thread cancels a call that runs over (`CancelSynchronousIo`,
// which also ends a `CreateFileW` waiting for an oplock to be broken), and
// the call fails. Linux: nothing cancels a call, but a call that ran over
// is noticed when it returns (an offered FIFO, which would block, is never
// opened for reading; see `InputFile`).
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ombrel::platform {

// Files in the data and installation folders that other accounts may open
// too (the tunnel document, the logs, the core images, the installed
// programs): an open of one waits for whoever holds an oplock on it to let
// go, which a user can put off for ever. No such call may wait longer than
// this, and all of them for one start of the cores no longer than three
// times it; a healthy disk answers in milliseconds.
inline constexpr std::chrono::milliseconds SHARED_FILE_STALL{2000};

// "2 с", "150 мс".
std::string span_text(std::chrono::milliseconds span);
// "{path} не ответил за {span}": a file whose call ran into a bound.
std::string unanswered_text(std::string_view path, std::chrono::milliseconds span);

// Cancels the blocking call of the thread that armed it once a moment has
// passed.
class IoWatcher {
 public:
  virtual ~IoWatcher() = default;
  // Before a blocking call on this thread; no moment: only a stop cancels it.
  virtual void arm(std::optional<std::chrono::steady_clock::time_point> at) = 0;
  // After the call; true when it was cancelled (or about to be).
  virtual bool disarm() = 0;
};

// A watcher with a thread of its own (Windows); one that cancels nothing
// (Linux).
std::unique_ptr<IoWatcher> make_io_watcher();

class BoundedIo {
 public:
  enum class Ran { InTime, Stalled, PastDeadline };

  BoundedIo(IoWatcher& watcher, std::chrono::milliseconds stall,
            std::chrono::steady_clock::time_point deadline);
  BoundedIo(const BoundedIo&) = delete;
  BoundedIo& operator=(const BoundedIo&) = delete;
  ~BoundedIo();

  // The first bound a call ran into, if any. Once one has, every later
  // call is cancelled at once.
  Ran outcome() const { return outcome_; }
  // The span of the bound `outcome` names (the stall or the whole).
  std::chrono::milliseconds bound_span() const;

 private:
  friend class BoundedCall;
  IoWatcher& watcher_;
  std::chrono::milliseconds stall_;
  std::chrono::steady_clock::time_point deadline_;
  std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
  Ran outcome_ = Ran::InTime;
  BoundedIo* outer_;
};

// One blocking call under the thread's `BoundedIo`, if there is one.
class BoundedCall {
 public:
  BoundedCall();
  BoundedCall(const BoundedCall&) = delete;
  BoundedCall& operator=(const BoundedCall&) = delete;
  ~BoundedCall();

 private:
  BoundedIo* scope_;
  std::chrono::steady_clock::time_point start_{};
  bool deadline_first_ = false;
};

}  // namespace ombrel::platform
