#pragma once
// The common body of the stand-in programs that take the place of the cores
// and the desktop application in tests.
//
// A stand-in finds everything next to its own executable (so a copy named
// `xray.exe` in a test folder keeps its own records). Its records go into a
// `records` folder beside it when there is one: the test makes it for
// whoever the stand-in runs as, where the installation folder is the
// administrators' alone (a desktop started with a session's user token may
// read and run what lies there, not write beside it).
//   <exe>.runs      one line (the process id) appended per start
//   <exe>.args      the arguments of the latest start, each ended by a NUL byte
//   <exe>.cwd       the working folder of the latest start
//   <exe>.stdin     (proxy core only) the document read from standard input
//   <exe>.fds       (Linux) the open descriptors at start, one number a line
//   <exe>.script.N  the script of the N-th start, else <exe>.script
// A script has one command per line; without a script the program stays up.
//   print TEXT      TEXT and a line feed on standard output
//   eprint TEXT     the same on standard error
//   repeat N TEXT   TEXT printed N times on standard output
//   sleep MS        pause
//   waitfor PATH    pause until PATH exists
//   exit CODE       end with CODE
//   stay            keep running until killed
//   ids             (Linux) the Uid, Gid and Groups lines of /proc/self/status
//                   on standard output, tabs shown as spaces, none at the end:
//                   whom it runs as
//   env             (Linux) "env NAME" on standard output for each variable it has
//   detach          starts itself again on its own (a session of its own, no
//                   streams) and prints "detached PID": what a core may
//                   leave behind
// TEXT understands \r, \n, \t and \\. The end of the script is "exit 0".
// Records are written whole (through a temporary file), so a test that sees
// one may read it at once.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "platform/files/paths.hpp"
#include "platform/host/console.hpp"
#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"

#ifndef _WIN32
extern char** environ;
#endif

namespace standin {

// Never outlive a test run that forgot us by more than this.
inline constexpr auto LONGEST_STAY = std::chrono::minutes(10);

inline std::filesystem::path fs_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string utf8_path(const std::filesystem::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

inline std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Where the record `suffix` (".runs", ".args", ...) of the stand-in at
// `exe` lives.
inline std::string record_path(const std::string& exe, std::string_view suffix) {
  const std::filesystem::path program = fs_path(exe);
  const std::filesystem::path records = program.parent_path() / "records";
  std::error_code ec;
  if (!std::filesystem::is_directory(records, ec)) return exe + std::string(suffix);
  return utf8_path(records / program.filename()) + std::string(suffix);
}

inline void write_record(const std::string& path, const std::string& bytes) {
  const std::string temp = path + ".tmp" + std::to_string(ombrel::platform::current_process_id());
  {
    std::ofstream out(fs_path(temp), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::error_code ec;
  std::filesystem::rename(fs_path(temp), fs_path(path), ec);
}

// Appends this start to <exe>.runs and gives its number, counting from 1.
inline int count_run(const std::string& exe) {
  const std::string runs = record_path(exe, ".runs");
  {
    std::ofstream out(fs_path(runs), std::ios::binary | std::ios::app);
    out << ombrel::platform::current_process_id() << '\n';
  }
  const auto text = read_file(runs).value_or("");
  int n = 0;
  for (const char c : text) n += c == '\n';
  return n;
}

inline std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    switch (text[++i]) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      default:
        out += text[i];
        break;
    }
  }
  return out;
}

[[noreturn]] inline void stay() {
  std::this_thread::sleep_for(LONGEST_STAY);
  std::exit(0);
}

inline int run_script(const std::string& script) {
  std::istringstream lines(script);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto blank = line.find(' ');
    const std::string word = line.substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (word == "print") {
      ombrel::platform::write_stdout(unescape(rest) + "\n");
    } else if (word == "eprint") {
      ombrel::platform::write_stderr(unescape(rest) + "\n");
    } else if (word == "repeat") {
      const auto space = rest.find(' ');
      const long count = std::stol(rest.substr(0, space));
      const std::string text =
          unescape(space == std::string::npos ? "" : rest.substr(space + 1)) + "\n";
      for (long i = 0; i < count; ++i) ombrel::platform::write_stdout(text);
    } else if (word == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(rest)));
    } else if (word == "waitfor") {
      const auto until = std::chrono::steady_clock::now() + LONGEST_STAY;
      while (!std::filesystem::exists(fs_path(rest)) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    } else if (word == "exit") {
      return std::stoi(rest);
    } else if (word == "stay") {
      stay();
#ifndef _WIN32
    } else if (word == "env") {
      for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string_view entry = *variable;
        ombrel::platform::write_stdout("env " + std::string(entry.substr(0, entry.find('='))) +
                                       "\n");
      }
#endif
    } else if (word == "detach") {
      const auto exe = ombrel::platform::current_exe_path();
      const auto pid = exe ? ombrel::platform::spawn_detached(*exe, {}, std::nullopt)
                           : ombrel::Result<std::uint32_t>(0);
      ombrel::platform::write_stdout("detached " + std::to_string(pid.value_or(0)) + "\n");
    } else if (word == "ids") {
      std::istringstream status(read_file("/proc/self/status").value_or(""));
      for (std::string field; std::getline(status, field);) {
        if (!field.starts_with("Uid:") && !field.starts_with("Gid:") &&
            !field.starts_with("Groups:")) {
          continue;
        }
        std::replace(field.begin(), field.end(), '\t', ' ');
        while (field.ends_with(' ')) field.pop_back();
        ombrel::platform::write_stdout(field + "\n");
      }
    }
  }
  return 0;
}

inline std::string read_stdin() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  std::string all;
  char buf[8192];
  while (true) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, stdin);
    if (n == 0) break;
    all.append(buf, n);
  }
  return all;
}

#ifndef _WIN32
// The descriptors this process was given, to prove that nothing beyond the
// three standard streams crossed over.
inline std::string open_descriptors() {
  std::vector<int> fds;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    // The listing's own descriptor points at the listed folder.
    const auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target.filename() == "fd" && target.parent_path().parent_path() == "/proc") {
      continue;
    }
    fds.push_back(std::stoi(entry.path().filename().string()));
  }
  std::sort(fds.begin(), fds.end());
  std::string out;
  for (const int fd : fds) out += std::to_string(fd) + "\n";
  return out;
}
#endif

// `reads_document`: the proxy core, which takes its document from standard
// input when started with "run" "-c" "stdin:".
inline int main(int argc, char** argv, bool reads_document) {
#ifndef _WIN32
  const std::string fds = open_descriptors();
#endif
  const auto exe = ombrel::platform::current_exe_path();
  if (!exe) return 100;
  const std::vector<std::string> args = ombrel::platform::program_arguments(argc, argv);
  const int run = count_run(*exe);

  std::string joined;
  for (const std::string& a : args) joined += a + '\0';
  write_record(record_path(*exe, ".args"), joined);
  std::error_code ec;
  write_record(record_path(*exe, ".cwd"), utf8_path(std::filesystem::current_path(ec)));

#ifndef _WIN32
  write_record(record_path(*exe, ".fds"), fds);
#endif
  if (reads_document && args == std::vector<std::string>{"run", "-c", "stdin:"}) {
    write_record(record_path(*exe, ".stdin"), read_stdin());
  }
  auto script = read_file(*exe + ".script." + std::to_string(run));
  if (!script) script = read_file(*exe + ".script");
  if (!script) stay();
  return run_script(*script);
}

}  // namespace standin
