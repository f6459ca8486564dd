// Volume enumeration and flush over the simulated volumes: which volumes a template selects,
// how often each is flushed and in which order, what is shown, and every failing call.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "unit/volume_test_support.h"
#include "volumes/flush.h"

namespace {

const std::u16string V1 = SimVolumeName(1);
const std::u16string V2 = SimVolumeName(2);
const std::u16string V3 = SimVolumeName(3);
const std::u16string V4 = SimVolumeName(4);
const std::u16string V5 = SimVolumeName(5);
const std::u16string V6 = SimVolumeName(6);
const std::u16string V7 = SimVolumeName(7);

using Names = std::vector<std::u16string>;

class FlushTest : public VolumeTest {
 protected:
  // Parses the templates and runs one FlushSelectedVolumes; -1 for a template error.
  int Flush(const std::u16string& templates, bool verbose = false) {
    if (Parse(templates) != 0) return -1;
    return FlushSelectedVolumes(&list_, verbose);
  }

  // A machine with one volume of every kind the enumeration can meet.
  static void MixedMachine() {
    SimVolume noPaths = SimMakeVolume(6, {});
    SimSetVolumes({SimMakeVolume(1, {u"C:\\"}),
                   SimMakeVolume(2, {u"E:\\"}, DRIVE_REMOVABLE),
                   SimMakeVolume(3, {u"F:\\"}, DRIVE_CDROM),
                   SimMakeVolume(4, {u"R:\\"}, DRIVE_RAMDISK),
                   SimMakeVolume(5, {u"\\\\server\\share\\"}, DRIVE_REMOTE),
                   noPaths,
                   SimMakeVolume(7, {u"U:\\"}, DRIVE_UNKNOWN),
                   SimMakeVolume(8, {u"N:\\"}, DRIVE_NO_ROOT_DIR)});
  }
};

std::string NotFound(const std::string& text) { return "Volume \"" + text + "\" not found\r\n"; }

// ---- Selection ------------------------------------------------------------------------------

TEST_F(FlushTest, WithoutTemplatesFlushesEveryEligibleVolumeOnce) {
  MixedMachine();
  EXPECT_EQ(Flush(u""), 0);
  EXPECT_EQ(SimFlushedVolumes(), (Names{V1, V2, V5}));
  EXPECT_EQ(SimCallCount("FindFirstVolumeW"), 1u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Notes(), "");
  EXPECT_EQ(SimOpenHandleCount(), 0) << SimDescribeOpenHandles();
}

struct SelectCase {
  const char16_t* templates;
  Names flushed;
  std::string errors;
};

void PrintTo(const SelectCase& c, std::ostream* out) { *out << '"' << SimUtf8(c.templates) << '"'; }

class SelectTest : public FlushTest, public ::testing::WithParamInterface<SelectCase> {};

TEST_P(SelectTest, FlushesWhatTheTemplatesName) {
  const SelectCase& c = GetParam();
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}),
                 SimMakeVolume(2, {u"E:\\", u"D:\\Data\\Mount\\"}, DRIVE_REMOVABLE),
                 SimMakeVolume(3, {u"F:\\"}, DRIVE_CDROM),
                 SimMakeVolume(4, {u"R:\\"}, DRIVE_RAMDISK),
                 SimMakeVolume(5, {u"\\\\server\\share\\"}, DRIVE_REMOTE),
                 SimMakeVolume(6, {}),
                 SimMakeVolume(7, {u"D:\\"})});
  EXPECT_EQ(Flush(c.templates), 0);
  EXPECT_EQ(SimFlushedVolumes(), c.flushed);
  EXPECT_EQ(Errors(), c.errors);
  EXPECT_EQ(SimOpenHandleCount(), 0) << SimDescribeOpenHandles();
}

INSTANTIATE_TEST_SUITE_P(
    Table, SelectTest,
    ::testing::Values(
        SelectCase{u"C:", {V1}, ""},
        SelectCase{u"c:", {V1}, ""},
        SelectCase{u"C:\\", {}, NotFound("C:\\")},
        // Selected through its second mount path, and flushed once although both match.
        SelectCase{u"D:\\Data\\*", {V2}, ""},
        SelectCase{u"d:\\data\\m?unt", {V2}, ""},
        SelectCase{u"?:", {V1, V2, V7}, ""},
        SelectCase{u"D:*", {V2, V7}, ""},
        SelectCase{u"\\\\server\\share", {V5}, ""},
        // Two templates that select the same volume flush it twice, pass by pass.
        SelectCase{u"C: c:", {V1, V1}, ""},
        SelectCase{u"E: C: D:\\Data\\Mount", {V2, V1, V2}, ""},
        // The volume name matches with its trailing backslash; without it only by wildcard.
        SelectCase{u"\\\\?\\Volume{00000000-0000-0000-0000-000000000002}\\", {V2}, ""},
        SelectCase{u"\\\\?\\volume{00000000-0000-0000-0000-000000000002}\\", {V2}, ""},
        SelectCase{u"\\\\?\\Volume{00000000-0000-0000-0000-000000000002}", {},
                   NotFound("\\\\?\\Volume{00000000-0000-0000-0000-000000000002}")},
        SelectCase{u"\\\\?\\Volume{00000000-0000-0000-0000-000000000002}*", {V2}, ""},
        SelectCase{u"\\\\?\\Volume{*", {V1, V2, V5, V7}, ""},
        // CD-ROMs, RAM disks and volumes without a mount path are never flushed.
        SelectCase{u"F:", {}, NotFound("F:")},
        SelectCase{u"R:", {}, NotFound("R:")},
        SelectCase{u"\\\\?\\Volume{00000000-0000-0000-0000-000000000006}\\", {},
                   NotFound("\\\\?\\Volume{00000000-0000-0000-0000-000000000006}\\")},
        SelectCase{u"\\\\?\\Volume{00000000-0000-0000-0000-000000000003}\\", {},
                   NotFound("\\\\?\\Volume{00000000-0000-0000-0000-000000000003}\\")},
        // A template that selects nothing is reported in its own pass; the others go on.
        SelectCase{u"X: C: Y:", {V1}, NotFound("X:") + NotFound("Y:")},
        SelectCase{u"\"D:\\Data\\Mount\" \"Z:\\My Mount\"", {V2}, NotFound("Z:\\My Mount")}));

TEST_F(FlushTest, EachPassClosesItsSearchBeforeTheNextBegins) {
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}), SimMakeVolume(2, {u"D:\\"})});
  EXPECT_EQ(Flush(u"D: C: D:"), 0);
  EXPECT_EQ(SimFlushedVolumes(), (Names{V2, V1, V2}));
  std::vector<std::string> passes;
  for (const std::string& call : SimCallLog()) {
    if (call == "FindFirstVolumeW" || call == "FindVolumeClose" || call == "FlushFileBuffers") {
      passes.push_back(call);
    }
  }
  EXPECT_EQ(passes, (std::vector<std::string>{
                        "FindFirstVolumeW", "FlushFileBuffers", "FindVolumeClose",
                        "FindFirstVolumeW", "FlushFileBuffers", "FindVolumeClose",
                        "FindFirstVolumeW", "FlushFileBuffers", "FindVolumeClose"}));
}

// The calls of two passes, one that flushes and one that finds nothing, in the order made:
// each volume's mount paths are read once, before its drive type, also for a volume that
// does not take part; a selected volume's line is shown, then it is opened, flushed and
// closed; the search is closed before the template is reported as not found.
TEST_F(FlushTest, APassMakesItsCallsInOrder) {
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}), SimMakeVolume(2, {u"F:\\"}, DRIVE_CDROM)});
  EXPECT_EQ(Flush(u"C: X:", true), 0);
  const std::vector<std::string> watched = {
      "FindFirstVolumeW", "FindNextVolumeW", "FindVolumeClose", "GetVolumePathNamesForVolumeNameW",
      "GetDriveTypeW",    "CreateFileW",     "FlushFileBuffers", "CloseHandle", "WriteConsoleW"};
  std::vector<std::string> calls;
  for (const std::string& call : SimCallLog()) {
    if (std::find(watched.begin(), watched.end(), call) != watched.end()) calls.push_back(call);
  }
  const std::string paths = "GetVolumePathNamesForVolumeNameW";
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "FindFirstVolumeW", paths, "GetDriveTypeW",
                       "WriteConsoleW", "CreateFileW", "FlushFileBuffers", "CloseHandle",
                       "FindNextVolumeW", paths, "GetDriveTypeW",
                       "FindNextVolumeW", "FindVolumeClose",
                       "FindFirstVolumeW", paths, "GetDriveTypeW",
                       "FindNextVolumeW", paths, "GetDriveTypeW",
                       "FindNextVolumeW", "FindVolumeClose", "WriteConsoleW"}));
  EXPECT_EQ(Notes(), "Flushing " + U8(V1) + " (C:\\)\r\n");
  EXPECT_EQ(Errors(), NotFound("X:"));
}

// A volume has a mount path only when its list is longer than 2 characters: the bare list
// terminator (1) and an empty path with it (2) are none, a one-character path (3) is one.
TEST_F(FlushTest, AMountListOf2CharactersOrLessHoldsNoMountPath) {
  SimSetVolumes({SimMakeVolume(1, {}), SimMakeVolume(2, {u""}), SimMakeVolume(3, {u"X"})});
  EXPECT_EQ(Flush(u"", true), 0);
  EXPECT_EQ(SimFlushedVolumes(), (Names{V3}));
  EXPECT_EQ(Notes(), "Flushing " + U8(V3) + " (X)\r\n");
  EmptyTemplateList(&list_);
  EXPECT_EQ(Flush(u"*"), 0);
  EXPECT_EQ(SimFlushedVolumes(), (Names{V3, V3}));
  EXPECT_EQ(Errors(), "");
}

TEST_F(FlushTest, OpensTheDeviceForWritingWithSharing) {
  EXPECT_EQ(Flush(u"C:"), 0);
  std::vector<SimVolumeOpen> opens = SimVolumeOpens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].fileName, V1.substr(0, V1.size() - 1));
  EXPECT_EQ(opens[0].access, GENERIC_WRITE);
  EXPECT_EQ(opens[0].shareMode, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
  EXPECT_FALSE(opens[0].securityAttributes);
  EXPECT_EQ(opens[0].creationDisposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(opens[0].flags, 0u);
  EXPECT_FALSE(opens[0].templateFile);
  EXPECT_EQ(SimFlushedVolumes(), (Names{V1}));
  EXPECT_EQ(SimOpenHandleCount(), 0);
}

// 4 paths of 70 characters need 285 places with their terminators: more than the 260 of the
// buffer. The list is read again into a heap block of that size, and freed (TearDown).
TEST_F(FlushTest, AMountListLongerThanTheBufferIsReadAgainIntoTheHeap) {
  std::vector<std::u16string> paths;
  for (char16_t letter : std::u16string(u"PQRS")) {
    paths.push_back(std::u16string(1, letter) + u":\\" + std::u16string(67, u'x'));
  }
  SimSetVolumes({SimMakeVolume(1, paths), SimMakeVolume(2, {u"C:\\"})});
  EXPECT_EQ(Flush(u"S:*", true), 0);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(SimFlushedVolumes(), (Names{V1}));
  // The line shows every path.
  EXPECT_EQ(Notes(), "Flushing " + U8(V1) + " (" + U8(paths[0]) + "," + U8(paths[1]) + "," + U8(paths[2]) +
                         "," + U8(paths[3]) + ")\r\n");
  EXPECT_EQ(SimCallCount("HeapAlloc"), 2u);  // the template's node, then the list
}

TEST_F(FlushTest, AMountListThatJustFitsIsRead) {
  // 2 paths of 128 characters: 2 x 129 + 1 = 259 places.
  std::u16string first = u"P:\\" + std::u16string(125, u'x');
  std::u16string second = u"Q:\\" + std::u16string(125, u'y');
  SimSetVolumes({SimMakeVolume(1, {first, second})});
  EXPECT_EQ(Flush(u"Q:\\y*"), 0);
  EXPECT_EQ(SimFlushedVolumes(), (Names{V1}));
  EXPECT_EQ(Errors(), "");
}

// ---- What a flush shows ----------------------------------------------------------------------

TEST_F(FlushTest, VerboseShowsOneLinePerFlushWithTheMountPaths) {
  SimSetVolumes({SimMakeVolume(1, {u"C:\\", u"D:\\Data\\Mount\\"}), SimMakeVolume(2, {u"E:\\"})});
  EXPECT_EQ(Flush(u"", true), 0);
  EXPECT_EQ(Notes(), "Flushing " + U8(V1) + " (C:\\,D:\\Data\\Mount\\)\r\n" +
                         "Flushing " + U8(V2) + " (E:\\)\r\n");
  EXPECT_EQ(Errors(), "");
}

TEST_F(FlushTest, WithoutVerboseAFlushShowsNothing) {
  EXPECT_EQ(Flush(u"C:"), 0);
  EXPECT_EQ(SimFlushedVolumes(), (Names{V1}));
  EXPECT_EQ(Notes(), "");
  EXPECT_EQ(Errors(), "");
}

TEST_F(FlushTest, AVolumeNameWithPercentSignsIsShownAsItIs) {
  SimVolume odd = SimMakeVolume(1, {u"C:\\%s%d\\"});
  odd.name = u"\\\\?\\Volume{%s%n}\\";
  SimSetVolumes({odd});
  EXPECT_EQ(Flush(u"", true), 0);
  EXPECT_EQ(Notes(), "Flushing \\\\?\\Volume{%s%n}\\ (C:\\%s%d\\)\r\n");
}

TEST_F(FlushTest, TheVerboseLineShowsEveryMountPathInFull) {
  std::u16string first = u"P:\\" + std::u16string(80, u'x') + u"\\";
  std::u16string second = u"Q:\\" + std::u16string(60, u'y') + u"\\";
  SimSetVolumes({SimMakeVolume(1, {first, second})});
  EXPECT_EQ(Flush(u"", true), 0);
  EXPECT_EQ(Notes(), "Flushing " + U8(V1) + " (" + U8(first) + "," + U8(second) + ")\r\n");
  EXPECT_EQ(SimFlushedVolumes(), (Names{V1}));
}

// ---- Volumes that cannot be opened or flushed ------------------------------------------------

struct OpenFailureCase {
  DWORD openError;
  DWORD flushError;
  std::string shown;  // with NAME standing for the failing volume's name
};

void PrintTo(const OpenFailureCase& c, std::ostream* out) {
  *out << "open error " << c.openError << ", flush error " << c.flushError;
}

class OpenFailureTest : public FlushTest, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailureTest, ShowsTheFailureAndGoesOn) {
  const OpenFailureCase& c = GetParam();
  SimVolume failing = SimMakeVolume(2, {u"D:\\"});
  failing.openError = c.openError;
  failing.flushError = c.flushError;
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}), failing, SimMakeVolume(3, {u"E:\\"})});
  EXPECT_EQ(Flush(u"?: D:", true), 0);
  std::string expected = c.shown;
  for (size_t at; (at = expected.find("NAME")) != std::string::npos;) expected.replace(at, 4, U8(V2));
  EXPECT_EQ(Errors(), expected + expected);
  EXPECT_EQ(SimFlushedVolumes(), (Names{V1, V3}));
  // The progress line of the failing volume comes before its failure, in both passes.
  EXPECT_EQ(Notes(), "Flushing " + U8(V1) + " (C:\\)\r\nFlushing " + U8(V2) + " (D:\\)\r\n" +
                         "Flushing " + U8(V3) + " (E:\\)\r\nFlushing " + U8(V2) + " (D:\\)\r\n");
  EXPECT_EQ(SimOpenHandleCount(), 0) << SimDescribeOpenHandles();
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenFailureTest,
    ::testing::Values(
        OpenFailureCase{ERROR_ACCESS_DENIED, 0, "Cannot open NAME (5 - Access is denied)\r\n"},
        OpenFailureCase{ERROR_NOT_READY, 0, "Cannot open NAME (21 - The device is not ready)\r\n"},
        // Gone since the enumeration: said so, as after a "Flushing" line silence would read
        // as success.
        OpenFailureCase{ERROR_FILE_NOT_FOUND, 0,
                        "Cannot open NAME (2 - The file could not be found)\r\n"},
        OpenFailureCase{0, ERROR_IO_DEVICE,
                        "Cannot flush NAME (1117 - A device input/output error stopped the request)\r\n"},
        OpenFailureCase{0, ERROR_ACCESS_DENIED, "Cannot flush NAME (5 - Access is denied)\r\n"},
        OpenFailureCase{0, ERROR_INVALID_FUNCTION, ""}));

// A run that tried volumes and wrote out none of them failed, over all its templates
// together: 7. One volume written out, or none tried, keeps 0.
TEST_F(FlushTest, ARunThatTriedVolumesAndFlushedNoneEndsWith7) {
  struct {
    const char16_t* templates;
    DWORD openError, flushError;  // of C:
    int result;
  } cases[] = {
      {u"C:", ERROR_ACCESS_DENIED, 0, 7},
      {u"C: C: X:", 0, ERROR_IO_DEVICE, 7},
      {u"C: D:", ERROR_ACCESS_DENIED, 0, 0},
      {u"C:", 0, ERROR_INVALID_FUNCTION, 0},  // nothing to write out
      {u"C:", ERROR_FILE_NOT_FOUND, 0, 0},    // gone since the enumeration
      {u"X:", ERROR_ACCESS_DENIED, 0, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(U8(c.templates) + " " + std::to_string(c.openError) + "/" + std::to_string(c.flushError));
    EmptyTemplateList(&list_);
    SimReset();
    SimVolume drive = SimMakeVolume(1, {u"C:\\"});
    drive.openError = c.openError;
    drive.flushError = c.flushError;
    SimSetVolumes({drive, SimMakeVolume(2, {u"D:\\"})});
    EXPECT_EQ(Flush(c.templates), c.result);
    EXPECT_EQ(SimOpenHandleCount(), 0) << SimDescribeOpenHandles();
  }
}

// ---- Failing enumeration -----------------------------------------------------------------------

TEST_F(FlushTest, EnumerationFailingInTheSecondOfThreePassesEndsWith3) {
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}), SimMakeVolume(2, {u"D:\\"})});
  SimFailCall("FindFirstVolumeW", 2, ERROR_NOT_READY);
  EXPECT_EQ(Flush(u"C: D: X:"), 3);
  EXPECT_EQ(SimFlushedVolumes(), (Names{V1}));
  EXPECT_EQ(Errors(), "Cannot enumerate volumes (21 - The device is not ready)\r\n");
  EXPECT_EQ(SimCallCount("FindFirstVolumeW"), 2u);  // X: was never looked at
  EXPECT_EQ(SimOpenHandleCount(), 0) << SimDescribeOpenHandles();
}

TEST_F(FlushTest, AMachineWithoutVolumesCannotBeEnumerated) {
  SimSetVolumes({});
  EXPECT_EQ(Flush(u""), 3);
  EXPECT_EQ(Errors(), "Cannot enumerate volumes (18 - No more files were found)\r\n");
}

TEST_F(FlushTest, NextVolumeFailingEndsThePassWith3AndClosesTheSearch) {
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}), SimMakeVolume(2, {u"D:\\"}), SimMakeVolume(3, {u"E:\\"})});
  SimFailCall("FindNextVolumeW", 2, ERROR_IO_DEVICE);
  EXPECT_EQ(Flush(u"?: Y:"), 3);
  EXPECT_EQ(SimFlushedVolumes(), (Names{V1, V2}));
  EXPECT_EQ(Errors(), "Cannot find next volume (1117 - A device input/output error stopped the request)\r\n");
  EXPECT_EQ(SimCallCount("FindFirstVolumeW"), 1u);
  EXPECT_EQ(SimCallCount("FindVolumeClose"), 1u);
  EXPECT_EQ(SimOpenHandleCount(), 0) << SimDescribeOpenHandles();
}

TEST_F(FlushTest, NextVolumeFailingBeforeTheMatchShowsNoNotFound) {
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}), SimMakeVolume(2, {u"D:\\"})});
  SimFailCall("FindNextVolumeW", 1, ERROR_IO_DEVICE);
  EXPECT_EQ(Flush(u"D:"), 3);
  EXPECT_TRUE(SimFlushedVolumes().empty());
  EXPECT_EQ(Errors(), "Cannot find next volume (1117 - A device input/output error stopped the request)\r\n");
}

// ---- Every platform call failed once ------------------------------------------------------------

// The scenario of the sweep: three passes over a machine with volumes of several kinds,
// verbose, so that every call of the flush code is made several times.
struct SweepRun {
  int result;
  Names flushed;
  std::string errors;
  std::string notes;
  int openHandles;
  std::string handleList;
  int heapBlocks;
};

class FaultSweep : public FlushTest {
 protected:
  SweepRun Run(const char* function, unsigned nth, DWORD error) {
    SimReset();
    SimSetVolumes({SimMakeVolume(1, {u"C:\\"}),
                   SimMakeVolume(2, {u"E:\\", u"D:\\Data\\Mount\\"}, DRIVE_REMOVABLE),
                   SimMakeVolume(3, {u"F:\\"}, DRIVE_CDROM),
                   SimMakeVolume(4, {u"\\\\server\\share\\"}, DRIVE_REMOTE)});
    EmptyTemplateList(&list_);
    EXPECT_EQ(Parse(u"?: D:\\Data\\* \\\\server\\share"), 0);
    if (function) SimFailCall(function, nth, error);
    SweepRun run;
    run.result = FlushSelectedVolumes(&list_, true);
    run.flushed = SimFlushedVolumes();
    run.errors = Errors();
    run.notes = Notes();
    run.openHandles = SimOpenHandleCount();
    run.handleList = SimDescribeOpenHandles();
    EmptyTemplateList(&list_);
    run.heapBlocks = SimLiveHeapBlocks();
    return run;
  }
};

const char* const SweptFunctions[] = {
    "FindFirstVolumeW", "FindNextVolumeW",  "FindVolumeClose", "GetVolumePathNamesForVolumeNameW",
    "GetDriveTypeW",    "CreateFileW",      "FlushFileBuffers", "CloseHandle"};

const std::string IoError = "1117 - A device input/output error stopped the request";

TEST_F(FaultSweep, EveryCallFailedOnceIsReportedAndLeaksNothing) {
  SweepRun clean = Run(nullptr, 0, 0);
  ASSERT_EQ(clean.result, 0);
  ASSERT_EQ(clean.flushed, (Names{V1, V2, V2, V4}));
  ASSERT_EQ(clean.errors, "");
  // A failing call is not recorded among the opens; the clean run tells which volume the
  // nth open or flush concerns.
  std::vector<SimVolumeOpen> opens = SimVolumeOpens();
  ASSERT_EQ(opens.size(), clean.flushed.size());
  std::map<std::string, unsigned> counts;
  for (const char* function : SweptFunctions) {
    Run(nullptr, 0, 0);
    counts[function] = SimCallCount(function);
    EXPECT_GT(counts[function], 0u) << function << " is never called by the scenario";
  }

  int cases = 0;
  for (const char* function : SweptFunctions) {
    for (unsigned nth = 1; nth <= counts[function]; ++nth) {
      SCOPED_TRACE(std::string(function) + " call " + std::to_string(nth));
      SweepRun run = Run(function, nth, ERROR_IO_DEVICE);
      ++cases;
      EXPECT_EQ(run.heapBlocks, 0);
      std::string name = function;
      if (name == "FindFirstVolumeW") {
        EXPECT_EQ(run.result, 3);
        EXPECT_EQ(run.errors, "Cannot enumerate volumes (" + IoError + ")\r\n");
        EXPECT_EQ(run.flushed, Names(clean.flushed.begin(), clean.flushed.begin() + (nth == 1 ? 0 : nth == 2 ? 2 : 3)));
        EXPECT_EQ(run.openHandles, 0) << run.handleList;
      } else if (name == "FindNextVolumeW") {
        EXPECT_EQ(run.result, 3);
        EXPECT_EQ(run.errors, "Cannot find next volume (" + IoError + ")\r\n");
        EXPECT_EQ(run.openHandles, 0) << run.handleList;
      } else if (name == "CreateFileW") {
        std::string failed = U8(opens[nth - 1].fileName) + "\\";
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.errors, "Cannot open " + failed + " (" + IoError + ")\r\n");
        EXPECT_EQ(run.flushed.size(), clean.flushed.size() - 1);
        EXPECT_EQ(run.openHandles, 0) << run.handleList;
      } else if (name == "FlushFileBuffers") {
        std::string failed = U8(opens[nth - 1].fileName) + "\\";
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.errors, "Cannot flush " + failed + " (" + IoError + ")\r\n");
        EXPECT_EQ(run.flushed.size(), clean.flushed.size() - 1);
        EXPECT_EQ(run.openHandles, 0) << run.handleList;
      } else if (name == "CloseHandle" || name == "FindVolumeClose") {
        // Nothing is shown; the handle whose close failed is the only one left.
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.errors, "");
        EXPECT_EQ(run.flushed, clean.flushed);
        EXPECT_EQ(run.openHandles, 1) << run.handleList;
        EXPECT_EQ(run.handleList.rfind(name == "CloseHandle" ? "volume \\\\?\\" : "volume search", 0), 0u)
            << run.handleList;
      } else {
        // The mount paths or the drive type could not be read: the volume is not eligible
        // in that pass.
        EXPECT_EQ(run.result, 0);
        EXPECT_TRUE(run.errors.empty() || run.errors.find("not found") != std::string::npos)
            << run.errors;
        EXPECT_LE(run.flushed.size(), clean.flushed.size());
        EXPECT_GE(run.flushed.size() + 1, clean.flushed.size());
        EXPECT_EQ(run.openHandles, 0) << run.handleList;
      }
    }
  }
  EXPECT_GT(cases, 30);
}

TEST_F(FlushTest, TheVerboseLineComesBeforeTheOpenThatFails) {
  SimFailCall("CreateFileW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Flush(u"C:", true), 7);
  std::vector<std::string> order;
  for (const std::string& call : SimCallLog()) {
    if (call == "WriteConsoleW" || call == "CreateFileW") order.push_back(call);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"WriteConsoleW", "CreateFileW", "WriteConsoleW"}));
  EXPECT_EQ(Notes(), "Flushing " + U8(V1) + " (C:\\)\r\n");
  EXPECT_EQ(Errors(), "Cannot open " + U8(V1) + " (5 - Access is denied)\r\n");
}

}  // namespace
