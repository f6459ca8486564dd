// The parts of a PE image that the image checks look at, read straight from the file.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

struct PeSection {
  std::string name;
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t rawSize = 0;
  uint32_t rawOffset = 0;
  uint32_t characteristics = 0;
};

struct PeImport {
  std::string dll;
  std::vector<std::string> functions;  // by name; "#n" for an import by ordinal
};

// One resource, found through the three levels of the resource directory (type, name,
// language); resources named by text instead of number are not listed.
struct PeResource {
  uint32_t type = 0, id = 0, language = 0;
  std::string bytes;
};

struct PeImage {
  std::string error;  // empty when the file was read as a PE image
  uint64_t fileSize = 0;
  uint16_t machine = 0;
  uint32_t timeDateStamp = 0;
  uint32_t symbolTableOffset = 0;
  uint32_t symbolCount = 0;
  uint16_t characteristics = 0;
  bool pe32Plus = false;
  uint32_t entryPoint = 0;
  uint16_t majorOsVersion = 0, minorOsVersion = 0;
  uint16_t majorSubsystemVersion = 0, minorSubsystemVersion = 0;
  uint16_t subsystem = 0;
  uint32_t checkSum = 0;
  // Address and size of each data directory, by index (1 imports, 6 debug, 9 TLS, ...).
  std::vector<std::pair<uint32_t, uint32_t>> directories;
  std::vector<PeSection> sections;
  std::vector<PeImport> imports;
  std::vector<PeResource> resources;
};

PeImage ReadPeImage(const std::string& path);

// A version resource (VS_VERSIONINFO): its fixed part and its texts, keys and values taken
// as ASCII.
struct PeVersionBlock {
  std::string error;  // empty when the block was read
  uint32_t fileVersionMs = 0, fileVersionLs = 0, productVersionMs = 0, productVersionLs = 0;
  uint32_t fileOs = 0, fileType = 0;
  std::map<std::string, std::map<std::string, std::string>> strings;  // table → key → value
  std::vector<uint32_t> translations;  // language << 16 | code page
};
PeVersionBlock ReadVersionBlock(const std::string& bytes);
// The bytes of the resource of that type and id (any language), or null.
const PeResource* FindResource(const PeImage& image, uint32_t type, uint32_t id);
// The section that holds a relative virtual address, or null.
const PeSection* SectionOf(const PeImage& image, uint32_t rva);
