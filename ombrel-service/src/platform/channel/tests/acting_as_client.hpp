#pragma once
// Whether the calling thread acts in a pipe client's name (Windows
// impersonation); always false on Linux, where no thread ever does.
namespace ombrel::platform::test {

bool thread_acts_as_client();

}  // namespace ombrel::platform::test
