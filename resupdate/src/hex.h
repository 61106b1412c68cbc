// Hexadecimal numbers in the core's error details.
#pragma once

#include <cstdint>
#include <string>

namespace resupdate::detail {

[[nodiscard]] inline std::string hex(std::uint64_t v) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  do {
    s.insert(s.begin(), digits[v & 0xf]);
    v >>= 4;
  } while (v != 0);
  return "0x" + s;
}

}  // namespace resupdate::detail
