#include "e2e/pe_image.h"

#include <fstream>
#include <iterator>

namespace {

struct Reader {
  const std::vector<unsigned char>& bytes;
  bool ok = true;

  uint32_t Read(uint64_t offset, int size) {
    if (offset + static_cast<uint64_t>(size) > bytes.size()) {
      ok = false;
      return 0;
    }
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = (value << 8) | bytes[offset + static_cast<uint64_t>(i)];
    return value;
  }
  uint16_t U16(uint64_t offset) { return static_cast<uint16_t>(Read(offset, 2)); }
  uint32_t U32(uint64_t offset) { return Read(offset, 4); }
  uint64_t U64(uint64_t offset) {
    return U32(offset) | (static_cast<uint64_t>(U32(offset + 4)) << 32);
  }
  std::string Text(uint64_t offset, size_t limit) {
    std::string text;
    while (text.size() < limit && offset < bytes.size() && bytes[offset]) text += static_cast<char>(bytes[offset++]);
    if (offset >= bytes.size()) ok = false;
    return text;
  }
};

// The file offset of a relative virtual address, or 0 when no section holds it.
uint64_t FileOffset(const PeImage& image, uint32_t rva) {
  const PeSection* section = SectionOf(image, rva);
  return section ? section->rawOffset + (rva - section->virtualAddress) : 0;
}

// The entries of one resource directory: (id, offset of what it points to within the
// resource section, whether that is a subdirectory). Named entries are skipped.
std::vector<std::pair<uint32_t, uint32_t>> ResourceEntries(Reader& in, uint64_t base,
                                                           uint32_t directory, bool wantDirectory) {
  std::vector<std::pair<uint32_t, uint32_t>> entries;
  uint16_t named = in.U16(base + directory + 12);
  uint16_t numbered = in.U16(base + directory + 14);
  for (uint32_t i = 0; i < static_cast<uint32_t>(named) + numbered && i < 64; ++i) {
    uint64_t at = base + directory + 16 + 8ull * i;
    uint32_t name = in.U32(at);
    uint32_t target = in.U32(at + 4);
    bool isDirectory = (target & 0x80000000u) != 0;
    if ((name & 0x80000000u) || isDirectory != wantDirectory) continue;
    entries.emplace_back(name, target & 0x7FFFFFFFu);
  }
  return entries;
}

void ReadResources(Reader& in, PeImage& image) {
  uint32_t rootRva = image.directories[2].first;
  if (!rootRva) return;
  uint64_t base = FileOffset(image, rootRva);
  if (!base) return;
  for (const auto& type : ResourceEntries(in, base, 0, true)) {
    for (const auto& name : ResourceEntries(in, base, type.second, true)) {
      for (const auto& language : ResourceEntries(in, base, name.second, false)) {
        PeResource resource;
        resource.type = type.first;
        resource.id = name.first;
        resource.language = language.first;
        uint32_t dataRva = in.U32(base + language.second);
        uint32_t size = in.U32(base + language.second + 4);
        uint64_t at = FileOffset(image, dataRva);
        if (!at || at + size > in.bytes.size()) {
          in.ok = false;
          return;
        }
        resource.bytes.assign(in.bytes.begin() + static_cast<long>(at),
                              in.bytes.begin() + static_cast<long>(at + size));
        image.resources.push_back(resource);
      }
    }
  }
}

}  // namespace

const PeResource* FindResource(const PeImage& image, uint32_t type, uint32_t id) {
  for (const PeResource& resource : image.resources) {
    if (resource.type == type && resource.id == id) return &resource;
  }
  return nullptr;
}

const PeSection* SectionOf(const PeImage& image, uint32_t rva) {
  for (const PeSection& section : image.sections) {
    uint32_t size = section.virtualSize ? section.virtualSize : section.rawSize;
    if (rva >= section.virtualAddress && rva < section.virtualAddress + size) return &section;
  }
  return nullptr;
}

PeImage ReadPeImage(const std::string& path) {
  PeImage image;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    image.error = "cannot open " + path;
    return image;
  }
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  image.fileSize = bytes.size();
  Reader in{bytes};
  if (in.U16(0) != 0x5A4D) {
    image.error = "no MZ header";
    return image;
  }
  uint32_t pe = in.U32(0x3C);
  if (in.U32(pe) != 0x00004550) {
    image.error = "no PE signature";
    return image;
  }
  uint64_t coff = pe + 4;
  image.machine = in.U16(coff);
  uint16_t sectionCount = in.U16(coff + 2);
  image.timeDateStamp = in.U32(coff + 4);
  image.symbolTableOffset = in.U32(coff + 8);
  image.symbolCount = in.U32(coff + 12);
  uint16_t optionalSize = in.U16(coff + 16);
  image.characteristics = in.U16(coff + 18);

  uint64_t optional = coff + 20;
  uint16_t magic = in.U16(optional);
  if (magic != 0x10B && magic != 0x20B) {
    image.error = "unknown optional header magic";
    return image;
  }
  image.pe32Plus = magic == 0x20B;
  image.entryPoint = in.U32(optional + 16);
  image.majorOsVersion = in.U16(optional + 40);
  image.minorOsVersion = in.U16(optional + 42);
  image.majorSubsystemVersion = in.U16(optional + 48);
  image.minorSubsystemVersion = in.U16(optional + 50);
  image.checkSum = in.U32(optional + 64);
  image.subsystem = in.U16(optional + 68);
  uint64_t directoryCountAt = optional + (image.pe32Plus ? 108 : 92);
  uint32_t directoryCount = in.U32(directoryCountAt);
  for (uint32_t i = 0; i < directoryCount && i < 16; ++i) {
    uint64_t at = directoryCountAt + 4 + 8ull * i;
    image.directories.emplace_back(in.U32(at), in.U32(at + 4));
  }
  while (image.directories.size() < 16) image.directories.emplace_back(0, 0);

  uint64_t sectionTable = optional + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    uint64_t at = sectionTable + 40ull * i;
    PeSection section;
    section.name = in.Text(at, 8);
    section.virtualSize = in.U32(at + 8);
    section.virtualAddress = in.U32(at + 12);
    section.rawSize = in.U32(at + 16);
    section.rawOffset = in.U32(at + 20);
    section.characteristics = in.U32(at + 36);
    image.sections.push_back(section);
  }

  // Import descriptors: 20 bytes each, ended by one of zeros.
  uint32_t importRva = image.directories[1].first;
  if (importRva) {
    uint64_t at = FileOffset(image, importRva);
    for (int guard = 0; at && guard < 64; ++guard, at += 20) {
      uint32_t lookup = in.U32(at);
      uint32_t nameRva = in.U32(at + 12);
      uint32_t addresses = in.U32(at + 16);
      if (!nameRva && !addresses) break;
      PeImport import;
      import.dll = in.Text(FileOffset(image, nameRva), 256);
      uint64_t thunk = FileOffset(image, lookup ? lookup : addresses);
      const int width = image.pe32Plus ? 8 : 4;
      for (int n = 0; thunk && n < 1024; ++n, thunk += static_cast<uint64_t>(width)) {
        uint64_t entry = image.pe32Plus ? in.U64(thunk) : in.U32(thunk);
        if (!entry) break;
        uint64_t ordinalFlag = image.pe32Plus ? (1ull << 63) : (1ull << 31);
        if (entry & ordinalFlag) {
          import.functions.push_back("#" + std::to_string(entry & 0xFFFF));
        } else {
          import.functions.push_back(
              in.Text(FileOffset(image, static_cast<uint32_t>(entry)) + 2, 256));
        }
      }
      image.imports.push_back(import);
    }
  }
  ReadResources(in, image);
  if (!in.ok) image.error = "the headers point outside the file";
  return image;
}

namespace {

// One node of a version block: wLength, wValueLength, wType, the key (UTF-16, ended by
// zero), the value and the children, each part aligned to four bytes.
struct VersionNode {
  std::string key;
  std::string value;  // the value's bytes
  bool text = false;
  std::vector<VersionNode> children;
};

size_t Align4(size_t at) { return (at + 3) & ~static_cast<size_t>(3); }

bool ReadVersionNode(const std::string& bytes, size_t at, size_t end, VersionNode& node, int depth) {
  auto u16 = [&bytes](size_t i) {
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  };
  if (depth > 4 || at + 6 > end) return false;
  size_t length = u16(at), valueLength = u16(at + 2);
  node.text = u16(at + 4) == 1;
  if (length < 6 || at + length > end) return false;
  end = at + length;
  size_t i = at + 6;
  for (; i + 1 < end && u16(i) != 0; i += 2) node.key += static_cast<char>(u16(i) < 128 ? u16(i) : '?');
  i = Align4(i + 2);
  size_t valueBytes = node.text ? valueLength * 2 : valueLength;
  if (i + valueBytes > end) return false;
  node.value = bytes.substr(i, valueBytes);
  for (i = Align4(i + valueBytes); i < end; i = Align4(i + u16(i))) {
    node.children.emplace_back();
    if (!ReadVersionNode(bytes, i, end, node.children.back(), depth + 1)) return false;
  }
  return true;
}

std::string AsciiText(const std::string& utf16) {
  std::string text;
  for (size_t i = 0; i + 1 < utf16.size(); i += 2) {
    unsigned ch = static_cast<unsigned char>(utf16[i]) | (static_cast<unsigned char>(utf16[i + 1]) << 8);
    if (ch == 0) break;
    text += static_cast<char>(ch < 128 ? ch : '?');
  }
  return text;
}

uint32_t U32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  return value;
}

}  // namespace

PeVersionBlock ReadVersionBlock(const std::string& bytes) {
  PeVersionBlock block;
  VersionNode root;
  if (!ReadVersionNode(bytes, 0, bytes.size(), root, 0) || root.key != "VS_VERSION_INFO" ||
      root.value.size() != 52 || U32At(root.value, 0) != 0xFEEF04BDu) {
    block.error = "not a version block";
    return block;
  }
  block.fileVersionMs = U32At(root.value, 8);
  block.fileVersionLs = U32At(root.value, 12);
  block.productVersionMs = U32At(root.value, 16);
  block.productVersionLs = U32At(root.value, 20);
  block.fileOs = U32At(root.value, 32);
  block.fileType = U32At(root.value, 36);
  for (const VersionNode& part : root.children) {
    for (const VersionNode& child : part.children) {
      if (part.key == "StringFileInfo") {
        for (const VersionNode& entry : child.children) {
          block.strings[child.key][entry.key] = AsciiText(entry.value);
        }
      } else if (part.key == "VarFileInfo" && child.key == "Translation") {
        for (size_t i = 0; i + 4 <= child.value.size(); i += 4) {
          uint32_t pair = U32At(child.value, i);
          block.translations.push_back((pair & 0xFFFF) << 16 | pair >> 16);
        }
      }
    }
  }
  return block;
}
