#pragma once
// The service's fixed identity, the same for the installer and the running
// service.
#include <string_view>

namespace ombrel::host {

inline constexpr std::string_view SERVICE_NAME = "OmbrelService";
inline constexpr std::string_view DISPLAY_NAME = "Ombrel VPN";
inline constexpr std::string_view DESCRIPTION =
    "Поднимает VPN-туннель Ombrel. Без неё приложение не сможет подключиться.";

}  // namespace ombrel::host
