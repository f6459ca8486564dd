// The shipped Windows images: what they import, which Windows they ask for, what they must
// not carry, their size, and that building them again gives the same bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>

#include "e2e/e2e_support.h"
#include "e2e/pe_image.h"
#include "support/event_messages.h"
#include "version.h"

namespace {

struct ImageCase {
  const char* preset;
  uint16_t machine;
  bool pe32Plus;
  uint64_t sizeLimit;  // bytes
};

void PrintTo(const ImageCase& image, std::ostream* out) { *out << image.preset; }

const ImageCase Images[] = {
    {"windows-x64", 0x8664, true, 29184},
    {"windows-x86", 0x014C, false, 31232},
};

std::string ImagePath(const ImageCase& image) {
  return SourceDir() + "/build/" + image.preset + "/sorvanel.exe";
}

class Image : public ::testing::TestWithParam<ImageCase> {};

TEST_P(Image, HeadersAskForWindows5AndCarryNoTimestamp) {
  const PeImage image = ReadPeImage(ImagePath(GetParam()));
  ASSERT_EQ("", image.error);
  EXPECT_EQ(GetParam().machine, image.machine);
  EXPECT_EQ(GetParam().pe32Plus, image.pe32Plus);
  EXPECT_EQ(0u, image.timeDateStamp);
  EXPECT_EQ(5, image.majorOsVersion);
  EXPECT_EQ(0, image.minorOsVersion);
  EXPECT_EQ(5, image.majorSubsystemVersion);
  EXPECT_EQ(0, image.minorSubsystemVersion);
  EXPECT_EQ(3, image.subsystem);  // IMAGE_SUBSYSTEM_WINDOWS_CUI: a console program
  EXPECT_EQ(0x0002, image.characteristics & 0x0002);  // IMAGE_FILE_EXECUTABLE_IMAGE
  EXPECT_EQ(0, image.characteristics & 0x2000) << "built as a DLL";
}

// Every function that the images may import, with the oldest Windows that has it: the
// "Minimum supported client" of its page in Microsoft's reference (which names no version
// before 2000, and for many older functions XP). The images must load on XP, so a function
// that only a later Windows has is to be looked up at run time, not imported.
const int W2000 = 0x0500;
const int WXP = 0x0501;
struct AllowedImport {
  const char* function;
  int since;
};
const AllowedImport AllowedImports[] = {
    // ADVAPI32.dll
    {"AddAccessAllowedAce", WXP}, {"AllocateAndInitializeSid", WXP},
    {"ChangeServiceConfig2W", WXP}, {"CloseServiceHandle", WXP}, {"ControlService", WXP},
    {"CreateServiceW", WXP}, {"DeleteService", WXP}, {"DeregisterEventSource", W2000},
    {"EqualSid", WXP}, {"FreeSid", WXP}, {"GetFileSecurityW", WXP}, {"GetKernelObjectSecurity", WXP},
    {"GetTokenInformation", WXP}, {"InitializeAcl", WXP}, {"InitializeSecurityDescriptor", WXP},
    {"LookupAccountSidW", WXP}, {"LsaClose", WXP}, {"LsaFreeMemory", WXP}, {"LsaOpenPolicy", WXP},
    {"LsaQueryInformationPolicy", WXP}, {"OpenProcessToken", WXP},
    {"OpenSCManagerW", WXP}, {"OpenServiceW", WXP}, {"QueryServiceStatus", WXP},
    {"RegCloseKey", W2000}, {"RegCreateKeyExW", W2000}, {"RegDeleteKeyW", W2000},
    {"RegSetValueExW", W2000}, {"RegisterEventSourceW", W2000},
    {"RegisterServiceCtrlHandlerW", WXP}, {"ReportEventW", W2000},
    {"SetSecurityDescriptorDacl", WXP}, {"SetServiceStatus", WXP},
    {"StartServiceCtrlDispatcherW", WXP}, {"StartServiceW", WXP},
    // KERNEL32.dll
    {"CloseHandle", W2000}, {"CompareStringW", W2000}, {"CreateEventW", WXP},
    {"CreateFileW", WXP}, {"DebugBreak", WXP}, {"DuplicateHandle", W2000}, {"ExitProcess", WXP},
    {"FindFirstVolumeW", WXP}, {"FindNextVolumeW", WXP}, {"FindVolumeClose", WXP},
    {"FlushFileBuffers", WXP}, {"FormatMessageW", WXP}, {"GetCommandLineW", WXP},
    {"GetConsoleMode", W2000}, {"GetConsoleOutputCP", W2000}, {"GetCurrentProcess", WXP},
    {"GetCurrentThread", WXP}, {"GetDriveTypeW", WXP}, {"GetFileAttributesW", WXP}, {"GetLastError", WXP},
    {"GetModuleFileNameW", WXP}, {"GetModuleHandleW", WXP}, {"GetPrivateProfileIntW", W2000},
    {"GetPrivateProfileStringW", W2000}, {"GetProcessHeap", WXP}, {"GetStartupInfoW", WXP},
    {"GetStdHandle", W2000}, {"GetTickCount", W2000}, {"GetVersionExW", W2000},
    {"GetVolumePathNamesForVolumeNameW", WXP}, {"HeapAlloc", WXP}, {"HeapFree", WXP},
    {"IsDebuggerPresent", WXP}, {"OpenEventW", WXP}, {"QueryPerformanceFrequency", W2000},
    {"SetErrorMode", WXP}, {"SetEvent", WXP}, {"SetLastError", WXP}, {"SetThreadPriority", WXP},
    {"Sleep", WXP}, {"WaitForSingleObject", WXP}, {"WideCharToMultiByte", W2000},
    {"WriteConsoleW", W2000}, {"WriteFile", WXP},
    // USER32.dll
    {"CharUpperW", W2000}, {"MessageBoxW", W2000},
};

TEST_P(Image, ImportsOnlyTheThreeSystemLibrariesAndWhatXPHas) {
  const PeImage image = ReadPeImage(ImagePath(GetParam()));
  ASSERT_EQ("", image.error);
  std::set<std::string> dlls;
  std::set<std::string> functions;
  for (const PeImport& import : image.imports) {
    dlls.insert(import.dll);
    functions.insert(import.functions.begin(), import.functions.end());
    for (const std::string& function : import.functions) {
      auto allowed = std::find_if(std::begin(AllowedImports), std::end(AllowedImports),
                                  [&function](const AllowedImport& a) { return function == a.function; });
      ASSERT_NE(allowed, std::end(AllowedImports)) << function << ": not in the list; add it with its version";
      EXPECT_LE(allowed->since, WXP) << function << " is newer than Windows XP";
    }
  }
  EXPECT_EQ((std::set<std::string>{"KERNEL32.dll", "ADVAPI32.dll", "USER32.dll"}), dlls);
  // Calls made on the way from the entry point through start-up, output and the command
  // line, from each of the three libraries: proof that the entry pulled the program in.
  for (const char* needed : {"GetCommandLineW", "ExitProcess", "GetStartupInfoW", "WriteConsoleW",
                             "WriteFile", "WideCharToMultiByte", "FormatMessageW", "OpenEventW",
                             "GetTokenInformation", "StartServiceCtrlDispatcherW",
                             "MessageBoxW"}) {
    EXPECT_TRUE(functions.count(needed)) << needed << " is not imported";
  }
}

TEST_P(Image, HasAnEntryPointAndNoRuntimeLeftovers) {
  const PeImage image = ReadPeImage(ImagePath(GetParam()));
  ASSERT_EQ("", image.error);
  ASSERT_NE(0u, image.entryPoint);
  const PeSection* entry = SectionOf(image, image.entryPoint);
  ASSERT_NE(nullptr, entry) << "the entry point lies in no section";
  EXPECT_NE(0u, entry->characteristics & 0x20000000u) << "the entry point is not in code";
  for (const PeSection& section : image.sections) {
    for (const char* forbidden : {".CRT", ".tls", ".ctors", ".dtors", ".init_ar", ".fini_ar"}) {
      EXPECT_NE(0u, section.name.rfind(forbidden, 0)) << "section " << section.name;
    }
    EXPECT_NE(0u, section.name.rfind(".debug", 0)) << "debug section " << section.name;
    EXPECT_NE(0u, section.name.rfind("/", 0)) << "long-named section " << section.name;
  }
  EXPECT_EQ(0u, image.directories[9].first) << "a TLS directory";
  EXPECT_EQ(0u, image.directories[6].first) << "a debug directory (it would carry a timestamp)";
  EXPECT_EQ(0u, image.symbolTableOffset) << "not stripped";
  EXPECT_EQ(0u, image.symbolCount) << "not stripped";
}

// The tags of an XML text nest properly; the first fault found, or "".
std::string TagNestingFault(const std::string& xml) {
  std::vector<std::string> open;
  std::regex tag("<(/?)([A-Za-z][A-Za-z0-9:]*)[^<>]*?(/?)>");
  for (std::sregex_iterator it(xml.begin(), xml.end(), tag), end; it != end; ++it) {
    const std::smatch& m = *it;
    if (m[1] == "/") {
      if (open.empty() || open.back() != m[2]) return "unexpected </" + m[2].str() + ">";
      open.pop_back();
    } else if (m[3] != "/") {
      open.push_back(m[2]);
    }
  }
  return open.empty() ? "" : "<" + open.back() + "> is not closed";
}

// Explorer's Properties show the version block; the manifest makes the program run as the
// user who starts it on every Windows from Vista on, and XP must load it too.
TEST_P(Image, CarriesTheVersionBlockAndTheManifest) {
  const PeImage image = ReadPeImage(ImagePath(GetParam()));
  ASSERT_EQ("", image.error);
  const PeResource* version = FindResource(image, 16, 1);  // RT_VERSION
  ASSERT_NE(nullptr, version);
  EXPECT_EQ(0x409u, version->language);
  const PeVersionBlock block = ReadVersionBlock(version->bytes);
  ASSERT_EQ("", block.error);
  const uint32_t ms = SORVANEL_VERSION_MAJOR << 16 | SORVANEL_VERSION_MINOR;
  const uint32_t ls = SORVANEL_VERSION_PATCH << 16 | SORVANEL_VERSION_BUILD;
  EXPECT_EQ(ms, block.fileVersionMs);
  EXPECT_EQ(ls, block.fileVersionLs);
  EXPECT_EQ(ms, block.productVersionMs);
  EXPECT_EQ(ls, block.productVersionLs);
  EXPECT_EQ(0x40004u, block.fileOs);  // VOS_NT_WINDOWS32
  EXPECT_EQ(1u, block.fileType);      // VFT_APP
  // The text form says the same number as the fixed part.
  EXPECT_EQ(SORVANEL_VERSION_TEXT, std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) +
                                       "." + std::to_string(ls >> 16) + "." +
                                       std::to_string(ls & 0xFFFF));
  const std::map<std::string, std::map<std::string, std::string>> strings = {
      {"040904B0",
       {{"CompanyName", "Tamberlocke"},
        {"FileDescription", "Volume file buffers flusher"},
        {"FileVersion", SORVANEL_VERSION_TEXT},
        {"InternalName", "sorvanel"},
        {"LegalCopyright", "Copyright (c) 2026 The Sorvanel authors"},
        {"OriginalFilename", "sorvanel.exe"},
        {"ProductName", "Sorvanel"},
        {"ProductVersion", SORVANEL_VERSION_TEXT}}}};
  EXPECT_EQ(strings, block.strings);
  EXPECT_EQ(std::vector<uint32_t>{0x040904B0u}, block.translations);

  const PeResource* manifestResource = FindResource(image, 24, 1);  // RT_MANIFEST
  ASSERT_NE(nullptr, manifestResource);
  const std::string& manifest = manifestResource->bytes;
  EXPECT_EQ("", TagNestingFault(manifest)) << manifest;
  EXPECT_EQ(0u, manifest.find("<?xml version='1.0' encoding='UTF-8' standalone='yes'?>"));
  EXPECT_NE(std::string::npos,
            manifest.find("<assemblyIdentity type='win32' name='Tamberlocke.Sorvanel' version='" +
                          std::string(SORVANEL_VERSION_TEXT) + "'/>"));
  EXPECT_NE(std::string::npos, manifest.find("<requestedExecutionLevel level='asInvoker'"));
  // XP refuses elements it does not know in the manifest's own namespace and ignores those
  // in a namespace of their own; SP2 fails on an element that declares two.
  EXPECT_NE(std::string::npos, manifest.find("<trustInfo xmlns='urn:schemas-microsoft-com:asm.v3'>"));
  EXPECT_NE(std::string::npos,
            manifest.find("<compatibility xmlns='urn:schemas-microsoft-com:compatibility.v1'>"));
  EXPECT_FALSE(std::regex_search(manifest, std::regex("<[^>]*xmlns[^>]*xmlns"))) << manifest;
  // Vista, 7, 8, 8.1, 10 and 11.
  for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}) {
    EXPECT_NE(std::string::npos, manifest.find(std::string("<supportedOS Id='{") + os + "}'/>")) << os;
  }
}

TEST_P(Image, StaysWithinItsSizeBudget) {
  const PeImage image = ReadPeImage(ImagePath(GetParam()));
  ASSERT_EQ("", image.error);
  EXPECT_LE(image.fileSize, GetParam().sizeLimit);
  std::printf("%s/sorvanel.exe: %llu bytes\n", GetParam().preset,
              static_cast<unsigned long long>(image.fileSize));
}

// Event Viewer renders the service's events through the image's message table: one block of
// the ids that the service reports, each message in UTF-16.
TEST_P(Image, CarriesTheMessageTableOfTheServiceEvents) {
  const PeImage image = ReadPeImage(ImagePath(GetParam()));
  ASSERT_EQ("", image.error);
  const PeResource* table = FindResource(image, 11, 1);  // RT_MESSAGETABLE
  ASSERT_NE(nullptr, table);
  EXPECT_EQ(0x409u, table->language);
  auto dword = [&table](size_t at) {
    uint32_t value = 0;
    if (at + 4 <= table->bytes.size()) memcpy(&value, table->bytes.data() + at, 4);
    return value;
  };
  EXPECT_EQ(1u, dword(0));  // blocks
  EXPECT_EQ(static_cast<uint32_t>(EVENT_ERROR), dword(4));
  EXPECT_EQ(static_cast<uint32_t>(EVENT_SETTINGS), dword(8));
  uint32_t at = dword(12);
  for (int id = EVENT_ERROR; id <= EVENT_SETTINGS; ++id) {
    ASSERT_LE(at + 4, table->bytes.size()) << id;
    uint16_t length = 0, flags = 0;
    memcpy(&length, table->bytes.data() + at, 2);
    memcpy(&flags, table->bytes.data() + at + 2, 2);
    EXPECT_EQ(1u, flags) << id;  // MESSAGE_RESOURCE_UNICODE
    ASSERT_GE(length, 4u) << id;
    at += length;
  }
}

std::string FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A second build from scratch in another directory: the bytes must not change, so nothing
// of the time, the path or the machine may enter the image.
TEST_P(Image, SecondBuildIsByteIdentical) {
  const std::string first = FileBytes(ImagePath(GetParam()));
  ASSERT_FALSE(first.empty());
  const std::string source = SourceDir();
  const std::string again = source + "/build/" + GetParam().preset + "-again";
  const std::string toolchain =
      source + (GetParam().pe32Plus ? "/cmake/mingw-x64.cmake" : "/cmake/mingw-x86.cmake");
  ProcessOptions options;
  options.timeoutSeconds = 600;
  RunProcess({"rm", "-rf", again}, options);
  ProcessResult configure =
      RunProcess({"cmake", "-S", source, "-B", again, "-G", "Ninja",
                  "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DSORVANEL_TARGET=windows",
                  "-DCMAKE_BUILD_TYPE=Release"},
                 options);
  ASSERT_EQ(0, configure.exitCode) << configure.out << configure.err;
  ProcessResult build = RunProcess({"cmake", "--build", again, "-j", "2"}, options);
  ASSERT_EQ(0, build.exitCode) << build.out << build.err;
  const std::string second = FileBytes(again + "/sorvanel.exe");
  EXPECT_EQ(first.size(), second.size());
  EXPECT_TRUE(first == second) << "the two builds differ";
}

INSTANTIATE_TEST_SUITE_P(Windows, Image, ::testing::ValuesIn(Images),
                         [](const ::testing::TestParamInfo<ImageCase>& info) {
                           return std::string(info.param.pe32Plus ? "x64" : "x86");
                         });

}  // namespace
