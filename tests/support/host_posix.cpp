// What the Linux port's tests ask of the host: rights on folders they make,
// links and FIFOs.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "platform/process/process.hpp"
#include "testsupport.hpp"

namespace ombrel::testsupport {

bool real_windows() {
  return false;
}

bool system_account() {
  return true;
}

std::string below_root() {
  return utf8_path(std::filesystem::temp_directory_path());
}

void set_folder_rights(const std::string& dir, Rights rights) {
  // chmod, not the umask's guess: a group-writable umask would make every
  // installation folder unsafe.
  const mode_t mode = rights == Rights::AdministratorsOnly ? 0755 : 0777;
  if (::chmod(dir.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + dir);
}

void set_core_account(const std::string& name) {
  std::string account = name;
  if (account.empty()) {
    const passwd* own = ::getpwuid(::geteuid());
    account = own != nullptr ? own->pw_name : "root";
  }
  ::setenv(std::string(platform::UNPRIVILEGED_ACCOUNT_VARIABLE).c_str(), account.c_str(), 1);
}

void name_no_core_account() {
  ::unsetenv(std::string(platform::UNPRIVILEGED_ACCOUNT_VARIABLE).c_str());
}

ScopedVariable::ScopedVariable(std::string name, const std::string& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedVariable::~ScopedVariable() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

FolderLink::FolderLink(std::string link, const std::string& target, Kind kind)
    : link_(std::move(link)) {
  made_ = kind == Kind::Symbolic && ::symlink(target.c_str(), link_.c_str()) == 0;
}

FolderLink::~FolderLink() {
  if (made_) ::unlink(link_.c_str());
}

HostFifo::HostFifo(std::string path) : path_(std::move(path)) {
  made_ = ::mkfifo(path_.c_str(), 0600) == 0;
}

HostFifo::~HostFifo() {
  if (made_) ::unlink(path_.c_str());
}

}  // namespace ombrel::testsupport
