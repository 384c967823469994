// ELF programs carry no version resource.
#include "platform/files/files.hpp"
#include "platform/trust/version.hpp"

namespace ombrel::platform {

Result<std::optional<ProgramVersion>> program_version(const std::string& path) {
  auto file = InputFile::open(path);
  if (!file) return fail(file.error());
  return std::optional<ProgramVersion>();
}

}  // namespace ombrel::platform
