#include "platform/token_win.hpp"

#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

Result<std::vector<BYTE>> token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  (void)GetTokenInformation(token, kind, nullptr, 0, &size);
  std::vector<BYTE> bytes(size);
  if (size == 0 || !GetTokenInformation(token, kind, bytes.data(), size, &size)) {
    return fail(last_os_error());
  }
  return bytes;
}

Result<std::vector<BYTE>> process_token_user(HANDLE process) {
  UniqueHandle token;
  if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) return fail(last_os_error());
  return token_information(token.get(), TokenUser);
}

Result<std::vector<unsigned char>> own_user_sid() {
  auto user = process_token_user(GetCurrentProcess());
  if (!user) return fail(std::move(user.error()));
  const PSID sid = reinterpret_cast<TOKEN_USER*>(user->data())->User.Sid;
  std::vector<unsigned char> out(GetLengthSid(sid));
  if (!CopySid(static_cast<DWORD>(out.size()), out.data(), sid)) return fail(last_os_error());
  return out;
}

}  // namespace ombrel::platform
