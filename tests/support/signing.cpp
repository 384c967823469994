#include "signing.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>

#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "testsupport.hpp"

namespace ombrel::testsupport {

namespace {

// Runs a host program to its end; its exit code, or -1 when it cannot be
// run. Under Wine a Linux program is started without a process handle to
// wait on, so a shell runs it and leaves its exit code in a file that is
// waited for instead.
int run_host_program(const std::string& program, const std::vector<std::string>& args) {
  platform::SpawnOptions options;
  options.std_in = platform::Stdio::Null;
  options.std_out = platform::Stdio::Null;
  options.std_err = platform::Stdio::Null;
#ifdef _WIN32
  if (!real_windows()) {
    TempDir status_dir("host-run");
    const std::string status = status_dir.file("status");
    options.program = "/bin/sh";
    options.args = {"-c",
                    "\"$0\" \"$@\" >/dev/null 2>&1; echo $? > \"" + host_path(status) +
                        ".part\"; mv \"" + host_path(status) + ".part\" \"" + host_path(status) +
                        "\"",
                    program};
    options.args.insert(options.args.end(), args.begin(), args.end());
    auto started = platform::spawn(options);
    if (!started) {
      ADD_FAILURE() << "cannot start " << program << ": " << started.error().to_string();
      return -1;
    }
    if (!wait_until([&] { return std::filesystem::exists(fs_path(status)); }, 120s)) {
      ADD_FAILURE() << program << " did not end";
      return -1;
    }
    std::ifstream in(fs_path(status));
    int code = -1;
    in >> code;
    return code;
  }
#endif
  options.program = program;
  options.args = args;
  auto process = platform::spawn(options);
  if (!process) {
    ADD_FAILURE() << "cannot start " << program << ": " << process.error().to_string();
    return -1;
  }
  return process->wait().value_or(-1);
}

// Linux's own tools under Wine; on real Windows the ones the environment
// names (the workflow installs them), or the bare name.
std::string host_tool(const char* name, const char* variable) {
  if (!real_windows()) return std::string("/usr/bin/") + name;
  const char* named = std::getenv(variable);
  return named != nullptr ? named : name;
}

}  // namespace

std::string host_path(const std::string& path) {
#ifdef _WIN32
  if (real_windows()) return path;
  if (path.size() < 3 || path[1] != ':') {
    ADD_FAILURE() << "not a drive path: " << path;
    return path;
  }
  std::string rest = path.substr(2);
  for (char& c : rest) {
    if (c == '\\') c = '/';
  }
  const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
  if (letter == 'z') return rest;
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix == nullptr || *prefix == '\0') {
    ADD_FAILURE() << "WINEPREFIX is not set: cannot find drive " << letter << ": for " << path;
    return path;
  }
  return std::string(prefix) + "/dosdevices/" + letter + ":" + rest;
#else
  return path;
#endif
}

std::optional<TestSigner> TestSigner::make(const std::string& dir, std::string_view name) {
  TestSigner signer(platform::join_path(dir, std::string(name) + ".crt"),
                    platform::join_path(dir, std::string(name) + ".key"));
  const int code = run_host_program(
      host_tool("openssl", "OMBREL_OPENSSL"),
      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
       "/CN=Ombrel test " + std::string(name), "-addext", "extendedKeyUsage=codeSigning", "-keyout",
       host_path(signer.key_), "-out", host_path(signer.cert_)});
  if (code != 0) {
    ADD_FAILURE() << "openssl could not make a certificate (exit " << code << ")";
    return std::nullopt;
  }
  return signer;
}

bool TestSigner::sign(const std::string& in, const std::string& out) const {
  std::error_code ec;
  std::filesystem::remove(fs_path(out), ec);
  const int code = run_host_program(host_tool("osslsigncode", "OMBREL_OSSLSIGNCODE"),
                                    {"sign", "-certs", host_path(cert_), "-key", host_path(key_),
                                     "-in", host_path(in), "-out", host_path(out)});
  if (code != 0) {
    ADD_FAILURE() << "osslsigncode could not sign " << in << " (exit " << code << ")";
    return false;
  }
  return true;
}

bool TestSigner::sign_in_place(const std::string& path) const {
  const std::string unsigned_copy = path + ".unsigned";
  std::error_code ec;
  std::filesystem::rename(fs_path(path), fs_path(unsigned_copy), ec);
  if (ec) {
    ADD_FAILURE() << "cannot move " << path << " aside: " << ec.message();
    return false;
  }
  const bool signed_ok = sign(unsigned_copy, path);
  std::filesystem::remove(fs_path(unsigned_copy), ec);
  return signed_ok;
}

void damage_program(const std::string& path) {
  std::fstream file(fs_path(path), std::ios::binary | std::ios::in | std::ios::out);
  ASSERT_TRUE(file) << path;
  // Past the headers, well inside the first section.
  constexpr std::streamoff AT = 0x1010;
  file.seekg(AT);
  char byte = 0;
  file.get(byte);
  file.seekp(AT);
  file.put(static_cast<char>(byte ^ 0x5A));
  ASSERT_TRUE(file.good()) << path;
}

}  // namespace ombrel::testsupport
