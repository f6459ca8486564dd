// The command line that the Linux program hands to the system's entry point.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/command_line.h"

namespace {

std::u16string Build(std::vector<const char*> items) {
  std::vector<char*> argv;
  for (const char* item : items) argv.push_back(const_cast<char*>(item));
  int argc = static_cast<int>(argv.size());
  size_t length = BuildCommandLine(argc, argv.data(), nullptr, 0);
  std::u16string line(length, u'#');
  EXPECT_EQ(length, BuildCommandLine(argc, argv.data(), &line[0], length));
  return line;
}

struct LineCase {
  std::vector<const char*> argv;
  std::u16string line;
};

TEST(CommandLine, ItemsAreWrittenSoThatTheProgramReadsThemBack) {
  const LineCase cases[] = {
      {{"sorvanel"}, u"sorvanel"},
      {{"/usr/bin/sorvanel", "-v", "C:"}, u"/usr/bin/sorvanel -v C:"},
      {{"sorvanel", "-vf"}, u"sorvanel -vf"},
      // A name with a blank is quoted, so that it does not end at its first space.
      {{"/opt/my tools/sorvanel", "-v"}, u"\"/opt/my tools/sorvanel\" -v"},
      {{"/opt/a\tb/sorvanel"}, u"\"/opt/a\tb/sorvanel\""},
      // A quote inside a quoted name would end it early.
      {{"/opt/\"x\" y/sorvanel", "-v"}, u"\"/opt/\xFFFDx\xFFFD y/sorvanel\" -v"},
      {{"\"q"}, u"\"\xFFFDq\""},
      {{""}, u"\"\""},
      {{}, u"\"\""},
      // Arguments with blanks or quotes are quoted with doubled quotes inside.
      {{"sorvanel", "/mnt/my disk"}, u"sorvanel \"/mnt/my disk\""},
      {{"sorvanel", "tab\there"}, u"sorvanel \"tab\there\""},
      {{"sorvanel", "a\"b"}, u"sorvanel \"a\"\"b\""},
      {{"sorvanel", "\""}, u"sorvanel \"\"\"\""},
      {{"sorvanel", "\"C:\""}, u"sorvanel \"\"\"C:\"\"\""},
      {{"sorvanel", ""}, u"sorvanel \"\""},
      {{"sorvanel", "", "x"}, u"sorvanel \"\" x"},
      // UTF-8 becomes UTF-16; a byte that is no UTF-8 becomes U+FFFD.
      {{"sorvanel", "/mnt/\xC3\xBC"}, u"sorvanel /mnt/\u00FC"},
      {{"sorvanel", "\xF0\x9F\x98\x80"}, u"sorvanel \U0001F600"},
      {{"sorvanel", "a\xFF"}, u"sorvanel a\xFFFD"},
  };
  for (const LineCase& c : cases) {
    std::string shown;
    for (const char* item : c.argv) shown += std::string("[") + item + "]";
    EXPECT_EQ(c.line, Build(c.argv)) << shown;
  }
}

TEST(CommandLine, ShortBufferIsNotOverrun) {
  char* argv[] = {const_cast<char*>("sorvanel"), const_cast<char*>("/mnt/my disk")};
  const size_t full = BuildCommandLine(2, argv, nullptr, 0);
  ASSERT_EQ(full, std::u16string(u"sorvanel \"/mnt/my disk\"").size());
  for (size_t capacity = 0; capacity < full; ++capacity) {
    std::u16string buffer(full + 4, u'#');
    EXPECT_EQ(full, BuildCommandLine(2, argv, &buffer[0], capacity));
    for (size_t i = capacity; i < buffer.size(); ++i) {
      ASSERT_EQ(u'#', buffer[i]) << "capacity " << capacity << ", unit " << i;
    }
  }
}

TEST(CommandLine, GetCommandLineWReturnsTheTerminatedLine) {
  char* argv[] = {const_cast<char*>("/bin/sorvanel"), const_cast<char*>("-v"),
                  const_cast<char*>("my disk")};
  ASSERT_TRUE(LinuxSetCommandLine(3, argv));
  EXPECT_EQ(std::u16string(u"/bin/sorvanel -v \"my disk\""), std::u16string(GetCommandLineW()));
  // A second call replaces the line.
  ASSERT_TRUE(LinuxSetCommandLine(1, argv));
  EXPECT_EQ(std::u16string(u"/bin/sorvanel"), std::u16string(GetCommandLineW()));
}

}  // namespace
