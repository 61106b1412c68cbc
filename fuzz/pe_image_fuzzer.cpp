// Fuzz target: the header and section-table reader, and RVA mapping on what it accepts.
#include <algorithm>
#include <string>

#include "fuzz_support.h"
#include "resupdate/pe_image.h"
#include "resupdate/source.h"

using namespace resupdate;
using tarvisk_fuzz::violated;

namespace {

// A mapped range must stay inside the file and read back without error.
void check_mapping(const PeImage& img, const ByteSource& src, Rva rva, std::uint32_t len) {
  auto extent = img.map(rva, len);
  if (!extent) {
    if (extent.error().code != Errc::invalid_data)
      violated("map failed with an unexpected code: " + extent.error().detail);
    if (img.section_of(rva, len))
      violated("map refused a range that section_of places in a section");
    return;
  }
  if (extent->size != len || extent->file_len > len)
    violated("map returned an extent of the wrong size");
  if (!fits(extent->offset.value, extent->file_len, src.size()))
    violated("map placed rva " + std::to_string(rva.value) + "+" + std::to_string(len) +
             " at file offset " + std::to_string(extent->offset.value) + "+" +
             std::to_string(extent->file_len) + ", outside the file of " +
             std::to_string(src.size()) + " bytes");
  if (len <= 4096) {
    Bytes buf(len);
    if (!img.read(src, rva, buf)) violated("a mapped range does not read");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const MemorySource src{ByteSpan(data, size)};
  auto parsed = PeImage::parse(src);
  if (!parsed) {
    const Errc code = parsed.error().code;
    if (code != Errc::bad_exe_format && code != Errc::file_invalid)
      violated("parse failed with an unexpected code: " + parsed.error().detail);
    return 0;
  }
  const PeImage& img = *parsed;
  const HeaderFields& f = img.fields();
  if (img.file_size() != size) violated("file size misread");
  if (img.header_bytes().size() != f.section_table_end || f.section_table_end > size)
    violated("header bytes misread");
  if (!is_power_of_two(img.FileAlignment) || !is_power_of_two(img.SectionAlignment))
    violated("bad alignment accepted");
  if (img.directories().size() > kMaxDataDirectories) violated("too many data directories");
  if (img.end_of_sections() > size) violated("end of sections past the end of the file");
  for (const SectionHeader& s : img.sections()) {
    if (s.SizeOfRawData != 0 && !fits(s.PointerToRawData.value, s.SizeOfRawData, size))
      violated("raw data past the end accepted");
    check_mapping(img, src, s.VirtualAddress, std::min<std::uint32_t>(s.mapped_size(), 64));
    check_mapping(img, src, Rva{s.VirtualAddress.value + s.mapped_size() / 2}, 8);
  }
  for (const DataDirectory& d : img.directories()) {
    if (d.empty()) continue;
    check_mapping(img, src, Rva{d.VirtualAddress}, d.Size);
    check_mapping(img, src, Rva{d.VirtualAddress}, 1);
  }
  return 0;
}
