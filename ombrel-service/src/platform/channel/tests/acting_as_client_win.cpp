#include <windows.h>

#include "acting_as_client.hpp"

namespace ombrel::platform::test {

bool thread_acts_as_client() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    return GetLastError() != ERROR_NO_TOKEN;
  }
  CloseHandle(token);
  return true;
}

}  // namespace ombrel::platform::test
