// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <gtest/gtest.h>

#include <iostream>

#include "listener.hpp"
#include "testsupport.hpp"

namespace ombrel::testsupport {

std::optional<TcpListener> TcpListener::open(const std::string& address) {
  // Never cleaned up: the test process ends soon enough.
  static const bool started = [] {
    WSADATA wsa{};
    return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  }();
  if (!started) {
    ADD_FAILURE() << "no Winsock";
    return std::nullopt;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (address.find(':') != std::string::npos ||
      inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    std::cout << address << ": IPv4 listeners only here\n";
    return std::nullopt;
  }
  TcpListener listener;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    ADD_FAILURE() << "no socket: " << WSAGetLastError();
    return std::nullopt;
  }
  listener.socket = std::shared_ptr<void>(nullptr, [s](void*) { closesocket(s); });
  int size = sizeof addr;
  auto* a = reinterpret_cast<sockaddr*>(&addr);
  if (bind(s, a, size) != 0) {
    std::cout << address << " cannot be bound here\n";
    return std::nullopt;
  }
  if (listen(s, 1) != 0 || getsockname(s, a, &size) != 0) {
    ADD_FAILURE() << "no listener at " << address << ": " << WSAGetLastError();
    return std::nullopt;
  }
  listener.port = ntohs(addr.sin_port);
  return listener;
}

bool connect_loopback(std::uint16_t port, const std::string& bytes) {
  if (!TcpListener::open("127.0.0.1")) return false;  // Winsock started
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  bool done = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (done && !bytes.empty()) {
    done = ::send(s, bytes.data(), static_cast<int>(bytes.size()), 0) ==
           static_cast<int>(bytes.size());
  }
  closesocket(s);
  return done;
}

bool listener_owners_named() {
  return real_windows();
}

}  // namespace ombrel::testsupport
