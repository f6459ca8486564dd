// The one-shot flush as a user starts it: whole command lines run in a fresh process over
// the simulated volumes, with their exit codes, output and what was left behind.
#include <gtest/gtest.h>

#include "sim/sim_volumes.h"
#include "unit/child_run.h"

namespace {

const std::u16string V1 = SimVolumeName(1);
const std::u16string V2 = SimVolumeName(2);
const std::u16string V3 = SimVolumeName(3);

void Machine() {
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}),
                 SimMakeVolume(2, {u"D:\\Data\\Mount\\", u"D:\\My Mount\\"}),
                 SimMakeVolume(3, {u"E:\\"}, DRIVE_REMOVABLE),
                 SimMakeVolume(4, {u"F:\\"}, DRIVE_CDROM)});
}

// What the child saw: the flushed volumes by name, one per line.
void CollectFlushes(std::map<std::string, std::string>& extra) {
  std::string flushed;
  for (const std::u16string& name : SimFlushedVolumes()) flushed += SimUtf8(name) + "\n";
  extra["flushed"] = flushed;
}

std::string Lines(std::initializer_list<std::u16string> names) {
  std::string text;
  for (const std::u16string& name : names) text += SimUtf8(name) + "\n";
  return text;
}

struct ProgramCase {
  const char16_t* arguments;
  int exitCode;
  std::string flushed;
  std::string out;
  std::string err;
};

// The arguments in quotes: a printed name that ended in a backslash would escape the list
// separator in the test list that CTest reads, and the next case would be lost.
void PrintTo(const ProgramCase& c, std::ostream* out) {
  *out << "sorvanel \"" << SimUtf8(c.arguments) << '"';
}

class FlushProgramTest : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(FlushProgramTest, RunsTheCommandLine) {
  const ProgramCase& c = GetParam();
  ChildRun run = RunProgram(c.arguments, Machine, CollectFlushes);
  ASSERT_TRUE(run.finished) << run.failure;
  EXPECT_TRUE(run.exitedThroughExitProcess);
  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(run.extra["flushed"], c.flushed);
  EXPECT_EQ(run.Out(), c.out);
  EXPECT_EQ(run.Err(), c.err);
  EXPECT_EQ(run.openHandles, 0) << run.openHandleList;
  EXPECT_EQ(run.liveHeapBlocks, 0);
}

const std::string Flushing1 = "Flushing " + SimUtf8(V1) + " (C:\\)\r\n";
const std::string Flushing2 = "Flushing " + SimUtf8(V2) + " (D:\\Data\\Mount\\,D:\\My Mount\\)\r\n";
const std::string Flushing3 = "Flushing " + SimUtf8(V3) + " (E:\\)\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, FlushProgramTest,
    ::testing::Values(
        ProgramCase{u"", 0, Lines({V1, V2, V3}), "", ""},
        ProgramCase{u"-v", 0, Lines({V1, V2, V3}), Flushing1 + Flushing2 + Flushing3, ""},
        ProgramCase{u"-v C:", 0, Lines({V1}), Flushing1, ""},
        ProgramCase{u"c:", 0, Lines({V1}), "", ""},
        ProgramCase{u"-v D:\\Data\\*", 0, Lines({V2}), Flushing2, ""},
        ProgramCase{u"-v \"D:\\My Mount\"", 0, Lines({V2}), Flushing2, ""},
        ProgramCase{u"-v D:\\My Mount", 0, "", "",
                    "Volume \"D:\\My\" not found\r\nVolume \"Mount\" not found\r\n"},
        ProgramCase{u"-v E: C: E:", 0, Lines({V3, V1, V3}), Flushing3 + Flushing1 + Flushing3, ""},
        ProgramCase{u"C:\\ F: X:", 0, "", "",
                    "Volume \"C:\\\" not found\r\nVolume \"F:\" not found\r\n"
                    "Volume \"X:\" not found\r\n"},
        ProgramCase{u"\\\\?\\Volume{00000000-0000-0000-0000-000000000003}\\", 0, Lines({V3}), "", ""},
        ProgramCase{u"C: \"\"", 2, "", "", "Error in volume template\r\n"},
        ProgramCase{u"C: \"", 2, "", "", "Error in volume template\r\n"}));

TEST(FlushProgram, AFailingEnumerationExitsWith3) {
  ChildRun run = RunProgram(u"C: E:", [] {
    Machine();
    SimFailCall("FindFirstVolumeW", 2, ERROR_NOT_READY);
  }, CollectFlushes);
  ASSERT_TRUE(run.finished) << run.failure;
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.extra["flushed"], Lines({V1}));
  EXPECT_EQ(run.Err(), "Cannot enumerate volumes (21 - The device is not ready)\r\n");
  EXPECT_EQ(run.openHandles, 0) << run.openHandleList;
  EXPECT_EQ(run.liveHeapBlocks, 0);
}

TEST(FlushProgram, NoMemoryForATemplateExitsWith8AndFlushesNothing) {
  // Templates are the last allocations of a run: the one before the last is the node of the
  // second template.
  ChildRun run = RunProgram(u"C: E: X:", Machine, [](std::map<std::string, std::string>& extra) {
    extra["allocations"] = std::to_string(SimCallCount("HeapAlloc"));
  });
  ASSERT_TRUE(run.finished) << run.failure;
  int allocations = std::stoi(run.extra["allocations"]);
  ASSERT_GE(allocations, 3);
  ChildRun failed = RunProgram(u"C: E: X:", [allocations] {
    Machine();
    SimFailCall("HeapAlloc", static_cast<unsigned>(allocations - 1), ERROR_NOT_ENOUGH_MEMORY);
  }, CollectFlushes);
  ASSERT_TRUE(failed.finished) << failed.failure;
  EXPECT_EQ(failed.exitCode, 8);
  EXPECT_EQ(failed.extra["flushed"], "");
  EXPECT_EQ(failed.Err(), "No memory for volume descriptor\r\n");
  EXPECT_EQ(failed.liveHeapBlocks, 0);
}

}  // namespace
