#include "acting_as_client.hpp"

namespace ombrel::platform::test {

bool thread_acts_as_client() {
  return false;
}

}  // namespace ombrel::platform::test
