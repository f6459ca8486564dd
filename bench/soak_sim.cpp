// The service for days on end in the simulated Windows, on its virtual clock:
//
//   soak_sim --days D --seed S
//
// Windows 10.0, three volumes, Interval 30. Flush requests come at random, about one a
// minute, from the -f client and as control 128; each volume's flush takes a few
// milliseconds, now and then seconds; every failable call of a pass and of the event log
// fails at random, one in a hundred; the service is stopped and started again a few times.
// Each life of the service is a process of its own (a forked child, as the unit tests run
// the program). Every simulated hour, and at each stop, it checks that every request was
// served by a pass that began within one cycle after it (after the running pass, for a
// request that came during one), that the handles and heap blocks held are those of the
// running service, that no error text was logged twice within an hour, and that each stop
// reached STOPPED within a cycle plus the pass that ran meanwhile. One line per day, then a
// summary; exit 0 only when every check held.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "service/service_runtime.h"
#include "sim/sim_service.h"
#include "sim/sim_time.h"
#include "sim/sim_volumes.h"
#include "startup/program.h"
#include "unit/child_run.h"

namespace {

const uint64_t Cycle = 200;
const uint64_t Hour = 3600000;
const uint64_t Day = 24 * Hour;
const double RequestMeanGap = 60000;
const unsigned FailOneIn = 100;

// What the soak counts, over all lives. A child starts with the parent's copy and sends its
// own back at its end, so it holds no pointers.
struct Counts {
  uint64_t passes, requests, notifies, controls, injected, events, stops;
};

struct Totals {
  Counts all, atDayStart;
  uint64_t clock;  // virtual milliseconds since the soak began
  uint64_t longestWait, longestWaitBehindPass, longestStop;
  int peakHandles, peakHeapBlocks;
  unsigned daysPrinted;
  unsigned failures;  // checks that did not hold
};

Totals totals = {};
std::mt19937_64 generator;

uint64_t Below(uint64_t n) { return generator() % n; }

// A moment of the soak as "day 3 07:15:02.400".
std::string When(uint64_t ms) {
  char text[40];
  std::snprintf(text, sizeof text, "day %u %02u:%02u:%02u.%03u", static_cast<unsigned>(ms / Day + 1),
                static_cast<unsigned>(ms % Day / Hour), static_cast<unsigned>(ms % Hour / 60000),
                static_cast<unsigned>(ms % 60000 / 1000), static_cast<unsigned>(ms % 1000));
  return text;
}

void Fail(const char* format, ...) {
  if (++totals.failures > 20) return;
  std::printf("FAILED at %s: ", When(totals.clock).c_str());
  va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
  std::printf("\n");
  std::fflush(stdout);
}

void PrintDays() {
  while (totals.clock >= (totals.daysPrinted + 1) * Day) {
    const Counts& a = totals.all;
    const Counts& d = totals.atDayStart;
    std::printf("day %u: %" PRIu64 " passes, %" PRIu64 " requests, %" PRIu64
                " injected failures, %" PRIu64 " events, %" PRIu64 " stops\n",
                ++totals.daysPrinted, a.passes - d.passes, a.requests - d.requests,
                a.injected - d.injected, a.events - d.events, a.stops - d.stops);
    totals.atDayStart = totals.all;
  }
  std::fflush(stdout);
}

// ---- One life of the service, in its child ------------------------------------------------

struct Request {
  uint64_t at;
  uint64_t deadline;  // 0 while the pass it came in runs: then that pass's end + a cycle
  bool duringPass;
};

// The parent sets the plan; the rest is the child's.
struct Life {
  uint64_t stopAt;     // when the stop is asked for
  bool stopInFlush;    // ... at the start of the first flush after that, made a long one
  DWORD startTick;
  uint64_t nextRequest;
  DWORD lastTick;
  bool busy;           // the soak itself is calling in (a request, a stop)
  bool inPass, stopSent;
  uint64_t stopTime, passTimeAfterStop, nextCheck;
  std::vector<Request> pending;
  int clientHandles;   // the -f client's, left open until its process would end
  int keptByFailure;   // handles whose close was made to fail
  int baselineHandles, baselineHeapBlocks;
  size_t checkedEvents;
  std::map<std::u16string, DWORD> lastLogged;  // error text -> tick
};

Life life;

// The calls that fail at random. One error code (6 for the calls that close, whose handle the
// simulation then keeps): the texts a pass can log, each with and without the system's
// wording, are then 16 at most, as many as the repeat table holds, so that every text keeps
// its slot and none is logged twice within an hour by design.
const char* const PassCalls[] = {"FindFirstVolumeW", "FindNextVolumeW", "FindVolumeClose",
                                 "GetVolumePathNamesForVolumeNameW", "GetDriveTypeW",
                                 "CreateFileW", "FlushFileBuffers", "CloseHandle",
                                 "FormatMessageW", "GetModuleHandleW"};
const char* const EventLogCalls[] = {"RegisterEventSourceW", "ReportEventW",
                                     "DeregisterEventSource"};

bool Among(const char* function, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (std::strcmp(function, names[i]) == 0) return true;
  }
  return false;
}

bool IsRelease(const char* function) {
  return !std::strcmp(function, "CloseHandle") || !std::strcmp(function, "FindVolumeClose") ||
         !std::strcmp(function, "DeregisterEventSource");
}

int HandlesHeld() { return SimOpenHandleCount() - life.clientHandles - life.keptByFailure; }

// Moves the clock to `at`, within the cycle that has begun.
void AdvanceTo(uint64_t at) {
  if (at <= totals.clock) return;
  DWORD step = static_cast<DWORD>(at - totals.clock);
  SimSetTickCount(SimTickCount() + step);
  life.lastTick += step;
  totals.clock = at;
}

// A request at `at`: -f or control 128, half and half. True for -f, whose signal releases the
// flush loop's wait at once: the clock moves on to the request, and the cycle ends there.
bool SendRequest(uint64_t at) {
  bool notify = Below(2);
  if (notify && !life.inPass) AdvanceTo(at);
  life.pending.push_back({at, life.inPass ? 0 : at + Cycle, life.inPass});
  ++totals.all.requests;
  if (notify) {
    ++totals.all.notifies;
    int result = NotifyService(false);
    if (result == 0) {
      ++life.clientHandles;
    } else {
      Fail("-f gave %d", result);
    }
  } else {
    ++totals.all.controls;
    if (!SimSendControl(FLUSH_REQUEST_CONTROL)) Fail("control 128 was not delivered");
  }
  return notify;
}

void SendStop(uint64_t at) {
  life.stopSent = true;
  life.stopTime = at;
  ++totals.all.stops;
  if (!SimSendControl(SERVICE_CONTROL_STOP)) Fail("the stop was not delivered");
}

// What falls within [from, from + span): the requests, and the stop unless it waits for a flush.
// At the start of a cycle's wait, a -f ends the wait and leaves the rest to the next cycle.
void Deliver(uint64_t from, uint64_t span) {
  while (!life.stopSent && life.nextRequest < from + span && life.nextRequest < life.stopAt) {
    bool released = SendRequest(life.nextRequest > from ? life.nextRequest : from);
    life.nextRequest += static_cast<uint64_t>(std::exponential_distribution<double>(1 / RequestMeanGap)(generator)) + 1;
    if (released && !life.inPass) return;
  }
  if (!life.stopSent && !life.stopInFlush && life.stopAt < from + span) {
    SendStop(life.stopAt > from ? life.stopAt : from);
  }
}

void Check() {
  for (size_t i = 0; i < life.pending.size();) {
    const Request& r = life.pending[i];
    if (r.deadline != 0 && r.deadline < totals.clock) {
      Fail("the request of %s was not served", When(r.at).c_str());
      life.pending.erase(life.pending.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
  if (HandlesHeld() != life.baselineHandles) {
    Fail("%d handles held, the running service holds %d: %s", HandlesHeld(), life.baselineHandles,
         SimDescribeOpenHandles().substr(0, 300).c_str());
    life.baselineHandles = HandlesHeld();
  }
  if (SimLiveHeapBlocks() != life.baselineHeapBlocks) {
    Fail("%d heap blocks live, the running service holds %d", SimLiveHeapBlocks(), life.baselineHeapBlocks);
    life.baselineHeapBlocks = SimLiveHeapBlocks();
  }
  std::vector<SimEventRecord> log = SimEventLog();
  for (size_t i = life.checkedEvents; i < log.size(); ++i) {
    ++totals.all.events;
    const SimEventRecord& event = log[i];
    if (event.type != EVENTLOG_ERROR_TYPE || event.strings.empty()) continue;
    auto last = life.lastLogged.find(event.strings[0]);
    if (last != life.lastLogged.end() && event.tick - last->second < Hour) {
      Fail("\"%s\" logged again after %u ms", SimUtf8(event.strings[0]).c_str(), event.tick - last->second);
    }
    life.lastLogged[event.strings[0]] = event.tick;
  }
  life.checkedEvents = log.size();
}

void PassBegins() {
  life.inPass = true;
  ++totals.all.passes;
  for (const Request& r : life.pending) {
    uint64_t& longest = r.duringPass ? totals.longestWaitBehindPass : totals.longestWait;
    longest = std::max(longest, totals.clock - r.at);
    if (r.deadline == 0 || totals.clock > r.deadline) {
      Fail("the request of %s was served by the pass of %s", When(r.at).c_str(), When(totals.clock).c_str());
    }
  }
  life.pending.clear();
}

void CycleBegins() {
  if (life.inPass) {
    life.inPass = false;
    for (Request& r : life.pending) {
      if (r.deadline == 0) r.deadline = totals.clock + Cycle;
    }
  }
  if (life.baselineHandles < 0) {
    life.baselineHandles = HandlesHeld();
    life.baselineHeapBlocks = SimLiveHeapBlocks();
  }
  if (totals.clock >= life.nextCheck) {
    Check();
    PrintDays();
    life.nextCheck = (totals.clock / Hour + 1) * Hour;
  }
  Deliver(totals.clock, Cycle);
}

// A volume's flush takes its time: mostly a few milliseconds, one in a hundred seconds, and
// the one that a stop waits for is long.
void FlushTakesTime() {
  uint64_t took = Below(100) ? 2 + Below(60) : 1000 + Below(4000);
  if (!life.stopSent && life.stopInFlush && totals.clock >= life.stopAt) {
    took = 2000 + Below(3000);
    SendStop(totals.clock);
  }
  Deliver(totals.clock, took);
  if (life.stopSent) life.passTimeAfterStop += took;
  SimSetTickCount(SimTickCount() + static_cast<DWORD>(took));
}

DWORD Hook(const char* function, bool canFail) {
  static thread_local int onServiceThread = -1;
  if (onServiceThread < 0) onServiceThread = SimThreadRole() == "service";
  if (!onServiceThread || life.busy) return 0;
  life.busy = true;
  DWORD tick = SimTickCount();
  totals.clock += tick - life.lastTick;
  life.lastTick = tick;
  // A cycle blocks once: in its wait on the flush event, or in a sleep while it has none.
  if (!std::strcmp(function, "WaitForSingleObject") || !std::strcmp(function, "Sleep")) {
    CycleBegins();
  } else if (!std::strcmp(function, "FindFirstVolumeW") && !life.inPass) {
    PassBegins();
  } else if (!std::strcmp(function, "FlushFileBuffers")) {
    FlushTakesTime();
  }
  if (HandlesHeld() > totals.peakHandles) totals.peakHandles = HandlesHeld();
  if (SimLiveHeapBlocks() > totals.peakHeapBlocks) totals.peakHeapBlocks = SimLiveHeapBlocks();
  DWORD error = 0;
  if (canFail && ((life.inPass && Among(function, PassCalls, sizeof PassCalls / sizeof *PassCalls)) ||
                  Among(function, EventLogCalls, sizeof EventLogCalls / sizeof *EventLogCalls)) &&
      Below(FailOneIn) == 0) {
    ++totals.all.injected;
    error = ERROR_NOT_READY;
    if (IsRelease(function)) {
      error = ERROR_INVALID_HANDLE;
      ++life.keptByFailure;
    }
  }
  life.busy = false;
  return error;
}

// At the end of a life, after the service has reported STOPPED and the program has cleaned
// up: the stop's time, the last checks, and only the event's handle left (it stays open
// until the process ends).
void EndOfLife(std::map<std::string, std::string>& extra) {
  DWORD stopped = 0;
  bool reached = false;
  for (const SimStatusReport& r : SimStatusReports()) {
    if (r.status.dwCurrentState == SERVICE_STOPPED) {
      stopped = r.tick;
      reached = true;
    }
  }
  totals.clock += stopped - life.lastTick;
  uint64_t took = totals.clock - life.stopTime;
  if (took > totals.longestStop) totals.longestStop = took;
  if (!reached || !life.stopSent) {
    Fail("the service did not stop");
  } else if (took > Cycle + life.passTimeAfterStop) {
    Fail("STOPPED came %" PRIu64 " ms after the stop, with %" PRIu64 " ms of flushing", took,
         life.passTimeAfterStop);
  }
  life.baselineHandles = 1;
  life.baselineHeapBlocks = 0;
  Check();
  extra["totals"] = std::string(reinterpret_cast<const char*>(&totals), sizeof totals);
}

void Setup() {
  SimSetVersion(10, 0);
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}), SimMakeVolume(2, {u"D:\\"}),
                 SimMakeVolume(3, {u"E:\\"}, DRIVE_REMOVABLE)});
  SimSetTickCount(life.startTick);
  SimSetCallLog(false);
  SimSetCallHook(Hook);
}

}  // namespace

int main(int argc, char** argv) {
  unsigned days = 30;
  uint64_t seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--days")) days = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    if (!std::strcmp(argv[i], "--seed")) seed = std::strtoull(argv[i + 1], nullptr, 10);
  }
  if (argc % 2 == 0 || days == 0) {
    std::fprintf(stderr, "usage: soak_sim --days D --seed S\n");
    return 2;
  }
  const auto wallStart = std::chrono::steady_clock::now();
  generator.seed(seed);
  const uint64_t end = days * Day;
  // A few stops at random moments, the last at the end; the tick count wraps within the run.
  std::vector<uint64_t> stops;
  for (unsigned i = 0; i < 2 + days / 10; ++i) stops.push_back(Below(end));
  std::sort(stops.begin(), stops.end());
  stops.push_back(end);
  const DWORD firstTick = static_cast<DWORD>(0 - Below(end));
  const char* const unit = days == 1 ? "day" : "days";
  std::printf("soak_sim: %u %s, seed %" PRIu64 "\n", days, unit, seed);
  std::fflush(stdout);
  for (size_t i = 0; i < stops.size(); ++i) {
    if (stops[i] < totals.clock) continue;  // the previous life ended after it
    life = Life();
    life.stopAt = stops[i];
    life.stopInFlush = Below(2);
    life.startTick = life.lastTick = static_cast<DWORD>(firstTick + totals.clock);
    life.nextRequest = totals.clock + 1;
    life.nextCheck = totals.clock;
    life.baselineHandles = -1;
    ChildRun run = RunServiceProgram(SettingsText("Interval=30\r\n"), Setup, EndOfLife, 24 * 3600);
    std::string back = run.extra["totals"];
    if (!run.finished || back.size() != sizeof totals) {
      Fail("a life of the service ended early: %s", run.failure.c_str());
      break;
    }
    std::memcpy(&totals, back.data(), sizeof totals);
    if (run.exitCode != 0) Fail("the service process exited with %d", run.exitCode);
    // Stopped for a while before the next start.
    if (i + 1 < stops.size()) totals.clock += 1000 + Below(120000);
    PrintDays();
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  const Counts& a = totals.all;
  std::printf("summary: %u %s, seed %" PRIu64 ": %" PRIu64 " passes, %" PRIu64 " requests (%" PRIu64
              " -f, %" PRIu64 " control 128), longest wait %" PRIu64 " ms (%" PRIu64
              " ms behind a running pass), %" PRIu64
              " injected failures, %" PRIu64 " events written, %" PRIu64
              " stops (longest %" PRIu64 " ms), peak %d handles and %d heap blocks, %u failed checks, wall time %.1f s\n",
              days, unit, seed, a.passes, a.requests, a.notifies, a.controls, totals.longestWait,
              totals.longestWaitBehindPass, a.injected,
              a.events, a.stops, totals.longestStop, totals.peakHandles, totals.peakHeapBlocks,
              totals.failures, wall);
  return totals.failures == 0 ? 0 : 1;
}
