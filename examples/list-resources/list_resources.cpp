// Example: lists the resources of a Windows image with the resupdate library.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "resupdate/image_editor.h"
#include "resupdate/source.h"

namespace {

// The names of the predefined resource types, so a listing reads like a resource script.
const char* type_label(std::uint16_t id) {
  switch (id) {
    case 1: return "CURSOR";
    case 2: return "BITMAP";
    case 3: return "ICON";
    case 4: return "MENU";
    case 5: return "DIALOG";
    case 6: return "STRING";
    case 7: return "FONTDIR";
    case 8: return "FONT";
    case 9: return "ACCELERATOR";
    case 10: return "RCDATA";
    case 11: return "MESSAGETABLE";
    case 12: return "GROUP_CURSOR";
    case 14: return "GROUP_ICON";
    case 16: return "VERSION";
    case 17: return "DLGINCLUDE";
    case 19: return "PLUGPLAY";
    case 20: return "VXD";
    case 21: return "ANICURSOR";
    case 22: return "ANIICON";
    case 23: return "HTML";
    case 24: return "MANIFEST";
    default: return nullptr;
  }
}

// Resource names are UTF-16 in the image; the terminal wants UTF-8. An unpaired surrogate
// becomes U+FFFD rather than ill-formed output.
std::string to_utf8(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xd800 && c <= 0xdbff && i + 1 < s.size() && s[i + 1] >= 0xdc00 &&
        s[i + 1] <= 0xdfff) {
      c = 0x10000 + ((c - 0xd800) << 10) + (s[i + 1] - 0xdc00);
      ++i;
    } else if (c >= 0xd800 && c <= 0xdfff) {
      c = 0xfffd;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xe0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

std::string describe(const resupdate::ResourceId& id, bool is_type) {
  std::string text;
  if (id.named) {
    text += '"';
    text += to_utf8(id.name);
    text += '"';
    return text;
  }
  text += std::to_string(id.id);
  if (const char* label = is_type ? type_label(id.id) : nullptr) {
    text += " (";
    text += label;
    text += ')';
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: list-resources <image>\n");
    return 2;
  }
  const char* path = argv[1];

  // Listing needs no write access, so the image is read into memory rather than opened as a
  // FileSource (which insists on read/write because it exists to replace the file).
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "list-resources: cannot open %s\n", path);
    return 1;
  }
  const resupdate::Bytes bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  auto source = std::make_shared<const resupdate::MemorySource>(bytes);

  auto editor = resupdate::ImageEditor::open(source, false);
  if (!editor) {
    std::fprintf(stderr, "list-resources: %s: %s (error 0x%x)\n", path,
                 editor.error().detail.c_str(), static_cast<unsigned>(editor.error().code));
    return 1;
  }

  const resupdate::PeImage& image = editor->image();
  std::printf("%s: %s, machine 0x%04x, %zu sections, %zu resources\n", path,
              image.pe32_plus() ? "PE32+" : "PE32", static_cast<unsigned>(image.Machine),
              image.sections().size(), editor->resources().size());
  if (editor->resources().empty()) return 0;

  // The set iterates in the loader's order: named entries first, then ascending integers.
  std::printf("%-20s %-24s %8s %8s %10s\n", "TYPE", "NAME", "LANGUAGE", "CODEPAGE", "SIZE");
  for (const auto& [key, data] : editor->resources()) {
    std::printf("%-20s %-24s %8u %8u %10u\n", describe(key.type, true).c_str(),
                describe(key.name, false).c_str(), static_cast<unsigned>(key.language),
                static_cast<unsigned>(data.code_page), static_cast<unsigned>(data.size()));
  }
  return 0;
}
