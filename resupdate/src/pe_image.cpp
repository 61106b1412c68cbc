// Validating reader for PE32/PE32+ headers and the section table.
#include "resupdate/pe_image.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "hex.h"

namespace resupdate {

namespace {

constexpr std::uint32_t kDosHeaderSize = 64;
constexpr std::uint32_t kLfanewField = 0x3c;
constexpr std::uint16_t kMagicPe32 = 0x10b;
constexpr std::uint16_t kMagicPe32Plus = 0x20b;
constexpr std::uint32_t kDataDirectories32 = 96;
constexpr std::uint32_t kDataDirectories64 = 112;
constexpr std::uint32_t kMaxFileAlignment = 0x10000;

Error bad_format(std::string detail) { return make_error(Errc::bad_exe_format, std::move(detail)); }

using detail::hex;

}  // namespace

bool SectionHeader::name_is(const char* name) const noexcept {
  const std::size_t n = std::strlen(name);
  if (n > Name.size()) return false;
  if (std::memcmp(Name.data(), name, n) != 0) return false;
  // A name ends at its first NUL, as readers and linkers take it; bytes after that are junk.
  return n == Name.size() || Name[n] == 0;
}

Result<PeImage> PeImage::parse(const ByteSource& src) {
  PeImage img;
  img.file_size_ = src.size();
  if (img.file_size_ == 0) return make_error(Errc::file_invalid, "the file is empty");
  if (img.file_size_ < kDosHeaderSize) return bad_format("file too small for a DOS header");

  auto dos = read_bytes(src, 0, kDosHeaderSize);
  if (!dos) return std::move(dos).error();
  ByteReader dr(*dos);
  std::uint16_t mz = 0;
  std::uint32_t lfanew = 0;
  if (!dr.u16(0, mz) || mz != 0x5a4d) return bad_format("no MZ signature");
  if (!dr.u32(kLfanewField, lfanew)) return bad_format("no e_lfanew");
  // A PE header inside the DOS header would make patching it rewrite e_lfanew itself.
  if (lfanew < kDosHeaderSize)
    return bad_format("e_lfanew " + hex(lfanew) + " overlaps the DOS header");
  const std::uint64_t coff_off = std::uint64_t{lfanew} + 4;
  if (!fits(lfanew, 4 + coff::kHeaderSize, img.file_size_))
    return bad_format("PE header past the end of the file");

  auto pe = read_bytes(src, lfanew, 4 + coff::kHeaderSize);
  if (!pe) return std::move(pe).error();
  ByteReader pr(*pe);
  std::uint32_t sig = 0;
  std::uint16_t nsections = 0;
  std::uint16_t opt_size = 0;
  if (!pr.u32(0, sig) || sig != 0x00004550) return bad_format("no PE signature");
  (void)pr.u16(4 + coff::kNumberOfSections, nsections);
  (void)pr.u16(4 + coff::kMachine, img.Machine);
  (void)pr.u32(4 + coff::kPointerToSymbolTable, img.PointerToSymbolTable);
  (void)pr.u16(4 + coff::kSizeOfOptionalHeader, opt_size);

  const std::uint64_t opt_off = coff_off + coff::kHeaderSize;
  const std::uint64_t table_off = opt_off + opt_size;
  const std::uint64_t table_end = table_off + std::uint64_t{nsections} * kSectionHeaderSize;
  if (table_end > img.file_size_) return bad_format("section table past the end of the file");
  if (opt_size < 2) return bad_format("optional header too small");

  auto hdr = read_bytes(src, 0, table_end);
  if (!hdr) return std::move(hdr).error();
  img.headers_ = std::move(hdr).value();
  ByteReader hr(img.headers_);

  std::uint16_t magic = 0;
  (void)hr.u16(opt_off + opt::kMagic, magic);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus)
    return bad_format("unknown optional header magic " + hex(magic));
  img.pe32_plus_ = magic == kMagicPe32Plus;
  const std::uint32_t nrva_field =
      img.pe32_plus_ ? opt::kNumberOfRvaAndSizes64 : opt::kNumberOfRvaAndSizes32;
  const std::uint32_t dirs_field = img.pe32_plus_ ? kDataDirectories64 : kDataDirectories32;
  if (opt_size < dirs_field) return bad_format("optional header too small for its fields");

  (void)hr.u32(opt_off + opt::kSizeOfInitializedData, img.SizeOfInitializedData);
  (void)hr.u32(opt_off + opt::kAddressOfEntryPoint, img.AddressOfEntryPoint);
  (void)hr.u32(opt_off + opt::kSectionAlignment, img.SectionAlignment);
  (void)hr.u32(opt_off + opt::kFileAlignment, img.FileAlignment);
  (void)hr.u32(opt_off + opt::kSizeOfHeaders, img.SizeOfHeaders);
  (void)hr.u32(opt_off + opt::kCheckSum, img.CheckSum);
  (void)hr.u32(opt_off + nrva_field, img.NumberOfRvaAndSizes);

  if (!is_power_of_two(img.SectionAlignment))
    return bad_format("SectionAlignment is not a power of two");
  if (!is_power_of_two(img.FileAlignment)) return bad_format("FileAlignment is not a power of two");
  // The loader takes no file alignment past 64 KiB nor one coarser than the sections' own;
  // honouring one could pad a rewritten section with gigabytes of zeros.
  if (img.FileAlignment > kMaxFileAlignment)
    return bad_format("FileAlignment is larger than 64 KiB");
  if (img.SectionAlignment < img.FileAlignment)
    return bad_format("SectionAlignment is smaller than FileAlignment");

  const std::uint32_t ndirs = std::min(img.NumberOfRvaAndSizes, kMaxDataDirectories);
  if (dirs_field + std::uint64_t{ndirs} * kDataDirectorySize > opt_size)
    return bad_format("data directories run past the optional header");
  img.dirs_.resize(ndirs);
  for (std::uint32_t i = 0; i < ndirs; ++i) {
    const std::uint64_t at = opt_off + dirs_field + std::uint64_t{i} * kDataDirectorySize;
    (void)hr.u32(at + dd::kVirtualAddress, img.dirs_[i].VirtualAddress);
    (void)hr.u32(at + dd::kSize, img.dirs_[i].Size);
  }

  img.sections_.resize(nsections);
  for (std::uint32_t i = 0; i < nsections; ++i) {
    const std::uint64_t at = table_off + std::uint64_t{i} * kSectionHeaderSize;
    SectionHeader& s = img.sections_[i];
    for (std::size_t k = 0; k < s.Name.size(); ++k) (void)hr.u8(at + scn::kName + k, s.Name[k]);
    (void)hr.u32(at + scn::kVirtualSize, s.VirtualSize);
    std::uint32_t raw_ptr = 0;
    std::uint32_t reloc_ptr = 0;
    std::uint32_t line_ptr = 0;
    (void)hr.u32(at + scn::kVirtualAddress, s.VirtualAddress.value);
    (void)hr.u32(at + scn::kSizeOfRawData, s.SizeOfRawData);
    (void)hr.u32(at + scn::kPointerToRawData, raw_ptr);
    (void)hr.u32(at + scn::kPointerToRelocations, reloc_ptr);
    (void)hr.u32(at + scn::kPointerToLinenumbers, line_ptr);
    s.PointerToRawData = FileOffset{raw_ptr};
    s.PointerToRelocations = FileOffset{reloc_ptr};
    s.PointerToLinenumbers = FileOffset{line_ptr};
    (void)hr.u16(at + scn::kNumberOfRelocations, s.NumberOfRelocations);
    (void)hr.u16(at + scn::kNumberOfLinenumbers, s.NumberOfLinenumbers);
    (void)hr.u32(at + scn::kCharacteristics, s.Characteristics);
    if (s.SizeOfRawData != 0 && !fits(s.PointerToRawData.value, s.SizeOfRawData, img.file_size_))
      return bad_format("section " + std::to_string(i) + " raw data past the end of the file");
    if (std::uint64_t{s.VirtualAddress.value} + s.mapped_size() > 0x100000000ULL)
      return bad_format("section " + std::to_string(i) + " wraps around the address space");
  }

  img.fields_ = HeaderFields{coff_off, opt_off, opt_off + dirs_field, table_off, table_end};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  for (const SectionHeader& s : img.sections_)
    spans.emplace_back(s.VirtualAddress.value, s.VirtualAddress.value + img.extent(s));
  std::sort(spans.begin(), spans.end());
  img.sections_disjoint_ =
      std::adjacent_find(spans.begin(), spans.end(), [](const auto& a, const auto& b) {
        return a.second > b.first;
      }) == spans.end();
  return img;
}

std::optional<std::size_t> PeImage::section_of(Rva rva, std::uint32_t len) const noexcept {
  for (std::size_t i = 0; i < sections_.size(); ++i)
    if (holds(i, rva, len)) return i;
  return std::nullopt;
}

Result<FileExtent> PeImage::map(Rva rva, std::uint32_t len) const {
  std::size_t hint = sections_.size();
  if (auto e = find(rva, len, hint)) return *e;
  return make_error(Errc::invalid_data, "range at rva " + hex(rva.value) + " lies in no section");
}

Status PeImage::read(const ByteSource& src, Rva rva, std::span<std::uint8_t> out) const {
  constexpr std::size_t kMaxRead = std::numeric_limits<std::uint32_t>::max();
  if (out.size() > kMaxRead) return make_error(Errc::invalid_data, "read too large");
  auto e = map(rva, static_cast<std::uint32_t>(out.size()));
  if (!e) return std::move(e).error();
  if (Status s = src.read(e->offset.value, out.first(e->file_len)); !s) return s;
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(e->file_len), out.end(), std::uint8_t{0});
  return {};
}

std::uint64_t PeImage::end_of_sections() const noexcept {
  std::uint64_t end = std::min<std::uint64_t>(
      std::max<std::uint64_t>(SizeOfHeaders, fields_.section_table_end), file_size_);
  for (const SectionHeader& s : sections_)
    if (s.SizeOfRawData != 0) end = std::max<std::uint64_t>(end, s.raw_end());
  return end;
}

bool encode_section_header(const SectionHeader& s, Bytes& out, std::uint64_t at) noexcept {
  if (!fits(at, kSectionHeaderSize, out.size())) return false;
  std::copy(s.Name.begin(), s.Name.end(),
            out.begin() + static_cast<std::ptrdiff_t>(at + scn::kName));
  const auto field32 = [](FileOffset o) { return o.value <= 0xffffffffULL; };
  if (!field32(s.PointerToRawData) || !field32(s.PointerToRelocations) ||
      !field32(s.PointerToLinenumbers))
    return false;
  ByteWriter w(out);
  return w.u32(at + scn::kVirtualSize, s.VirtualSize) &&
         w.u32(at + scn::kVirtualAddress, s.VirtualAddress.value) &&
         w.u32(at + scn::kSizeOfRawData, s.SizeOfRawData) &&
         w.u32(at + scn::kPointerToRawData, static_cast<std::uint32_t>(s.PointerToRawData.value)) &&
         w.u32(at + scn::kPointerToRelocations,
               static_cast<std::uint32_t>(s.PointerToRelocations.value)) &&
         w.u32(at + scn::kPointerToLinenumbers,
               static_cast<std::uint32_t>(s.PointerToLinenumbers.value)) &&
         w.u16(at + scn::kNumberOfRelocations, s.NumberOfRelocations) &&
         w.u16(at + scn::kNumberOfLinenumbers, s.NumberOfLinenumbers) &&
         w.u32(at + scn::kCharacteristics, s.Characteristics);
}

void PeChecksum::update(ByteSpan data) noexcept {
  std::size_t i = 0;
  const std::size_t n = data.size();
  while (i < n) {
    const bool in_field = pos_ >= field_ && pos_ < field_ + 4;
    // Fast path: whole words that do not touch the checksum field.
    if (pending_ < 0 && !in_field && (pos_ + 2 <= field_ || pos_ >= field_ + 4)) {
      std::size_t limit = n - i;
      if (pos_ < field_)
        limit = static_cast<std::size_t>(std::min<std::uint64_t>(limit, field_ - pos_));
      limit &= ~std::size_t{1};
      if (limit >= 2) {
        std::uint64_t sum = 0;
        for (std::size_t k = 0; k < limit; k += 2)
          sum += static_cast<std::uint64_t>(data[i + k]) |
                 (static_cast<std::uint64_t>(data[i + k + 1]) << 8);
        sum_ += sum;
        i += limit;
        pos_ += limit;
        continue;
      }
    }
    const std::uint8_t b = in_field ? 0 : data[i];
    if (pending_ < 0) {
      pending_ = b;
    } else {
      sum_ += static_cast<std::uint64_t>(pending_) | (static_cast<std::uint64_t>(b) << 8);
      pending_ = -1;
    }
    ++i;
    ++pos_;
  }
}

std::uint32_t PeChecksum::finish() const noexcept {
  std::uint64_t sum = sum_;
  if (pending_ >= 0) sum += static_cast<std::uint64_t>(pending_);
  while ((sum >> 16) != 0) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + pos_);
}

}  // namespace resupdate
