#pragma once
// What a program file says it is: the version resource of a Windows
// program (its OriginalFilename and its fixed FileVersion). The Linux port's
// programs are ELF files without one: every file reads as having none there,
// and the update path, which there takes only root's files, does not ask.
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>

#include "base/error.hpp"

namespace ombrel::platform {

// a.b.c.d, compared from the left.
using FileVersion = std::array<std::uint16_t, 4>;

struct ProgramVersion {
  std::string original_filename;  // as the resource gives it, UTF-8
  FileVersion file_version{};
};

// "a.b.c.d".
std::string version_text(const FileVersion& version);

// The version resource of the program at `path`; nullopt when it has none
// (or no fixed part or no OriginalFilename in it). Only the file itself is
// read, never a language file beside it. Fails when the file cannot be read.
Result<std::optional<ProgramVersion>> program_version(const std::string& path);

}  // namespace ombrel::platform
