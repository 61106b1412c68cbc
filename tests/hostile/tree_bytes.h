// Resource trees written byte by byte, for trees no encoder would produce.
#pragma once

#include <cstdint>

#include "pe_builder.h"

namespace tarvisk_hostile {

using tarvisk_test::Bytes;

inline constexpr std::uint32_t kSubdirectory = 0x80000000U;
inline constexpr std::uint32_t kNamed = 0x80000000U;

// A resource section under construction; it grows to cover whatever is written into it.
struct TreeBytes {
  Bytes b;

  void at_least(std::size_t size) {
    if (b.size() < size) b.resize(size, 0);
  }
  void u16(std::uint32_t off, std::uint16_t v) {
    at_least(off + 2U);
    tarvisk_test::put16(b, off, v);
  }
  void u32(std::uint32_t off, std::uint32_t v) {
    at_least(off + 4U);
    tarvisk_test::put32(b, off, v);
  }
  void directory(std::uint32_t off, std::uint16_t named, std::uint16_t ids) {
    u32(off, 0);
    u32(off + 4, 0);
    u16(off + 8, 4);
    u16(off + 10, 0);
    u16(off + 12, named);
    u16(off + 14, ids);
  }
  // Entry `index` of the directory at `dir`.
  void entry(std::uint32_t dir, std::uint32_t index, std::uint32_t name, std::uint32_t target) {
    u32(dir + 16 + 8 * index, name);
    u32(dir + 16 + 8 * index + 4, target);
  }
  void data_entry(std::uint32_t off, std::uint32_t rva, std::uint32_t size,
                  std::uint32_t code_page = 0) {
    u32(off, rva);
    u32(off + 4, size);
    u32(off + 8, code_page);
    u32(off + 12, 0);
  }
};

// The smallest sound tree: 24/1/0 holding "abcd", laid out as an encoder would.
// Root at 0, name directory at 24, language directory at 48, data entry at 72, data at 88.
inline TreeBytes manifest_tree(std::uint32_t section_rva) {
  TreeBytes t;
  t.directory(0, 0, 1);
  t.entry(0, 0, 24, kSubdirectory | 24);
  t.directory(24, 0, 1);
  t.entry(24, 0, 1, kSubdirectory | 48);
  t.directory(48, 0, 1);
  t.entry(48, 0, 0, 72);
  t.data_entry(72, section_rva + 88, 4);
  t.u32(88, 0x64636261);  // "abcd"
  return t;
}

}  // namespace tarvisk_hostile
