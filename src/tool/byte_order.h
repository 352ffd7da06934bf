// Conversions between host byte order and the container's little-endian order.
#ifndef TARVIX_TOOL_BYTE_ORDER_H
#define TARVIX_TOOL_BYTE_ORDER_H

#include <cstdint>

namespace tarvix {

// little_endian16() and little_endian32() convert between host order and
// little-endian order; each serves both directions. A value passed through one
// and then stored in host memory order lands little-endian, and a value loaded
// in host memory order and passed through one is the stored number.
std::uint16_t little_endian16(std::uint16_t value) noexcept;
std::uint32_t little_endian32(std::uint32_t value) noexcept;

}  // namespace tarvix

#endif  // TARVIX_TOOL_BYTE_ORDER_H
