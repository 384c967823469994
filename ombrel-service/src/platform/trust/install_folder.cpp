#include "platform/trust/install_folder.hpp"

namespace ombrel::platform {

bool is_safe_folder_mode(std::uint32_t owner, std::uint32_t mode, std::uint32_t own_uid,
                         bool installation_folder) {
  constexpr std::uint32_t GROUP_WRITE = 020;
  constexpr std::uint32_t OTHER_WRITE = 02;
  constexpr std::uint32_t STICKY = 01000;
  if (owner != 0 && owner != own_uid) return false;
  if ((mode & GROUP_WRITE) == 0 && (mode & OTHER_WRITE) == 0) return true;
  return !installation_folder && (mode & STICKY) != 0;
}

}  // namespace ombrel::platform
