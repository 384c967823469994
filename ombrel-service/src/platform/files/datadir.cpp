// The data folder is the same notion on both platforms.
#include "platform/files/datadir.hpp"
#include "platform/files/paths.hpp"

namespace ombrel::platform {

Result<void> ensure_private_data_dir() {
  return ensure_private_dir(data_dir());
}

}  // namespace ombrel::platform
