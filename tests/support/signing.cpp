#include "signing.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
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

// Linux's own tools under Wine; on real Windows the ones the environment
// names (the workflow installs them), or the bare name.
std::string host_tool(const char* name, const char* variable) {
  if (!real_windows()) return std::string("/usr/bin/") + name;
  const char* named = std::getenv(variable);
  return named != nullptr ? named : name;
}

// A new RSA key and a certificate made by openssl with `args` added; false
// (with a test failure added) when openssl fails.
bool new_certificate(std::vector<std::string> args, const std::string& key,
                     const std::string& cert) {
  args.insert(args.begin(), {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2"});
  args.insert(args.end(), {"-keyout", host_path(key), "-out", host_path(cert)});
  const int code = run_host_program(host_tool("openssl", "OMBREL_OPENSSL"), args);
  if (code != 0) ADD_FAILURE() << "openssl could not make " << cert << " (exit " << code << ")";
  return code == 0;
}

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

std::string utf16(std::string_view ascii) {
  std::string wide;
  for (char c : ascii) {
    wide += c;
    wide += '\0';
  }
  return wide;
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

std::optional<TestAuthority> TestAuthority::make(const std::string& dir, std::string_view name) {
  TestAuthority authority(platform::join_path(dir, std::string(name) + ".ca.crt"),
                          platform::join_path(dir, std::string(name) + ".ca.key"));
  if (!new_certificate(
          {"-subj", "/O=Ombrel test/CN=Ombrel test authority " + std::string(name), "-addext",
           "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
          authority.key_, authority.cert_)) {
    return std::nullopt;
  }
  return authority;
}

std::optional<TestSigner> TestSigner::make(const std::string& dir, std::string_view name,
                                           const TestAuthority* authority, std::string_view subject,
                                           SignerShape shape) {
  TestSigner signer(platform::join_path(dir, std::string(name) + ".crt"),
                    platform::join_path(dir, std::string(name) + ".key"));
  std::vector<std::string> args = {"-addext", "extendedKeyUsage=" + std::string(shape.usage)};
  if (authority == nullptr) {
    args.insert(args.end(), {"-subj", "/CN=Ombrel test " + std::string(name)});
  } else {
    const std::string cn(subject.empty() ? name : subject);
    args.insert(args.end(), {"-subj", "/O=Ombrel test/CN=Ombrel test " + cn, "-addext",
                             "basicConstraints=critical,CA:FALSE"});
  }
  if (shape.expired && authority != nullptr) {
    // A request, then a certificate that ends a day before it starts
    // (`req` takes no such span, `x509` does).
    const std::string request = platform::join_path(dir, std::string(name) + ".csr");
    args.insert(args.begin(), {"req", "-new", "-newkey", "rsa:2048", "-nodes"});
    args.insert(args.end(), {"-keyout", host_path(signer.key_), "-out", host_path(request)});
    const std::string openssl = host_tool("openssl", "OMBREL_OPENSSL");
    if (run_host_program(openssl, args) != 0 ||
        run_host_program(openssl,
                         {"x509", "-req", "-in", host_path(request), "-copy_extensions", "copy",
                          "-days", "-1", "-CA", host_path(authority->cert()), "-CAkey",
                          host_path(authority->key()), "-out", host_path(signer.cert_)}) != 0) {
      ADD_FAILURE() << "openssl could not make " << signer.cert_;
      return std::nullopt;
    }
  } else {
    if (authority != nullptr) {
      args.insert(args.end(),
                  {"-CA", host_path(authority->cert()), "-CAkey", host_path(authority->key())});
    }
    if (!new_certificate(std::move(args), signer.key_, signer.cert_)) return std::nullopt;
  }
  if (authority != nullptr) {
    // Signatures carry the chain: the signer's certificate, then the authority's.
    std::ofstream chain(fs_path(signer.cert_), std::ios::binary | std::ios::app);
    std::ifstream ca(fs_path(authority->cert()), std::ios::binary);
    chain << ca.rdbuf();
    if (!chain) {
      ADD_FAILURE() << "cannot add the authority to " << signer.cert_;
      return std::nullopt;
    }
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

void restamp_program(const std::string& path, const std::array<unsigned, 4>& version,
                     std::string_view rename_from, std::string_view rename_to) {
  std::string bytes = read_all(path);
  // VS_FIXEDFILEINFO follows the key "VS_VERSION_INFO" (with its null, 32
  // bytes from the block's sixth byte, then padded to four): its signature,
  // the structure's version, then the file and the product version (most
  // significant halves first). The signature alone may also stand in code.
  const std::string key = utf16("VS_VERSION_INFO");
  const std::string signature("\xBD\x04\xEF\xFE", 4);
  auto fixed = std::string::npos;
  for (auto at = bytes.find(key); at != std::string::npos; at = bytes.find(key, at + 1)) {
    if (bytes.compare(at + 34, 4, signature) == 0) {
      fixed = at + 34;
      break;
    }
  }
  ASSERT_NE(fixed, std::string::npos) << path << " has no version resource";
  const std::uint32_t ms = version[0] << 16 | version[1];
  const std::uint32_t ls = version[2] << 16 | version[3];
  for (std::size_t at : {fixed + 8, fixed + 16}) {
    put_u32(bytes, at, ms);
    put_u32(bytes, at + 4, ls);
  }
  if (!rename_from.empty()) {
    ASSERT_EQ(rename_from.size(), rename_to.size());
    const std::string from = utf16(rename_from);
    const std::string to = utf16(rename_to);
    for (auto at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at)) {
      bytes.replace(at, to.size(), to);
    }
  }
  write_all(path, bytes);
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
