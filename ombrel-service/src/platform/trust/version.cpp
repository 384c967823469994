#include "platform/trust/version.hpp"

namespace ombrel::platform {

std::string version_text(const FileVersion& version) {
  std::string text;
  for (const auto part : version) {
    if (!text.empty()) text += '.';
    text += std::to_string(part);
  }
  return text;
}

}  // namespace ombrel::platform
