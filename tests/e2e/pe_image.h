// The parts of a PE image that the image checks look at, read straight from the file.
#pragma once

#include <stdint.h>

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
};

PeImage ReadPeImage(const std::string& path);
// The section that holds a relative virtual address, or null.
const PeSection* SectionOf(const PeImage& image, uint32_t rva);
