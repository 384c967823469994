// What an offered program is and whether it is newer: its version resource
// against the installed file's.
#include "platform/files/files.hpp"
#include "selfupdate/update.hpp"

namespace ombrel::selfupdate {

namespace {

bool same_name_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string file_name(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Result<void> check_build(const std::string& staged, std::string_view shown,
                         const std::string& installed, const UpdateDeps& deps) {
  if (!deps.program_version) return {};
  const std::string path(shown);
  const std::string name = file_name(installed);
  auto offered = deps.program_version(staged);
  if (!offered) return fail(std::move(offered.error()).wrapped("не проверить версию " + path));
  // The publisher signs the desktop application and the service alike: only
  // the name the build gives itself tells which of the two it is.
  if (!*offered || !same_name_ignoring_ascii_case((*offered)->original_filename, name)) {
    return fail(path + " - не " + name);
  }
  // Only a file that is there and truly carries no version was made before
  // versions were compared: any build of the right file follows it. A file
  // that merely cannot be read now (held open by someone, a stalled disk)
  // proves nothing, and taking it as old would let any older build in.
  auto current = deps.program_version(installed);
  if (!current) {
    if (!platform::path_exists(installed)) return {};
    return fail(std::move(current.error()).wrapped("не проверить версию " + installed));
  }
  if (!*current) return {};
  if ((*offered)->file_version <= (*current)->file_version) {
    return fail(path + " - версия " + platform::version_text((*offered)->file_version) +
                " не новее установленной " + platform::version_text((*current)->file_version));
  }
  return {};
}

}  // namespace ombrel::selfupdate
