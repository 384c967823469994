#include <windows.h>

#include <vector>

#include "base/text.hpp"
#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/trust/version.hpp"

namespace ombrel::platform {

namespace {

// The value at `key` in the block, as a whole piece of it.
std::optional<std::wstring_view> text_value(const std::vector<char>& block,
                                            const std::wstring& key) {
  void* value = nullptr;
  UINT chars = 0;
  if (!VerQueryValueW(block.data(), key.c_str(), &value, &chars) || value == nullptr) {
    return std::nullopt;
  }
  std::wstring_view text(static_cast<const wchar_t*>(value), chars);
  if (const auto end = text.find(L'\0'); end != std::wstring_view::npos) text = text.substr(0, end);
  return text;
}

}  // namespace

Result<std::optional<ProgramVersion>> program_version(const std::string& path) {
  const std::wstring wpath = wide(path);
  // Neutral only: a localised build would also read a ".mui" file from a
  // language folder beside the program, which is not the file judged.
  constexpr DWORD FLAGS = FILE_VER_GET_NEUTRAL;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeExW(FLAGS, wpath.c_str(), &ignored);
  if (size == 0) {
    const DWORD error = GetLastError();
    // The file is there, it just has no version resource.
    if (error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
        error == ERROR_RESOURCE_NAME_NOT_FOUND || error == ERROR_BAD_EXE_FORMAT ||
        error == ERROR_RESOURCE_LANG_NOT_FOUND) {
      return std::optional<ProgramVersion>();
    }
    return fail(os_error(error));
  }
  std::vector<char> block(size);
  if (!GetFileVersionInfoExW(FLAGS, wpath.c_str(), 0, size, block.data())) {
    return fail(last_os_error());
  }

  void* fixed = nullptr;
  UINT fixed_size = 0;
  if (!VerQueryValueW(block.data(), L"\\", &fixed, &fixed_size) || fixed == nullptr ||
      fixed_size < sizeof(VS_FIXEDFILEINFO)) {
    return std::optional<ProgramVersion>();
  }
  const auto& info = *static_cast<const VS_FIXEDFILEINFO*>(fixed);
  if (info.dwSignature != 0xFEEF04BD) return std::optional<ProgramVersion>();

  // The string table of the first language the resource lists.
  void* translations = nullptr;
  UINT translations_size = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translations,
                      &translations_size) ||
      translations == nullptr || translations_size < 4) {
    return std::optional<ProgramVersion>();
  }
  const auto* pair = static_cast<const WORD*>(translations);
  wchar_t key[64];
  swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\OriginalFilename", pair[0], pair[1]);
  const auto name = text_value(block, key);
  if (!name) return std::optional<ProgramVersion>();

  ProgramVersion version;
  version.original_filename = utf16_to_utf8(std::u16string(name->begin(), name->end()));
  version.file_version = {HIWORD(info.dwFileVersionMS), LOWORD(info.dwFileVersionMS),
                          HIWORD(info.dwFileVersionLS), LOWORD(info.dwFileVersionLS)};
  return std::optional<ProgramVersion>(std::move(version));
}

}  // namespace ombrel::platform
