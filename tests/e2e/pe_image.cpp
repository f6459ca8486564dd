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

}  // namespace

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
  if (!in.ok) image.error = "the headers point outside the file";
  return image;
}
