#include "host_resolver.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

namespace kesta::kestactl {

std::expected<protocol::Ipv4Address, std::string> resolve_ipv4(std::string_view host) {
#ifdef _WIN32
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return std::unexpected(std::string("the network library did not start"));
#endif
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const std::string name(host);
  if (const int code = getaddrinfo(name.c_str(), nullptr, &hints, &found); code != 0) {
#ifdef _WIN32
    return std::unexpected("no IPv4 address found (error " + std::to_string(code) + ")");
#else
    return std::unexpected(std::string(gai_strerror(code)));
#endif
  }
  protocol::Ipv4Address ip{};
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  std::memcpy(ip.data(), &address->sin_addr, ip.size());
  freeaddrinfo(found);
  return ip;
}

}  // namespace kesta::kestactl
