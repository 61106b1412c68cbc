// The PE32/PE32+ image: validated headers, section table and data directories.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "resupdate/byte_io.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

inline constexpr std::uint32_t kSectionHeaderSize = 40;
inline constexpr std::uint32_t kDataDirectorySize = 8;
inline constexpr std::uint32_t kMaxDataDirectories = 16;
inline constexpr std::uint32_t kDirResource = 2;
inline constexpr std::uint32_t kDirSecurity = 4;
inline constexpr std::uint32_t kDirBaseReloc = 5;
inline constexpr std::uint32_t kDirDebug = 6;

inline constexpr std::uint32_t kScnCntCode = 0x00000020;
inline constexpr std::uint32_t kScnCntInitializedData = 0x00000040;
inline constexpr std::uint32_t kScnMemDiscardable = 0x02000000;
inline constexpr std::uint32_t kScnMemExecute = 0x20000000;
inline constexpr std::uint32_t kScnMemRead = 0x40000000;

struct SectionHeader {
  std::array<std::uint8_t, 8> Name{};
  std::uint32_t VirtualSize = 0;
  Rva VirtualAddress;
  std::uint32_t SizeOfRawData = 0;
  // File offsets, 32 bits on disk.
  FileOffset PointerToRawData;
  FileOffset PointerToRelocations;
  FileOffset PointerToLinenumbers;
  std::uint16_t NumberOfRelocations = 0;
  std::uint16_t NumberOfLinenumbers = 0;
  std::uint32_t Characteristics = 0;

  // Bytes the loader maps for this section: VirtualSize, or the raw size where that is 0.
  [[nodiscard]] std::uint32_t mapped_size() const noexcept {
    return VirtualSize != 0 ? VirtualSize : SizeOfRawData;
  }
  // Where the raw data ends in the file.
  [[nodiscard]] std::uint64_t raw_end() const noexcept {
    return PointerToRawData.value + SizeOfRawData;
  }
  [[nodiscard]] bool name_is(const char* name) const noexcept;
};

struct DataDirectory {
  std::uint32_t VirtualAddress = 0;
  std::uint32_t Size = 0;
  [[nodiscard]] bool empty() const noexcept { return VirtualAddress == 0 && Size == 0; }
};

// Where an RVA range lives in the file: `file_len` bytes at `offset`, then zeros up to the
// range's full length (bytes past a section's raw data but inside its mapped size).
struct FileExtent {
  FileOffset offset{};
  std::uint32_t file_len = 0;
  std::uint32_t size = 0;
};

// Positions of the header fields the rewrite patches, as offsets from the start of the file.
struct HeaderFields {
  std::uint64_t coff = 0;              // COFF file header (after "PE\0\0")
  std::uint64_t optional = 0;          // optional header
  std::uint64_t data_directories = 0;  // first data directory
  std::uint64_t section_table = 0;
  std::uint64_t section_table_end = 0;
};

class PeImage {
 public:
  // Validates the headers of `src` and reads the section table. Nothing else is read.
  [[nodiscard]] static Result<PeImage> parse(const ByteSource& src);

  [[nodiscard]] bool pe32_plus() const noexcept { return pe32_plus_; }
  [[nodiscard]] std::uint64_t file_size() const noexcept { return file_size_; }
  // The file's bytes from 0 to the end of the section table, as read.
  [[nodiscard]] const Bytes& header_bytes() const noexcept { return headers_; }
  [[nodiscard]] const HeaderFields& fields() const noexcept { return fields_; }
  [[nodiscard]] const std::vector<SectionHeader>& sections() const noexcept { return sections_; }
  // Only the directories the image declares (NumberOfRvaAndSizes, at most 16).
  [[nodiscard]] const std::vector<DataDirectory>& directories() const noexcept { return dirs_; }
  [[nodiscard]] DataDirectory directory(std::uint32_t index) const noexcept {
    return index < dirs_.size() ? dirs_[index] : DataDirectory{};
  }

  std::uint16_t Machine = 0;
  std::uint32_t PointerToSymbolTable = 0;
  std::uint32_t SizeOfInitializedData = 0;
  std::uint32_t AddressOfEntryPoint = 0;
  std::uint32_t SectionAlignment = 0;
  std::uint32_t FileAlignment = 0;
  std::uint32_t SizeOfHeaders = 0;
  std::uint32_t CheckSum = 0;
  std::uint32_t NumberOfRvaAndSizes = 0;

  // The addresses section `s` takes once mapped: from its VirtualAddress, its mapped size
  // rounded up to SectionAlignment, cut at 4 GiB.
  [[nodiscard]] std::uint64_t extent(const SectionHeader& s) const noexcept {
    return std::min<std::uint64_t>(align_up(s.mapped_size(), SectionAlignment),
                                   0x100000000ULL - s.VirtualAddress.value);
  }
  // Whether `rva` lies in the extent of section `s`.
  [[nodiscard]] bool contains(const SectionHeader& s, Rva rva) const noexcept {
    return rva >= s.VirtualAddress && rva.value - s.VirtualAddress.value < extent(s);
  }
  // Index of the section whose mapped range holds [rva, rva + len), if any.
  [[nodiscard]] std::optional<std::size_t> section_of(Rva rva,
                                                      std::uint32_t len = 1) const noexcept;
  // Maps an RVA range lying inside one section to the file.
  [[nodiscard]] Result<FileExtent> map(Rva rva, std::uint32_t len) const;
  // As map(), empty where map() fails, for walks over many ranges: tries section `hint` first
  // and leaves in it the section the range was found in, so ranges in one section skip the search.
  [[nodiscard]] std::optional<FileExtent> find(Rva rva, std::uint32_t len,
                                               std::size_t& hint) const noexcept;
  // Reads an RVA range as the loader sees it (zeros past raw data).
  [[nodiscard]] Status read(const ByteSource& src, Rva rva, std::span<std::uint8_t> out) const;
  // Bytes past the last section's raw data: overlay start (== file_size() when there is none).
  [[nodiscard]] std::uint64_t end_of_sections() const noexcept;

 private:
  bool pe32_plus_ = false;
  std::uint64_t file_size_ = 0;
  Bytes headers_;
  HeaderFields fields_;
  std::vector<SectionHeader> sections_;
  std::vector<DataDirectory> dirs_;
  bool sections_disjoint_ = false;  // no address lies in two sections' extents

  [[nodiscard]] bool holds(std::size_t i, Rva rva, std::uint32_t len) const noexcept;
  [[nodiscard]] FileExtent map_in(std::size_t i, Rva rva, std::uint32_t len) const noexcept;
};

// Inline: a walk over a tree of many resources maps every blob through them.
inline bool PeImage::holds(std::size_t i, Rva rva, std::uint32_t len) const noexcept {
  const SectionHeader& s = sections_[i];
  return rva >= s.VirtualAddress && fits(rva.value - s.VirtualAddress.value, len, extent(s));
}

inline FileExtent PeImage::map_in(std::size_t i, Rva rva, std::uint32_t len) const noexcept {
  const SectionHeader& s = sections_[i];
  const std::uint32_t rel = rva.value - s.VirtualAddress.value;
  const std::uint32_t backed =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(s.SizeOfRawData, extent(s)));
  FileExtent e;
  e.file_len = rel >= backed ? 0 : std::min(len, backed - rel);
  // A range wholly past the raw data has no bytes in the file; position 0 keeps the empty
  // read that stands for it inside the file (PointerToRawData + rel may lie far beyond it).
  e.offset = FileOffset{e.file_len == 0 ? 0 : s.PointerToRawData.value + rel};
  e.size = len;
  return e;
}

inline std::optional<FileExtent> PeImage::find(Rva rva, std::uint32_t len,
                                               std::size_t& hint) const noexcept {
  // Where sections overlap, the first that holds the range is the one.
  if (!(sections_disjoint_ && hint < sections_.size() && holds(hint, rva, len))) {
    const auto index = section_of(rva, len);
    if (!index) return std::nullopt;
    hint = *index;
  }
  return map_in(hint, rva, len);
}

// Offsets inside the optional header (the same for PE32 and PE32+ unless noted).
namespace opt {
inline constexpr std::uint32_t kMagic = 0;
inline constexpr std::uint32_t kSizeOfInitializedData = 8;
inline constexpr std::uint32_t kAddressOfEntryPoint = 16;
inline constexpr std::uint32_t kSectionAlignment = 32;
inline constexpr std::uint32_t kFileAlignment = 36;
inline constexpr std::uint32_t kSizeOfImage = 56;
inline constexpr std::uint32_t kSizeOfHeaders = 60;
inline constexpr std::uint32_t kCheckSum = 64;
inline constexpr std::uint32_t kNumberOfRvaAndSizes32 = 92;
inline constexpr std::uint32_t kNumberOfRvaAndSizes64 = 108;
}  // namespace opt

// Offsets inside a section header (kSectionHeaderSize bytes).
namespace scn {
inline constexpr std::uint32_t kName = 0;
inline constexpr std::uint32_t kNameSize = 8;
inline constexpr std::uint32_t kVirtualSize = 8;
inline constexpr std::uint32_t kVirtualAddress = 12;
inline constexpr std::uint32_t kSizeOfRawData = 16;
inline constexpr std::uint32_t kPointerToRawData = 20;
inline constexpr std::uint32_t kPointerToRelocations = 24;
inline constexpr std::uint32_t kPointerToLinenumbers = 28;
inline constexpr std::uint32_t kNumberOfRelocations = 32;
inline constexpr std::uint32_t kNumberOfLinenumbers = 34;
inline constexpr std::uint32_t kCharacteristics = 36;
}  // namespace scn

// Offsets inside a data directory (kDataDirectorySize bytes).
namespace dd {
inline constexpr std::uint32_t kVirtualAddress = 0;
inline constexpr std::uint32_t kSize = 4;
}  // namespace dd

// Offsets inside a debug directory entry.
namespace dbg {
inline constexpr std::uint32_t kEntrySize = 28;
inline constexpr std::uint32_t kSizeOfData = 16;
inline constexpr std::uint32_t kAddressOfRawData = 20;
inline constexpr std::uint32_t kPointerToRawData = 24;
}  // namespace dbg

namespace coff {
inline constexpr std::uint32_t kMachine = 0;
inline constexpr std::uint32_t kNumberOfSections = 2;
inline constexpr std::uint32_t kPointerToSymbolTable = 8;
inline constexpr std::uint32_t kNumberOfSymbols = 12;
inline constexpr std::uint32_t kSizeOfOptionalHeader = 16;
inline constexpr std::uint32_t kHeaderSize = 20;
}  // namespace coff

// Writes a section header in its on-disk form at `at`; false when it does not fit `out` or a
// file offset does not fit its 32-bit field.
[[nodiscard]] bool encode_section_header(const SectionHeader& s, Bytes& out,
                                         std::uint64_t at) noexcept;

// The PE checksum of a whole file, with the checksum field at `checksum_offset` counted as 0.
class PeChecksum {
 public:
  explicit PeChecksum(std::uint64_t checksum_offset) noexcept : field_(checksum_offset) {}
  // Feeds the file's bytes in order, in pieces of any size.
  void update(ByteSpan data) noexcept;
  [[nodiscard]] std::uint32_t finish() const noexcept;

 private:
  std::uint64_t field_;
  std::uint64_t pos_ = 0;
  std::uint64_t sum_ = 0;
  int pending_ = -1;  // low byte of a word split across pieces
};

}  // namespace resupdate
