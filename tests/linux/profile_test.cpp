// The profile functions of the Linux backend over real files.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "linux/backend_test.h"
#include "platform/win32.h"

namespace {

class ProfileFile : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    char pattern[] = "/tmp/sorvanel-profile-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    path = folder + "/sorvanel.ini";
  }
  void TearDown() override {
    unlink(path.c_str());
    rmdir(folder.c_str());
    BackendTest::TearDown();
  }
  void Write(const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    file << bytes;
  }
  std::u16string WidePath() { return Wide(path.c_str()); }
  std::u16string Read(const char16_t* key, DWORD size = 64) {
    WCHAR out[64];
    DWORD n = GetPrivateProfileStringW(u"Main", key, u"none", out, size, WidePath().c_str());
    return std::u16string(out, n);
  }

  std::string folder, path;
};

TEST_F(ProfileFile, ReadsAUtf8File) {
  Write("; settings\r\n[main]\r\n  Signature = \"Sorvanel\" \r\nInterval=60\r\nName=Gr\xC3\xBC\xC3\x9F" "e\r\n");
  EXPECT_EQ(Read(u"Signature"), u"Sorvanel");
  EXPECT_EQ(Read(u"NAME"), u"Gr\u00FC\u00DFe");
  EXPECT_EQ(Read(u"Signature", 4), u"Sor");
  EXPECT_EQ(GetPrivateProfileIntW(u"Main", u"Interval", 30, WidePath().c_str()), 60u);
  EXPECT_EQ(GetPrivateProfileIntW(u"Main", u"Missing", 30, WidePath().c_str()), 30u);
}

TEST_F(ProfileFile, ReadsAUtf16FileWithByteOrderMark) {
  std::u16string text = u"[Main]\r\nVolumes=C: \"D:\\Mount Point\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t ch : text) {
    bytes += static_cast<char>(ch & 0xFF);
    bytes += static_cast<char>(ch >> 8);
  }
  Write(bytes);
  EXPECT_EQ(Read(u"Volumes"), u"C: \"D:\\Mount Point\"");
}

// The whole file is read, whatever its size, up to the bound that keeps memory sane.
TEST_F(ProfileFile, ReadsAWholeFileAndRefusesAHugeOne) {
  Write("; " + std::string(100000, '-') + "\n[Main]\nInterval=60\n");
  EXPECT_EQ(GetPrivateProfileIntW(u"Main", u"Interval", 30, WidePath().c_str()), 60u);
  // 2 GiB without data blocks: refused before anything is allocated or read.
  ASSERT_EQ(truncate(path.c_str(), off_t(2) << 30), 0);
  EXPECT_EQ(Read(u"Interval"), u"none");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(GetPrivateProfileIntW(u"Main", u"Interval", 30, WidePath().c_str()), 30u);
}

TEST_F(ProfileFile, AMissingOrUnreadableFileGivesTheDefault) {
  EXPECT_EQ(Read(u"Signature"), u"none");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetPrivateProfileIntW(u"Main", u"Interval", 30, WidePath().c_str()), 30u);
  // A folder in the file's place cannot be read either.
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_EQ(Read(u"Signature"), u"none");
  rmdir(path.c_str());
}

}  // namespace
