// Byte-order conversions, told the host's order by the sockets library.
#include "byte_order.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

namespace tarvix {

// Network order is big-endian, so the host-to-network conversion leaves 1
// alone exactly on a big-endian host.
std::uint16_t little_endian16(std::uint16_t value) noexcept {
  if (htons(1) != 1) {
    return value;
  }
  return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}

std::uint32_t little_endian32(std::uint32_t value) noexcept {
  if (htonl(1) != 1) {
    return value;
  }
  return (value >> 24) | ((value >> 8) & 0x0000FF00U) | ((value << 8) & 0x00FF0000U) |
         (value << 24);
}

}  // namespace tarvix
