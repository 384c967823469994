// Each event the service reports, from the place that tells of it: its kind,
// the id an administrator filters on, and the very line of the service's log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "event_recorder.hpp"
#include "host/runtime.hpp"
#include "selfupdate/update.hpp"
#include "supervisor/state.hpp"

namespace ombrel::host {
namespace {

using namespace std::chrono_literals;
using platform::EventKind;
using testsupport::EventRecorder;
using testsupport::ReportedEvent;

Result<supervisor::RunningCores> no_cores(const supervisor::CoreLaunch&) {
  return fail(Error("нет xray"));
}

Workers quiet_workers() {
  Workers w;
  w.cleanup_orphans = [] { return std::size_t{0}; };
  w.startup_update_check = [] {};
  w.make_state = [] { return WorkerState{[] {}, [] {}, [] {}}; };
  w.write_stderr = [](std::string_view) {};
  return w;
}

struct NoReports final : platform::ServiceRegistration {
  Result<void> report_status(const platform::ServiceStatusReport&) override { return {}; }
};

void service_starts_and_stops(EventRecorder&) {
  run_service_main(
      [](platform::ControlHandlerFn handler,
         void* context) -> Result<std::unique_ptr<platform::ServiceRegistration>> {
        handler(platform::scm::CONTROL_STOP, 0, nullptr, context);  // already waiting
        return std::make_unique<NoReports>();
      },
      quiet_workers());
}

void connect_fails(EventRecorder&) {
  supervisor::SharedState shared(no_cores);
  shared.set_diagnostics([](const std::string&) {});
  auto lock = shared.lock();
  (void)supervisor::on_connect(shared, supervisor::CoreLaunch{});
}

// One watchdog round over a connection that is wanted but down, with
// `attempts` restarts made already (and one more that finds nothing to do).
void watchdog_round(EventRecorder& recorder, std::uint32_t attempts) {
  supervisor::SharedState shared(no_cores);
  shared.set_diagnostics([](const std::string&) {});
  {
    auto lock = shared.lock();
    shared.state().desired.emplace();
    shared.state().restart_attempts = attempts;
  }
  supervisor::run_watchdog(
      shared, supervisor::WatchdogTiming{.tick = 0ms, .stable_run = 30s, .delay_unit = 0ms},
      [](const std::string&) {}, recorder.clock, [calls = 0]() mutable { return ++calls <= 2; });
}

void update_refused(EventRecorder& recorder) {
  selfupdate::UpdateDeps deps;
  deps.clock = &recorder.clock;
  deps.write_stderr = [](std::string_view) {};
  deps.install_folder_safe = [] { return false; };
  (void)selfupdate::handle_update(selfupdate::UpdateFields{}, deps);
}

TEST(Events, EachIsReportedOnceAMinutePerSourceWithItsIdAndItsLine) {
  const struct {
    const char* name;
    std::function<void(EventRecorder&)> trigger;
    std::vector<ReportedEvent> reported;
  } cases[] = {
      {"the service starts and stops",
       service_starts_and_stops,
       {{EventKind::Started, 1, "служба запущена"}, {EventKind::Stopped, 2, "служба остановлена"}}},
      {"a connect whose cores do not start",
       connect_fails,
       {{EventKind::CoresFailed, 3, "ядра не запущены: нет xray"}}},
      {"a restart that fails",
       [](EventRecorder& r) { watchdog_round(r, 0); },
       {{EventKind::CoresFailed, 3, "ядра не перезапущены: нет xray"}}},
      {"the watchdog gives up",
       [](EventRecorder& r) { watchdog_round(r, supervisor::RESTART_LIMIT); },
       {{EventKind::GaveUp, 4, std::string(supervisor::GIVE_UP_MESSAGE)}}},
      {"a run whose proxy core cannot start in its own account",
       [](EventRecorder&) {
         supervisor::CoreAccountFallback run;
         run.take(Error("вход LocalService отклонён"));
         run.take(Error("вход LocalService отклонён снова"));
       },
       {{EventKind::CoreAsService, 10,
         "ядро прокси запущено от имени службы: вход LocalService отклонён"}}},
      {"an update refused",
       update_refused,
       {{EventKind::UpdateRefused, 6,
         "обновление не поставлено: " + std::string(selfupdate::UNSAFE_FOLDER_REFUSAL)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EventRecorder recorder;
    std::vector<ReportedEvent> reported = c.reported;
    c.trigger(recorder);
    EXPECT_EQ(recorder.events(), reported);
    // Again within the minute: nothing more, so that no client fills the
    // machine's log.
    c.trigger(recorder);
    EXPECT_EQ(recorder.events(), reported);
    {
      // A client's is its own: it hides neither the service's events nor
      // another client's, and only its own repeat is held back.
      const platform::EventCaller caller([] { return std::string("uid 1000"); });
      c.trigger(recorder);
      c.trigger(recorder);
    }
    reported.insert(reported.end(), c.reported.begin(), c.reported.end());
    EXPECT_EQ(recorder.events(), reported);
    // Once the minute is over, again, with the count of those held back.
    recorder.clock.advance_ms(60'000);
    c.trigger(recorder);
    for (auto event : c.reported) {
      event.text += " (пропущено таких событий: 1)";
      reported.push_back(event);
    }
    EXPECT_EQ(recorder.events(), reported);
  }
}

}  // namespace
}  // namespace ombrel::host
