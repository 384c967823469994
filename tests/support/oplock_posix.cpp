#include "oplock.hpp"

namespace ombrel::testsupport {

std::unique_ptr<HeldOplock> HeldOplock::take(const std::string&) {
  return nullptr;
}

}  // namespace ombrel::testsupport
