#pragma once
// Shared helpers for tests that run real programs: temporary folders, an
// installation folder holding the stand-ins under the real file names, and
// access to what the stand-ins record (see tests/standin/standin.hpp).
// Paths are UTF-8 text in the platform's own form, like the service's.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/stream.hpp"

namespace ombrel::testsupport {

using namespace std::chrono_literals;

// The Windows suite runs under Wine here and on real Windows in CI. A few
// tests only make sense in one of the two: Wine runs the host's Linux
// programs and grants every right, while only Windows keeps access lists on
// files and enforces them. Wine is told apart at run time by ntdll's
// `wine_get_version` export; OMBREL_REAL_WINDOWS=1 (or 0) forces a side.
bool real_windows();
#define OMBREL_WINE_ONLY(why) \
  if (::ombrel::testsupport::real_windows()) GTEST_SKIP() << "under Wine only: " << why
#define OMBREL_REAL_WINDOWS_ONLY(why) \
  if (!::ombrel::testsupport::real_windows()) GTEST_SKIP() << "on real Windows only: " << why

// Whether the test may act as the system account: on real Windows when it
// runs as LocalSystem (CI runs the executables holding such tests a second
// time so); Wine and Linux give every process what these tests need.
bool system_account();
#define OMBREL_SYSTEM_ACCOUNT_ONLY(why)         \
  if (!::ombrel::testsupport::system_account()) \
  GTEST_SKIP() << "as the system account only (run it as LocalSystem): " << why

// The folder of every built executable: the one this test runs from (all
// of them are built into one folder), so that a build copied elsewhere, or
// reached through another drive, still finds them.
std::string bin_dir();

// The source tree: the build folder's parent's parent when it holds the
// tests (a preset's build/<name>), otherwise where it was at build time
// (OMBREL_SOURCE_DIR; under Wine the Linux path through drive Z:).
std::string source_dir();

// `base` with ".exe" on Windows: "xray" -> "xray.exe".
std::string exe_name(std::string_view base);

std::filesystem::path fs_path(const std::string& utf8);
std::string utf8_path(const std::filesystem::path& path);

// Where a TempDir is made: the system's temporary folder, or straight
// below the volume root (Windows: %SystemDrive%\\), where nothing above it
// but the root itself decides who may change it. The temporary folder of a
// Windows account lies in its profile, which the system account rightly
// judges unsafe; Linux keeps both in the temporary folder.
enum class Where { Temp, BelowRoot };
// The folder Where::BelowRoot makes folders in.
std::string below_root();

// A new empty folder, removed with all its content when dropped. `hint`
// becomes part of the name (may be non-ASCII).
class TempDir {
 public:
  explicit TempDir(std::string_view hint = "t", Where where = Where::Temp);
  TempDir(TempDir&&) = delete;
  ~TempDir();
  const std::string& path() const { return path_; }
  // `name` inside this folder.
  std::string file(std::string_view name) const;

 private:
  std::string path_;
};

// Who may change a folder the test makes, set explicitly rather than left
// to what its parents hand down.
enum class Rights {
  // Linux: mode 0755. Windows: owned by the administrators, a protected
  // list granting the system and the administrators everything, users
  // reading and running.
  AdministratorsOnly,
  // Linux: mode 0777. Windows: the same list, and everyone may change it.
  EveryoneChanges,
};
void set_folder_rights(const std::string& dir, Rights rights);

#ifdef _WIN32
// What an access list (SDDL, "D:" and what follows) grants, by account (SID
// text; "denied " before it for a denial), as file rights named from the
// mask: the generic rights mapped to the file rights they stand for, and a
// mask Windows writes in hex for want of a two-letter name read as the
// number ("0x12019f" and "GRGW" are both "FR+FW"). Compare these, never the
// text: Windows reads a pipe's list back mapped, Wine unmapped.
std::map<std::string, std::string> granted_rights(const std::string& sddl);
#endif

// The account the proxy core runs as when the tests run as root (Linux;
// nothing on Windows): `name`, or the test's own when empty. A stand-in core
// keeps its records next to itself, where only the test's account may
// write, so placing one sets the test's own; a test of the account names
// another after placing its cores.
void set_core_account(const std::string& name = "");
// No account named: a service run as root picks the proxy core an id of its
// own and records it in its data folder (Linux; nothing on Windows).
void name_no_core_account();

#ifndef _WIN32
// A variable of this process set while this lives, then put back as it was
// (unset when it was unset).
class ScopedVariable {
 public:
  ScopedVariable(std::string name, const std::string& value);
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  ~ScopedVariable();

 private:
  std::string name_;
  std::optional<std::string> old_;
};
#endif

// A link at `link` to the folder `target`, removed (the link alone) when
// dropped, before the folders around it are: a symbolic link (on Windows a
// directory link, which needs an administrator; under Wine a Unix link
// made by the host's ln, which Wine shows as a reparse point, where one a
// Windows program makes it keeps in a form of its own), or a junction (a
// mount point, made by cmd's mklink as any Windows user may; real Windows
// only). made() is false when it could not be made.
class FolderLink {
 public:
  enum class Kind { Symbolic, Junction };
  FolderLink(std::string link, const std::string& target, Kind kind = Kind::Symbolic);
  FolderLink(FolderLink&&) = delete;
  ~FolderLink();
  bool made() const { return made_; }

 private:
  std::string link_;
  bool made_ = false;
};

// `path` as the host's own programs see it: under Wine "Z:\tmp\x" is
// "/tmp/x" and "C:\..." lies in the prefix's drive folder; elsewhere the
// path itself.
std::string host_path(const std::string& path);
// Runs a host program (under Wine a Linux one) to its end; its exit code,
// or -1 (with a test failure added) when it cannot be run.
int run_host_program(const std::string& program, const std::vector<std::string>& args);

// A FIFO at `path`, as Linux knows it, removed when dropped: on Linux, and
// under Wine through the host's own mkfifo and rm (Wine, asked to delete
// it, would open it and wait for a writer). Real Windows has none: made()
// is false there.
class HostFifo {
 public:
  explicit HostFifo(std::string path);
  HostFifo(HostFifo&&) = delete;
  ~HostFifo();
  bool made() const { return made_; }

 private:
  std::string path_;
  bool made_ = false;
};

enum class Standin { Xray, SingBox, Desktop };

// The file name the stand-in takes the place of: "xray", "sing-box",
// "ombrel-desktop", with ".exe" on Windows.
std::string core_file_name(Standin which);

// Copies a stand-in into `dir` under `file_name` (default: its core file
// name) and returns the full path of the copy.
std::string install_standin(const std::string& dir, Standin which,
                            std::optional<std::string> file_name = std::nullopt);

// Copies the built program `base` ("standin-owner") into `dir` as
// `file_name` and returns the full path of the copy.
std::string install_program(const std::string& dir, std::string_view base,
                            const std::string& file_name);

// Whether the process `pid` is alive and runs the executable at `exe`: a
// process that has ended (a zombie on Linux) or another program that took
// over the number does not.
bool running_from(std::uint32_t pid, const std::string& exe);

// A temporary installation folder with all three stand-ins in place, made
// below the volume root with Rights::AdministratorsOnly: a folder the
// service, run as the system account, judges safe wherever the checkout or
// the temporary folder lives. The stand-ins keep their records in its
// `records` folder, which everyone may change (Rights::EveryoneChanges):
// the desktop started with a session's user token writes there.
class InstallDir : public TempDir {
 public:
  explicit InstallDir(std::string_view hint = "install");
  std::string xray;
  std::string sing_box;
  std::string desktop;
};

// A `records` folder in `dir` that everyone may change, where the
// stand-ins in `dir` keep their records from then on.
void make_records_folder(const std::string& dir);

// The script of every start of the stand-in at `exe`, or of its `run`-th
// start only (counting from 1).
void set_script(const std::string& exe, std::string_view script);
void set_script(const std::string& exe, int run, std::string_view script);

// Where the record of the stand-in at `exe` with `suffix` (".stdin",
// ".cwd", ...) lives: in the `records` folder beside it, if any.
std::string record_path(const std::string& exe, std::string_view suffix);
// That record; nullopt while it does not exist.
std::optional<std::string> read_record(const std::string& exe, std::string_view suffix);
// The arguments of its latest start; empty when it never started.
std::vector<std::string> recorded_args(const std::string& exe);
// How many times it has started.
int run_count(const std::string& exe);

// Polls `condition` every 10 ms until it holds or `timeout` passes.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 30s);
// Waits for a record of the stand-in at `exe` to appear.
std::optional<std::string> wait_for_record(const std::string& exe, std::string_view suffix,
                                           std::chrono::milliseconds timeout = 30s);

// Everything `reader` gives until the end of its stream (or an error).
std::string read_to_end(Reader& reader);

}  // namespace ombrel::testsupport
