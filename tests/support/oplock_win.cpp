#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <string>

#include "base/text.hpp"
#include "oplock.hpp"
#include "platform/oserror.hpp"

namespace ombrel::testsupport {

namespace {

// A batch oplock on a handle that is the file's only open: any other open
// breaks it and waits for the break to be acknowledged.
class BatchOplock final : public HeldOplock {
 public:
  BatchOplock(HANDLE file, HANDLE event) : file_(file), event_(event) {}
  ~BatchOplock() override {
    CancelIoEx(file_, &overlapped_);
    DWORD ignored = 0;
    GetOverlappedResult(file_, &overlapped_, &ignored, TRUE);
    CloseHandle(file_);
    CloseHandle(event_);
  }
  // Empty when granted; otherwise why not, in the system's words.
  std::string request() {
    overlapped_.hEvent = event_;
    DWORD ignored = 0;
    if (DeviceIoControl(file_, FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr, 0, &ignored,
                        &overlapped_)) {
      return "the request completed at once, which grants nothing";
    }
    const DWORD error = GetLastError();
    return error == ERROR_IO_PENDING ? "" : platform::os_error(error).to_string();
  }

 private:
  HANDLE file_;
  HANDLE event_;
  OVERLAPPED overlapped_{};
};

}  // namespace

std::unique_ptr<HeldOplock> HeldOplock::take(const std::string& path) {
  const std::u16string wide16 = utf8_to_utf16(path);
  const std::wstring wide(wide16.begin(), wide16.end());
  const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const std::string why = platform::last_os_error().to_string();
    ADD_FAILURE() << "cannot open " << path << ": " << why;
    return nullptr;
  }
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto held = std::make_unique<BatchOplock>(file, event);
  if (const std::string why = held->request(); !why.empty()) {
    ADD_FAILURE() << "no oplock granted on " << path << ": " << why;
    return nullptr;
  }
  return held;
}

}  // namespace ombrel::testsupport
