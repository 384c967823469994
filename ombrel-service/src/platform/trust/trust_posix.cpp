// The Linux port's programs are ELF files without signatures; who may
// install them is decided by the caller's user id instead.
#include "platform/files/files.hpp"
#include "platform/trust/trust.hpp"

namespace ombrel::platform {

extern const bool PROGRAMS_CARRY_SIGNATURES = false;

Result<ProgramSignature> program_signature(const std::string& path) {
  auto file = InputFile::open(path);
  if (!file) return fail(file.error());
  return ProgramSignature{};
}

}  // namespace ombrel::platform
