#pragma once
// Shared between the files of this module only.
#include <mutex>
#include <string_view>

namespace ombrel::selfupdate::internal {

// Held while executables and backups in the installation folder are moved
// or deleted, so that the start-up check never takes a file that a
// replacement has just moved aside for a missing executable.
std::mutex& install_folder_lock();

// The first bytes of every program this platform runs, and what a file
// without them is called.
#ifdef _WIN32
inline constexpr std::string_view PROGRAM_MARK = "MZ";
inline constexpr std::string_view NOT_A_PROGRAM = " - не программа Windows";
#else
inline constexpr std::string_view PROGRAM_MARK =
    "\x7f"
    "ELF";
inline constexpr std::string_view NOT_A_PROGRAM = " - не программа Linux";
#endif

inline constexpr std::size_t BLOCK_SIZE = 65536;

}  // namespace ombrel::selfupdate::internal
