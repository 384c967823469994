#include "signing.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files/paths.hpp"
#include "platform/process/process.hpp"
#include "platform/trust/trust.hpp"
#include "testsupport.hpp"

namespace ombrel::testsupport {

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

// Under Wine a Linux program is started without a process handle to wait
// on, so a shell runs it and leaves its exit code in a file that is waited
// for instead.
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

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_all(const std::string& path, const std::string& bytes) {
  std::ofstream out(fs_path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

void put_u32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

std::uint32_t get_u32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

}  // namespace

std::string signed_program(std::string_view build, std::string_view signer) {
  std::string name(build);
  if (!signer.empty()) {
    name += '.';
    name += signer;
  }
  const std::string path =
      platform::join_path(platform::join_path(bin_dir(), "test-signed"), name + ".exe");
  if (!std::filesystem::exists(fs_path(path))) {
    ADD_FAILURE() << "no " << path
                  << ": the Windows build makes it beside the test executables "
                     "(scripts/test-signing.py)";
  }
  return path;
}

bool put_signed_program(std::string_view build, std::string_view signer, const std::string& path) {
  std::error_code ec;
  std::filesystem::copy_file(fs_path(signed_program(build, signer)), fs_path(path),
                             std::filesystem::copy_options::overwrite_existing, ec);
  if (ec)
    ADD_FAILURE() << "cannot put the signed " << build << " at " << path << ": " << ec.message();
  return !ec;
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

void pad_signature_table(const std::string& path, std::string_view extra) {
  std::string bytes = read_all(path);
  const auto table = platform::signature_table_of(bytes);
  ASSERT_TRUE(table) << path << " is not signed";
  ASSERT_EQ(table->offset + table->size, bytes.size());
  // The security directory's size, and the last (here the only) entry's length.
  const std::size_t pe = get_u32(bytes, 0x3C);
  const std::size_t size_at = pe + 24 + 112 + 4 * 8 + 4;  // PE32+
  ASSERT_EQ(get_u32(bytes, size_at), table->size);
  std::string padding(extra);
  padding.resize((padding.size() + 7) / 8 * 8, 'x');
  bytes += padding;
  put_u32(bytes, size_at, static_cast<std::uint32_t>(table->size + padding.size()));
  const std::size_t entry = table->offset;
  put_u32(bytes, entry, get_u32(bytes, entry) + static_cast<std::uint32_t>(padding.size()));
  write_all(path, bytes);
}

}  // namespace ombrel::testsupport
