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
  // Empty when granted; otherwise why not, in the system's words, and
  // whether because another handle is open.
  std::string request(bool* not_granted) {
    overlapped_.hEvent = event_;
    DWORD ignored = 0;
    if (DeviceIoControl(file_, FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr, 0, &ignored,
                        &overlapped_)) {
      return "the request completed at once, which grants nothing";
    }
    const DWORD error = GetLastError();
    *not_granted = error == ERROR_OPLOCK_NOT_GRANTED;
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
  // A batch oplock is granted only to the file's one open handle
  // (FsRtlOplockFsctrl's OpenCount; else STATUS_OPLOCK_NOT_GRANTED), and a
  // file the test has just written is opened for a moment by Defender's
  // real-time scan or the search indexer: asked again on a new handle, a
  // while.
  std::string why;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (attempt > 0) Sleep(100);
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      why = platform::last_os_error().to_string();
      ADD_FAILURE() << "cannot open " << path << ": " << why;
      return nullptr;
    }
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto held = std::make_unique<BatchOplock>(file, event);
    bool not_granted = false;
    why = held->request(&not_granted);
    if (why.empty()) return held;
    if (!not_granted) break;
  }
  ADD_FAILURE() << "no oplock granted on " << path << ": " << why;
  return nullptr;
}

}  // namespace ombrel::testsupport
