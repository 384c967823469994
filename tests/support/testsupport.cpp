#include "testsupport.hpp"

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "../standin/standin.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/proclist.hpp"

namespace ombrel::testsupport {

std::filesystem::path fs_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8_path(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

namespace {

// A compile-time path as this platform names it: under Wine the Linux path
// is reached through drive Z:.
std::string built_path(std::string dir) {
#ifdef _WIN32
  if (dir.starts_with('/')) {
    for (char& c : dir) {
      if (c == '/') c = '\\';
    }
    dir = "Z:" + dir;
  }
#endif
  return dir;
}

}  // namespace

std::string bin_dir() {
  static const std::string dir = [] {
    auto own = platform::install_dir();
    return own ? *own : built_path(OMBREL_BIN_DIR);
  }();
  return dir;
}

std::string source_dir() {
  static const std::string dir = [] {
    const auto tree = fs_path(bin_dir()).parent_path().parent_path().parent_path();
    std::error_code ec;
    if (std::filesystem::is_directory(tree / "tests" / "golden", ec)) return utf8_path(tree);
    return built_path(OMBREL_SOURCE_DIR);
  }();
  return dir;
}

std::string exe_name(std::string_view base) {
#ifdef _WIN32
  return std::string(base) + ".exe";
#else
  return std::string(base);
#endif
}

TempDir::TempDir(std::string_view hint, Where where) {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const std::string name = "ombrel-" + std::string(hint) + "-" +
                           std::to_string(platform::current_process_id()) + "-" +
                           std::to_string(counter++) + "-" + std::to_string(random() % 100000);
  const auto dir =
      (where == Where::BelowRoot ? fs_path(below_root()) : std::filesystem::temp_directory_path()) /
      fs_path(name);
  std::filesystem::create_directories(dir);
  path_ = utf8_path(dir);
}

TempDir::~TempDir() {
  std::error_code ec;
  // A program of the test may still be ending and hold its file; try a while.
  for (int i = 0; i < 50; ++i) {
    std::filesystem::remove_all(fs_path(path_), ec);
    if (!ec) return;
    std::this_thread::sleep_for(20ms);
  }
}

std::string TempDir::file(std::string_view name) const {
  return utf8_path(fs_path(path_) / fs_path(std::string(name)));
}

std::string core_file_name(Standin which) {
  switch (which) {
    case Standin::Xray:
      return exe_name("xray");
    case Standin::SingBox:
      return exe_name("sing-box");
    case Standin::Desktop:
      return exe_name("ombrel-desktop");
  }
  return {};
}

std::string install_standin(const std::string& dir, Standin which,
                            std::optional<std::string> file_name) {
  std::string source;
  switch (which) {
    case Standin::Xray:
      source = exe_name("standin-xray");
      break;
    case Standin::SingBox:
      source = exe_name("standin-sing-box");
      break;
    case Standin::Desktop:
      source = exe_name("standin-desktop");
      break;
  }
  if (which == Standin::Xray) set_core_account();
  const auto target = fs_path(dir) / fs_path(file_name.value_or(core_file_name(which)));
  std::filesystem::copy_file(fs_path(bin_dir()) / fs_path(source), target,
                             std::filesystem::copy_options::overwrite_existing);
  return utf8_path(target);
}

std::string install_program(const std::string& dir, std::string_view base,
                            const std::string& file_name) {
  const auto target = fs_path(dir) / fs_path(file_name);
  std::filesystem::copy_file(fs_path(bin_dir()) / fs_path(exe_name(base)), target,
                             std::filesystem::copy_options::overwrite_existing);
  return utf8_path(target);
}

bool running_from(std::uint32_t pid, const std::string& exe) {
  auto image = platform::process_image_path(pid);
  if (!image) return false;
  auto running = platform::canonical_path(*image);
  auto wanted = platform::canonical_path(exe);
  return running && wanted && platform::same_path(*running, *wanted);
}

InstallDir::InstallDir(std::string_view hint)
    : TempDir(hint, Where::BelowRoot),
      xray((set_folder_rights(path(), Rights::AdministratorsOnly),
            install_standin(path(), Standin::Xray))),
      sing_box(install_standin(path(), Standin::SingBox)),
      desktop(install_standin(path(), Standin::Desktop)) {
  make_records_folder(path());
}

void make_records_folder(const std::string& dir) {
  const std::string records = utf8_path(fs_path(dir) / "records");
  std::filesystem::create_directories(fs_path(records));
  set_folder_rights(records, Rights::EveryoneChanges);
}

std::string record_path(const std::string& exe, std::string_view suffix) {
  return standin::record_path(exe, suffix);
}

namespace {

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(fs_path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

void set_script(const std::string& exe, std::string_view script) {
  write_file(exe + ".script", script);
}

void set_script(const std::string& exe, int run, std::string_view script) {
  write_file(exe + ".script." + std::to_string(run), script);
}

std::optional<std::string> read_record(const std::string& exe, std::string_view suffix) {
  std::ifstream in(fs_path(record_path(exe, suffix)), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> recorded_args(const std::string& exe) {
  std::vector<std::string> args;
  const std::string joined = read_record(exe, ".args").value_or("");
  std::size_t start = 0;
  for (std::size_t i = 0; i < joined.size(); ++i) {
    if (joined[i] == '\0') {
      args.push_back(joined.substr(start, i - start));
      start = i + 1;
    }
  }
  return args;
}

int run_count(const std::string& exe) {
  int n = 0;
  for (const char c : read_record(exe, ".runs").value_or("")) n += c == '\n';
  return n;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::optional<std::string> wait_for_record(const std::string& exe, std::string_view suffix,
                                           std::chrono::milliseconds timeout) {
  std::optional<std::string> record;
  wait_until([&] { return (record = read_record(exe, suffix)).has_value(); }, timeout);
  return record;
}

std::string read_to_end(Reader& reader) {
  std::string all;
  char buf[8192];
  while (true) {
    auto n = reader.read(buf);
    if (!n || *n == 0) return all;
    all.append(buf, *n);
  }
}

}  // namespace ombrel::testsupport
