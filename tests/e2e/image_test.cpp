// The shipped Windows images: what they import, which Windows they ask for, what they must
// not carry, their size, and that building them again gives the same bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "e2e/e2e_support.h"
#include "e2e/pe_image.h"

namespace {

struct ImageCase {
  const char* preset;
  uint16_t machine;
  bool pe32Plus;
  uint64_t sizeLimit;  // 0: no limit
};

void PrintTo(const ImageCase& image, std::ostream* out) { *out << image.preset; }

const ImageCase Images[] = {
    {"windows-x64", 0x8664, true, 24 * 1024},
    {"windows-x86", 0x014C, false, 0},
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

TEST_P(Image, ImportsOnlyTheThreeSystemLibraries) {
  const PeImage image = ReadPeImage(ImagePath(GetParam()));
  ASSERT_EQ("", image.error);
  std::set<std::string> dlls;
  std::set<std::string> functions;
  for (const PeImport& import : image.imports) {
    dlls.insert(import.dll);
    functions.insert(import.functions.begin(), import.functions.end());
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

// Only the 64-bit image has a size budget.
TEST(ImageSize, X64StaysWithin24KiB) {
  const PeImage image = ReadPeImage(ImagePath(Images[0]));
  ASSERT_EQ("", image.error);
  EXPECT_LE(image.fileSize, Images[0].sizeLimit);
  std::printf("%s/sorvanel.exe: %llu bytes\n", Images[0].preset,
              static_cast<unsigned long long>(image.fileSize));
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
