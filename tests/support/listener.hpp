#pragma once
// A TCP listener on a free port of a given address, for the tests of who
// listens where. It owns its socket: a row that fails leaves none behind.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ombrel::testsupport {

struct TcpListener {
  // Listens on a free port at `address` ("127.0.0.1", "0.0.0.0", "::",
  // "::ffff:127.0.0.1"...). nullopt, with the reason written out, when this
  // computer cannot bind it (127.0.0.2 is not local everywhere). Windows
  // makes IPv4 listeners only: the service reads the IPv4 listener table
  // there. A socket call that fails otherwise fails the test.
  static std::optional<TcpListener> open(const std::string& address);

  std::uint16_t port = 0;
  std::shared_ptr<void> socket;  // closes it with its last copy
};

// Connects to 127.0.0.1:`port`, sends `bytes` and closes: whether the
// connection was made and the bytes sent.
bool connect_loopback(std::uint16_t port, const std::string& bytes = "");

// Whether the system's listener table names the owner of each socket (Wine's
// names none).
bool listener_owners_named();

}  // namespace ombrel::testsupport
