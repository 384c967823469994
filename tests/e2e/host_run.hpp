#pragma once
// Runs the real ombrel-service (or a system tool) and collects what it says.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/process.hpp"
#include "testsupport.hpp"

namespace ombrel::host_e2e {

struct Ran {
  int code = -1;
  std::string out;
  std::string err;
};

// `input`, when given, is the program's standard input; otherwise it has none.
inline Ran run_program(const std::string& program, const std::vector<std::string>& args,
                       std::optional<std::string_view> input = std::nullopt) {
  platform::SpawnOptions options;
  options.program = program;
  options.args = args;
  options.std_in = input ? platform::Stdio::Pipe : platform::Stdio::Null;
  options.std_out = platform::Stdio::Pipe;
  options.std_err = platform::Stdio::Pipe;
  auto process = platform::spawn(options);
  if (!process) {
    ADD_FAILURE() << "cannot start " << program << ": " << process.error().to_string();
    return {};
  }
  if (input) {
    auto in = process->take_stdin();
    EXPECT_TRUE(in && in->write_all(*input)) << "cannot write to " << program;
  }
  auto out = process->take_stdout();
  auto err = process->take_stderr();
  Ran ran;
  // Both streams at once: a full pipe on one must not stall the other.
  std::thread err_reader([&] { ran.err = testsupport::read_to_end(*err); });
  ran.out = testsupport::read_to_end(*out);
  err_reader.join();
  const auto code = process->wait();
  if (!code) {
    ADD_FAILURE() << "cannot wait for " << program << ": " << code.error().to_string();
    return ran;
  }
  ran.code = *code;
  return ran;
}

inline std::string service_exe() {
  return testsupport::bin_dir() + (
#ifdef _WIN32
                                      "\\ombrel-service.exe"
#else
                                      "/ombrel-service"
#endif
                                  );
}

inline Ran run_service(const std::vector<std::string>& args) {
  return run_program(service_exe(), args);
}

}  // namespace ombrel::host_e2e
