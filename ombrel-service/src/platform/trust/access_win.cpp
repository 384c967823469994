#include "platform/trust/access_win.hpp"

#include <aclapi.h>

#include <array>

#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

Result<bool> token_may_read(PSECURITY_DESCRIPTOR sd, HANDLE token) {
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  DWORD desired = FILE_GENERIC_READ;
  MapGenericMask(&desired, &mapping);
  // Room for the privileges the check may report using; none are needed
  // for reading, and none are held back.
  alignas(PRIVILEGE_SET) std::array<unsigned char, 512> privileges{};
  DWORD privileges_size = static_cast<DWORD>(privileges.size());
  DWORD granted = 0;
  BOOL allowed = FALSE;
  if (!AccessCheck(sd, token, desired, &mapping,
                   reinterpret_cast<PPRIVILEGE_SET>(privileges.data()), &privileges_size, &granted,
                   &allowed)) {
    return fail(last_os_error().wrapped("не удалось проверить доступ"));
  }
  return allowed != FALSE && (granted & desired) == desired;
}

Result<bool> token_may_read_file(HANDLE file, HANDLE token) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD r = GetSecurityInfo(
      file, SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
      nullptr, nullptr, nullptr, &sd);
  if (r != ERROR_SUCCESS) return fail(os_error(r).wrapped("не удалось прочитать права файла"));
  const LocalMemory owned(sd);
  return token_may_read(sd, token);
}

}  // namespace ombrel::platform
