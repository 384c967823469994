#include <windows.h>

#include <atomic>
#include <string>

#include "event_messages.h"  // made from event_messages.mc by the message compiler
#include "platform/handle_win.hpp"
#include "platform/host/event_log.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {
namespace {

// The identifier the message table knows a message by: its level in the
// two top bits over the id Event Viewer shows.
constexpr DWORD message_id(const EventType& type) {
  const DWORD severity = type.level == EventLevel::Information ? 1
                         : type.level == EventLevel::Warning   ? 2
                                                               : 3;
  return (severity << 30) | type.id;
}

static_assert(message_id(event_type(EventKind::Started)) == MSG_STARTED);
static_assert(message_id(event_type(EventKind::Stopped)) == MSG_STOPPED);
static_assert(message_id(event_type(EventKind::CoresFailed)) == MSG_CORES_FAILED);
static_assert(message_id(event_type(EventKind::GaveUp)) == MSG_GAVE_UP);
static_assert(message_id(event_type(EventKind::UpdateApplied)) == MSG_UPDATE_APPLIED);
static_assert(message_id(event_type(EventKind::UpdateRefused)) == MSG_UPDATE_REFUSED);
static_assert(message_id(event_type(EventKind::UnsafeFolder)) == MSG_UNSAFE_FOLDER);
static_assert(message_id(event_type(EventKind::PipeHeld)) == MSG_PIPE_HELD);
static_assert(message_id(event_type(EventKind::DataFolderNotReady)) == MSG_DATA_FOLDER_NOT_READY);
static_assert(message_id(event_type(EventKind::CoreAsService)) == MSG_CORE_AS_SERVICE);

WORD event_log_type(EventLevel level) {
  switch (level) {
    case EventLevel::Information:
      return EVENTLOG_INFORMATION_TYPE;
    case EventLevel::Warning:
      return EVENTLOG_WARNING_TYPE;
    case EventLevel::Error:
      break;
  }
  return EVENTLOG_ERROR_TYPE;
}

// Opened once and kept: a source handle is cheap, and late threads may
// report while the process ends.
std::atomic<HANDLE> g_source{nullptr};

std::wstring source_key(std::string_view source) {
  return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + wide(source);
}

class RegKey {
 public:
  RegKey() = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

Result<void> ok_or(LSTATUS status) {
  if (status != ERROR_SUCCESS) return fail(os_error(static_cast<unsigned long>(status)));
  return {};
}

}  // namespace

void report_to_system(const EventType& type, std::string_view text) {
  const HANDLE source = g_source.load();
  if (source == nullptr) return;
  const std::wstring w = wide(text);
  const wchar_t* strings[] = {w.c_str()};
  (void)ReportEventW(source, event_log_type(type.level), 0, message_id(type), nullptr, 1, 0,
                     strings, nullptr);
}

void open_event_log(std::string_view source) {
  if (g_source.load() != nullptr) return;
  HANDLE opened = RegisterEventSourceW(nullptr, wide(source).c_str());
  HANDLE none = nullptr;
  if (opened != nullptr && !g_source.compare_exchange_strong(none, opened)) {
    DeregisterEventSource(opened);
  }
}

Result<void> register_event_source(std::string_view source, std::string_view message_file) {
  RegKey key;
  OMBREL_TRY(ok_or(RegCreateKeyExW(HKEY_LOCAL_MACHINE, source_key(source).c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, key.out(), nullptr)));
  const std::wstring file = wide(message_file);
  OMBREL_TRY(ok_or(RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                                  reinterpret_cast<const BYTE*>(file.c_str()),
                                  static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)))));
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  return ok_or(RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&types), sizeof types));
}

Result<void> remove_event_source(std::string_view source) {
  const LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, source_key(source).c_str());
  if (status == ERROR_FILE_NOT_FOUND) return {};
  return ok_or(status);
}

}  // namespace ombrel::platform
