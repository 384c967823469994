#pragma once
// A pretend service control manager: scripted answers, and a log of every
// call, including each handle being closed, in the order they happened.
#include <chrono>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/service.hpp"

namespace ombrel::host::testing {

inline std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

struct FakeScm final : platform::ServiceControl {
  // Script: an error set here is what that call returns.
  std::optional<Error> manager_error, exe_error, open_error, create_error, change_error,
      describe_error, actions_error, start_error, stop_error, remove_error, source_error,
      folder_error;
  // Successive answers of query_state; the last one repeats.
  std::deque<Result<std::uint32_t>> states{platform::scm::STATE_STOPPED};
  std::string exe_path = "C:\\Program Files\\Ombrel\\ombrel-service.exe";

  // Record.
  std::vector<std::string> calls;
  int open_handles = 0;
  std::chrono::milliseconds slept{0};
  int sleeps = 0;

  struct FakeService final : platform::Service {
    FakeScm& scm;
    explicit FakeService(FakeScm& s) : scm(s) { ++scm.open_handles; }
    ~FakeService() override {
      --scm.open_handles;
      scm.calls.push_back("close service");
    }
    Result<void> change_config(const platform::ServiceSettings& s) override {
      scm.calls.push_back("change " + describe(s));
      return scm.answer(scm.change_error);
    }
    Result<void> set_description(std::string_view d) override {
      scm.calls.push_back("describe " + std::string(d));
      return scm.answer(scm.describe_error);
    }
    Result<void> set_failure_actions(const platform::FailureActions& a) override {
      // Appended: g++ 12 at -O3 reports a false overlap for "literal" + std::string&&.
      std::string call = "on failure: reset ";
      call += std::to_string(a.reset_after_s);
      call += " s, restart";
      for (const auto ms : a.restart_delays_ms) {
        call += ' ';
        call += std::to_string(ms);
      }
      call += a.on_non_crash_failures ? ", also on error exits" : "";
      scm.calls.push_back(call);
      return scm.answer(scm.actions_error);
    }
    Result<std::uint32_t> query_state() override {
      scm.calls.push_back("query");
      Result<std::uint32_t> r = scm.states.front();
      if (scm.states.size() > 1) scm.states.pop_front();
      return r;
    }
    Result<void> start() override {
      scm.calls.push_back("start");
      return scm.answer(scm.start_error);
    }
    Result<void> send_stop() override {
      scm.calls.push_back("stop");
      return scm.answer(scm.stop_error);
    }
    Result<void> remove() override {
      scm.calls.push_back("remove");
      return scm.answer(scm.remove_error);
    }
  };

  struct FakeManager final : platform::ServiceManager {
    FakeScm& scm;
    explicit FakeManager(FakeScm& s) : scm(s) { ++scm.open_handles; }
    ~FakeManager() override {
      --scm.open_handles;
      scm.calls.push_back("close manager");
    }
    Result<std::unique_ptr<platform::Service>> open_service(std::string_view name,
                                                            std::uint32_t access) override {
      scm.calls.push_back("open " + std::string(name) + " " + hex(access));
      if (scm.open_error) return fail(*scm.open_error);
      return std::make_unique<FakeService>(scm);
    }
    Result<std::unique_ptr<platform::Service>> create_service(const platform::ServiceSettings& s,
                                                              std::uint32_t access) override {
      scm.calls.push_back("create " + describe(s) + " " + hex(access));
      if (scm.create_error) return fail(*scm.create_error);
      return std::make_unique<FakeService>(scm);
    }
  };

  Result<std::unique_ptr<platform::ServiceManager>> open_manager(std::uint32_t access) override {
    calls.push_back("open manager " + hex(access));
    if (manager_error) return fail(*manager_error);
    return std::make_unique<FakeManager>(*this);
  }
  Result<std::string> own_executable_path() override {
    if (exe_error) return fail(*exe_error);
    return exe_path;
  }
  Result<void> register_event_source(std::string_view name, std::string_view file) override {
    calls.push_back("source " + std::string(name) + " " + std::string(file));
    return answer(source_error);
  }
  Result<void> remove_event_source(std::string_view name) override {
    calls.push_back("remove source " + std::string(name));
    return answer(source_error);
  }
  // The judgement of the installation folder `install` is given.
  Result<void> judge_folder() {
    calls.push_back("judge folder");
    return answer(folder_error);
  }
  void sleep(std::chrono::milliseconds d) override {
    slept += d;
    ++sleeps;
  }

  static std::string describe(const platform::ServiceSettings& s) {
    return s.name + "|" + s.display_name + "|" + s.binary_path + "|" + hex(s.service_type) + "|" +
           std::to_string(s.start_type) + "|" + std::to_string(s.error_control);
  }
  static Result<void> answer(const std::optional<Error>& e) {
    if (e) return fail(*e);
    return {};
  }
};

}  // namespace ombrel::host::testing
