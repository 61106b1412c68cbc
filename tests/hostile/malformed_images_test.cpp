// Images broken on purpose: each must be refused with its own last-error code, quickly, with
// the file left byte for byte as it was and nothing added beside it.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "hostile_support.h"
#include "pe_builder.h"
#include "resupdate/winapi.h"
#include "tree_bytes.h"

namespace {

using namespace tarvisk_hostile;
using tarvisk_test::BuiltImage;
using tarvisk_test::PeOptions;
using tarvisk_test::put16;
using tarvisk_test::put32;

constexpr DWORD kFileInvalid = 0x3ee;
constexpr DWORD kBadExeFormat = 0xc1;
constexpr DWORD kInvalidData = 0xd;

struct Case {
  std::string name;
  Bytes image;
  DWORD code;
};

PeOptions sound(bool plus) {
  PeOptions o;
  o.pe32_plus = plus;
  o.layout = tarvisk_test::Layout::resources_then_reloc;
  o.resources = {tarvisk_test::manifest(1, 0, "old")};
  return o;
}

std::string hex(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

// Where the fields of a built image lie.
struct Fields {
  std::uint32_t lfanew;
  std::uint32_t coff;
  std::uint32_t optional;
  std::uint32_t table;
  std::uint32_t table_end;
  std::uint32_t number_of_sections;
};

Fields fields_of(const BuiltImage& img) {
  Fields f{};
  f.lfanew = tarvisk_test::get32(img.bytes, 0x3c);
  f.coff = f.lfanew + 4;
  f.optional = f.coff + 20;
  f.table = img.section_table_offset;
  f.number_of_sections = tarvisk_test::get16(img.bytes, f.coff + 2);
  f.table_end = f.table + 40 * f.number_of_sections;
  return f;
}

Bytes truncated(const Bytes& b, std::size_t size) {
  return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(size));
}

// Section headers by index: field offsets inside a 40-byte header.
constexpr std::uint32_t kVirtualSize = 8;
constexpr std::uint32_t kVirtualAddress = 12;
constexpr std::uint32_t kSizeOfRawData = 16;
constexpr std::uint32_t kPointerToRawData = 20;

std::vector<Case> header_cases(bool plus) {
  const std::string p = plus ? "pe32+ " : "pe32 ";
  const BuiltImage img = tarvisk_test::build_pe(sound(plus));
  const Bytes& b = img.bytes;
  const Fields f = fields_of(img);
  const std::uint32_t last = f.table + 40 * (f.number_of_sections - 1);
  std::vector<Case> cases;
  auto patched = [&](const std::string& name, const std::function<void(Bytes&)>& edit, DWORD code) {
    Bytes copy = b;
    edit(copy);
    cases.push_back({p + name, std::move(copy), code});
  };

  // Truncated at every boundary the reader crosses.
  cases.push_back({p + "empty file", {}, kFileInvalid});
  const std::vector<std::pair<std::string, std::size_t>> cuts = {
      {"one byte", 1},
      {"the MZ signature", 2},
      {"before e_lfanew", 0x3c},
      {"the DOS header", 0x40},
      {"the DOS stub", f.lfanew},
      {"the PE signature", f.lfanew + 4},
      {"the middle of the COFF header", f.coff + 10},
      {"the COFF header", f.optional},
      {"the optional header magic", f.optional + 2},
      {"the middle of the optional header", f.optional + 40},
      {"the data directories", f.table - 4},
      {"the optional header", f.table},
      {"the first section header", f.table + 40},
      {"the middle of the last section header", last + 20},
      {"the section table", f.table_end},
      {"SizeOfHeaders", img.size_of_headers},
      {"the middle of the first section's raw data", img.sections.front().pointer_to_raw_data + 1},
      {"one byte before the end of the raw data", img.end_of_sections - 1},
  };
  for (const auto& [what, at] : cuts)
    cases.push_back(
        {p + "truncated after " + what + " (" + hex(at) + ")", truncated(b, at), kBadExeFormat});

  patched(
      "no MZ", [](Bytes& x) { x[0] = 'Z'; }, kBadExeFormat);
  patched(
      "no PE signature", [&](Bytes& x) { x[f.lfanew + 2] = 'X'; }, kBadExeFormat);
  patched(
      "unknown optional header magic", [&](Bytes& x) { put16(x, f.optional, 0x107); },
      kBadExeFormat);
  patched(
      "e_lfanew beyond the file",
      [&](Bytes& x) { put32(x, 0x3c, static_cast<std::uint32_t>(x.size() + 0x100)); },
      kBadExeFormat);
  patched(
      "e_lfanew 0xffffffff", [](Bytes& x) { put32(x, 0x3c, 0xffffffffU); }, kBadExeFormat);
  patched(
      "e_lfanew with the PE header at the last 4 bytes",
      [](Bytes& x) { put32(x, 0x3c, static_cast<std::uint32_t>(x.size() - 4)); }, kBadExeFormat);
  patched(
      "e_lfanew 0, the PE header on the DOS header", [](Bytes& x) { put32(x, 0x3c, 0); },
      kBadExeFormat);
  patched(
      "e_lfanew 0x20, overlapping the DOS header", [](Bytes& x) { put32(x, 0x3c, 0x20); },
      kBadExeFormat);
  patched(
      "0xffff sections, the table past the end of the file",
      [&](Bytes& x) { put16(x, f.coff + 2, 0xffff); }, kBadExeFormat);
  patched(
      "SizeOfOptionalHeader 0xffff, the table past the end of the file",
      [&](Bytes& x) { put16(x, f.coff + 16, 0xffff); }, kBadExeFormat);
  patched(
      "SizeOfOptionalHeader 0", [&](Bytes& x) { put16(x, f.coff + 16, 0); }, kBadExeFormat);
  patched(
      "SizeOfOptionalHeader too small for its fields", [&](Bytes& x) { put16(x, f.coff + 16, 64); },
      kBadExeFormat);
  patched(
      "the last section's raw data past the end of the file",
      [&](Bytes& x) {
        put32(x, last + kSizeOfRawData, tarvisk_test::get32(x, last + kSizeOfRawData) + 0x200);
      },
      kBadExeFormat);
  patched(
      "raw data starting at the end of the file",
      [&](Bytes& x) {
        put32(x, f.table + kPointerToRawData, static_cast<std::uint32_t>(x.size()));
      },
      kBadExeFormat);
  patched(
      "PointerToRawData 0xffffffff",
      [&](Bytes& x) { put32(x, f.table + kPointerToRawData, 0xffffffffU); }, kBadExeFormat);
  patched(
      "SizeOfRawData 0xffffffff",
      [&](Bytes& x) { put32(x, f.table + kSizeOfRawData, 0xffffffffU); }, kBadExeFormat);
  patched(
      "PointerToRawData + SizeOfRawData wrapping around 2^32",
      [&](Bytes& x) {
        put32(x, f.table + kPointerToRawData, 0xfffffe00U);
        put32(x, f.table + kSizeOfRawData, 0x400);
      },
      kBadExeFormat);
  patched(
      "VirtualSize 0xffffffff", [&](Bytes& x) { put32(x, last + kVirtualSize, 0xffffffffU); },
      kBadExeFormat);
  patched(
      "VirtualAddress + VirtualSize wrapping around 2^32",
      [&](Bytes& x) {
        put32(x, last + kVirtualAddress, 0xfffff000U);
        put32(x, last + kVirtualSize, 0x2000);
      },
      kBadExeFormat);
  patched(
      "FileAlignment 0", [&](Bytes& x) { put32(x, f.optional + 36, 0); }, kBadExeFormat);
  patched(
      "SectionAlignment 0", [&](Bytes& x) { put32(x, f.optional + 32, 0); }, kBadExeFormat);
  patched(
      "FileAlignment 0x300", [&](Bytes& x) { put32(x, f.optional + 36, 0x300); }, kBadExeFormat);
  patched(
      "SectionAlignment 0x1001", [&](Bytes& x) { put32(x, f.optional + 32, 0x1001); },
      kBadExeFormat);
  patched(
      "FileAlignment 0xffffffff", [&](Bytes& x) { put32(x, f.optional + 36, 0xffffffffU); },
      kBadExeFormat);
  // Past 64 KiB, or coarser than the sections' own alignment, no loader takes the image; a
  // rewrite would pad each section with up to gigabytes of zeros.
  patched(
      "FileAlignment 0x20000", [&](Bytes& x) { put32(x, f.optional + 36, 0x20000); },
      kBadExeFormat);
  patched(
      "FileAlignment 0x80000000", [&](Bytes& x) { put32(x, f.optional + 36, 0x80000000U); },
      kBadExeFormat);
  patched(
      "SectionAlignment below FileAlignment", [&](Bytes& x) { put32(x, f.optional + 32, 0x100); },
      kBadExeFormat);
  patched(
      "resource directory at rva 0xffffffff",
      [&](Bytes& x) { put32(x, img.data_directories_offset + 16, 0xffffffffU); }, kInvalidData);
  patched(
      "resource directory in the headers",
      [&](Bytes& x) { put32(x, img.data_directories_offset + 16, 0x10); }, kInvalidData);
  return cases;
}

// An image whose resource section holds exactly the bytes `tree` makes for its address.
Bytes with_tree(const std::function<TreeBytes(std::uint32_t rva)>& tree) {
  PeOptions o = sound(false);
  o.raw_resource_section = [&](std::uint32_t rva) { return tree(rva).b; };
  return tarvisk_test::build_pe_bytes(o);
}

std::vector<Case> tree_cases() {
  std::vector<Case> cases;
  auto add = [&](const std::string& name,
                 const std::function<void(TreeBytes&, std::uint32_t)>& edit) {
    cases.push_back({"tree: " + name, with_tree([&](std::uint32_t rva) {
                       TreeBytes t = manifest_tree(rva);
                       edit(t, rva);
                       return t;
                     }),
                     kInvalidData});
  };
  add("the root's entry pointing at the root",
      [](TreeBytes& t, std::uint32_t) { t.entry(0, 0, 24, kSubdirectory | 0); });
  add("a name entry pointing back at the root",
      [](TreeBytes& t, std::uint32_t) { t.entry(24, 0, 1, kSubdirectory | 0); });
  add("a language directory pointing at its parent",
      [](TreeBytes& t, std::uint32_t) { t.entry(48, 0, 0, kSubdirectory | 24); });
  add("two types sharing one name directory", [](TreeBytes& t, std::uint32_t rva) {
    // Root with two entries (24 and 25) both leading to the same name directory at 32.
    t = TreeBytes{};
    t.directory(0, 0, 2);
    t.entry(0, 0, 24, kSubdirectory | 32);
    t.entry(0, 1, 25, kSubdirectory | 32);
    t.directory(32, 0, 1);
    t.entry(32, 0, 1, kSubdirectory | 56);
    t.directory(56, 0, 1);
    t.entry(56, 0, 0, 80);
    t.data_entry(80, rva + 96, 4);
    t.u32(96, 0x64636261);
  });
  add("two languages sharing one data entry", [](TreeBytes& t, std::uint32_t rva) {
    t = TreeBytes{};
    t.directory(0, 0, 1);
    t.entry(0, 0, 24, kSubdirectory | 24);
    t.directory(24, 0, 1);
    t.entry(24, 0, 1, kSubdirectory | 48);
    t.directory(48, 0, 2);
    t.entry(48, 0, 0, 80);
    t.entry(48, 1, 9, 80);
    t.data_entry(80, rva + 96, 4);
    t.u32(96, 0x64636261);
  });
  add("a fourth level", [](TreeBytes& t, std::uint32_t) {
    t.entry(48, 0, 0, kSubdirectory | 96);
    t.directory(96, 0, 0);
  });
  add("a data entry at the first level",
      [](TreeBytes& t, std::uint32_t) { t.entry(0, 0, 24, 72); });
  add("a data entry at the second level",
      [](TreeBytes& t, std::uint32_t) { t.entry(24, 0, 1, 72); });
  add("0xffff integer entries in the root", [](TreeBytes& t, std::uint32_t) { t.u16(14, 0xffff); });
  add("0xffff named and 0xffff integer entries in a language directory",
      [](TreeBytes& t, std::uint32_t) {
        t.u16(48 + 12, 0xffff);
        t.u16(48 + 14, 0xffff);
      });
  add("an entry counted as named with an integer id", [](TreeBytes& t, std::uint32_t) {
    t.u16(12, 1);
    t.u16(14, 0);
  });
  add("an integer id wider than 16 bits",
      [](TreeBytes& t, std::uint32_t) { t.entry(24, 0, 0x10001, kSubdirectory | 48); });
  add("a name string running past the section", [](TreeBytes& t, std::uint32_t) {
    t.u16(12, 1);
    t.u16(14, 0);
    t.entry(0, 0, kNamed | 92, kSubdirectory | 24);
    t.u16(92, 0xffff);  // 128 KiB of UTF-16 in a section of 4 KiB
  });
  add("a name string at offset 0x7fffffff", [](TreeBytes& t, std::uint32_t) {
    t.u16(12, 1);
    t.u16(14, 0);
    t.entry(0, 0, kNamed | 0x7fffffffU, kSubdirectory | 24);
  });
  add("a subdirectory at offset 0x7fffffff",
      [](TreeBytes& t, std::uint32_t) { t.entry(0, 0, 24, kSubdirectory | 0x7fffffffU); });
  add("a data entry running past the section",
      [](TreeBytes& t, std::uint32_t) { t.entry(48, 0, 0, 0xff8); });
  add("data at an rva in no section",
      [](TreeBytes& t, std::uint32_t) { t.data_entry(72, 0x7fff0000U, 4); });
  add("data at rva 0", [](TreeBytes& t, std::uint32_t) { t.data_entry(72, 0, 4); });
  add("data of size 0xffffffff",
      [](TreeBytes& t, std::uint32_t rva) { t.data_entry(72, rva + 88, 0xffffffffU); });
  add("data whose rva + size wraps around 2^32",
      [](TreeBytes& t, std::uint32_t) { t.data_entry(72, 0xfffffff0U, 0x20); });
  add("data running from its section into the next",
      [](TreeBytes& t, std::uint32_t rva) { t.data_entry(72, rva + 0xff0, 0x20); });
  return cases;
}

std::vector<Case> all_cases() {
  std::vector<Case> cases = header_cases(false);
  for (Case& c : header_cases(true)) cases.push_back(std::move(c));
  for (Case& c : tree_cases()) cases.push_back(std::move(c));
  return cases;
}

class MalformedImage : public ::testing::TestWithParam<Case> {};

TEST_P(MalformedImage, IsRefusedWithItsCodeAndLeftAsItWas) {
  const Case& c = GetParam();
  tarvisk_test::TempDir dir;
  const std::string path = dir.file("image.exe");
  tarvisk_test::write_file(path, c.image);
  const auto before = entries_of(dir.path());

  const auto start = std::chrono::steady_clock::now();
  SetLastError(0);
  HANDLE h = BeginUpdateResourceA(path.c_str(), FALSE);
  const DWORD code = GetLastError();
  if (h != nullptr) {
    EXPECT_TRUE(EndUpdateResourceA(h, TRUE));
    FAIL() << c.name << ": opened for update";
  }
  EXPECT_EQ(hex(code), hex(c.code)) << c.name;
  EXPECT_LT(elapsed_ms(start), 1000.0) << c.name;
  EXPECT_EQ(tarvisk_test::read_file(path), c.image) << c.name;
  EXPECT_EQ(entries_of(dir.path()), before) << c.name;

  // The tool as a user runs it: one message, exit -1, the file as it was.
  const std::string manifest = dir.file("app.manifest");
  tarvisk_test::write_file(manifest, tarvisk_test::manifest_bytes());
  const Outcome run = run_tool({path, manifest});
  EXPECT_EQ(run.status, 255) << c.name;
  EXPECT_EQ(run.err, image_open_line(path)) << c.name;
  EXPECT_EQ(run.out, "") << c.name;
  EXPECT_EQ(tarvisk_test::read_file(path), c.image) << c.name;
  EXPECT_EQ(entries_of(dir.path()).size(), before.size() + 1) << c.name;
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  std::string s;
  for (char ch : info.param.name)
    s.push_back(std::isalnum(static_cast<unsigned char>(ch)) != 0 ? ch : '_');
  return std::to_string(info.index) + "_" + s.substr(0, 80);
}

INSTANTIATE_TEST_SUITE_P(Hostile, MalformedImage, ::testing::ValuesIn(all_cases()), case_name);

// The sound image the cases start from must itself open, or every case proves nothing.
TEST(MalformedImageBase, TheUnbrokenImagesOpen) {
  for (bool plus : {false, true}) {
    tarvisk_test::TempDir dir;
    const std::string path = dir.file("image.exe");
    tarvisk_test::write_file(path, tarvisk_test::build_pe_bytes(sound(plus)));
    HANDLE h = BeginUpdateResourceA(path.c_str(), FALSE);
    ASSERT_NE(h, nullptr) << "code " << hex(GetLastError());
    EXPECT_TRUE(EndUpdateResourceA(h, TRUE));
  }
  tarvisk_test::TempDir dir;
  const std::string path = dir.file("image.exe");
  tarvisk_test::write_file(path, with_tree([](std::uint32_t rva) { return manifest_tree(rva); }));
  HANDLE h = BeginUpdateResourceA(path.c_str(), FALSE);
  ASSERT_NE(h, nullptr) << "code " << hex(GetLastError());
  EXPECT_TRUE(EndUpdateResourceA(h, TRUE));
}

}  // namespace
