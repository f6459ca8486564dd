#include "unit/child_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "sim/sim_profile.h"
#include "sim/sim_service.h"
#include "startup/program.h"

namespace {

int reportFd = -1;
const ChildScenario* current = nullptr;

void PutString(std::string& out, const std::string& s) {
  uint32_t n = static_cast<uint32_t>(s.size());
  out.append(reinterpret_cast<const char*>(&n), 4);
  out += s;
}

void PutWide(std::string& out, const std::u16string& s) {
  PutString(out, std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2));
}

void PutInt(std::string& out, int value) { PutString(out, std::to_string(value)); }

struct Reader {
  const std::string& data;
  size_t at = 0;
  bool ok = true;
  std::string Get() {
    if (at + 4 > data.size()) {
      ok = false;
      return std::string();
    }
    uint32_t n;
    memcpy(&n, data.data() + at, 4);
    at += 4;
    if (at + n > data.size()) {
      ok = false;
      return std::string();
    }
    std::string s = data.substr(at, n);
    at += n;
    return s;
  }
  std::u16string Wide() {
    std::string s = Get();
    return std::u16string(reinterpret_cast<const char16_t*>(s.data()), s.size() / 2);
  }
  int Int() {
    std::string s = Get();
    return s.empty() ? -1 : std::stoi(s);
  }
  void* Address() {
    std::string s = Get();
    return s.empty() ? nullptr : reinterpret_cast<void*>(static_cast<uintptr_t>(std::stoull(s)));
  }
};

// Sends what the machine saw to the parent and ends the child.
[[noreturn]] void Report(int exitCode, bool throughExitProcess) {
  std::string out;
  PutInt(out, exitCode);
  PutInt(out, throughExitProcess ? 1 : 0);
  PutWide(out, SimConsoleText(STD_OUTPUT_HANDLE));
  PutWide(out, SimConsoleText(STD_ERROR_HANDLE));
  PutString(out, SimRedirectedBytes(STD_OUTPUT_HANDLE));
  PutString(out, SimRedirectedBytes(STD_ERROR_HANDLE));
  std::vector<SimMessageBox> boxes = SimMessageBoxes();
  PutInt(out, static_cast<int>(boxes.size()));
  for (auto& box : boxes) {
    PutWide(out, box.text);
    PutWide(out, box.caption);
    PutInt(out, static_cast<int>(box.type));
  }
  std::vector<SimEventRecord> events = SimEventLog();
  PutInt(out, static_cast<int>(events.size()));
  for (auto& event : events) {
    PutWide(out, event.source);
    PutInt(out, event.type);
    PutInt(out, static_cast<int>(event.id));
    PutInt(out, static_cast<int>(event.strings.size()));
    for (auto& text : event.strings) PutWide(out, text);
    PutString(out, std::to_string(event.tick));
    PutString(out, event.thread);
  }
  PutInt(out, SimOpenHandleCount());
  PutString(out, SimDescribeOpenHandles());
  PutInt(out, SimLiveHeapBlocks());
  PutInt(out, SimLiveSids());
  PutInt(out, SimBreakpointCount());
  std::vector<std::string> log = SimCallLog();
  PutInt(out, static_cast<int>(log.size()));
  for (auto& name : log) PutString(out, name);
  std::vector<SimFaultHit> hits = SimFaultHits();
  PutInt(out, static_cast<int>(hits.size()));
  for (auto& hit : hits) {
    PutString(out, hit.function);
    PutInt(out, hit.nthCall ? 1 : 0);
    PutString(out, std::to_string(reinterpret_cast<uintptr_t>(hit.caller)));
    PutInt(out, static_cast<int>(hit.stack.size()));
    for (void* frame : hit.stack) PutString(out, std::to_string(reinterpret_cast<uintptr_t>(frame)));
  }
  std::map<std::string, std::string> extra;
  if (current && current->collect) current->collect(extra);
  PutInt(out, static_cast<int>(extra.size()));
  for (auto& entry : extra) {
    PutString(out, entry.first);
    PutString(out, entry.second);
  }
  size_t written = 0;
  while (written < out.size()) {
    ssize_t n = write(reportFd, out.data() + written, out.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(reportFd);
  _exit(0);
}

void ExitHook(UINT code) { Report(static_cast<int>(code), true); }

const char SessionZeroMark[] = "session 0 box:";

// A box that nobody can dismiss would hold its thread for ever: the run ends at once and
// says so.
[[noreturn]] void SessionZeroBox(const std::u16string& text) {
  std::string out = SessionZeroMark + SimUtf8(text);
  if (write(reportFd, out.data(), out.size()) < 0) out.clear();
  close(reportFd);
  _exit(0);
}

}  // namespace

std::string ChildRun::Err() const { return SimUtf8(errConsole) + errBytes; }
std::string ChildRun::Out() const { return SimUtf8(outConsole) + outBytes; }

std::string ChildRun::EventTexts() const {
  std::string text;
  for (size_t i = 0; i < events.size(); ++i) {
    if (i) text += "\n--\n";
    text += std::to_string(events[i].type) + "/" + std::to_string(events[i].id) + ":";
    for (size_t k = 0; k < events[i].strings.size(); ++k) {
      text += (k ? " | " : " ") + SimUtf8(events[i].strings[k]);
    }
  }
  return text;
}

std::string ChildRun::ErrorEventTexts() const {
  std::string text;
  for (const SimEventRecord& event : events) {
    if (event.type != EVENTLOG_ERROR_TYPE || event.strings.empty()) continue;
    if (!text.empty()) text += "\n--\n";
    text += SimUtf8(event.strings[0]);
  }
  return text;
}

std::string ChildRun::ErrorsShown() const {
  std::string text;
  for (const SimEventRecord& event : events) {
    if (event.type == EVENTLOG_ERROR_TYPE && !event.strings.empty()) text += "event: " + SimUtf8(event.strings[0]) + "\n";
  }
  for (const SimMessageBox& box : boxes) text += "box: " + SimUtf8(box.text) + "\n";
  return text;
}

std::string ChildRun::BoxTexts() const {
  std::string text;
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (i) text += "\n--\n";
    text += SimUtf8(boxes[i].text);
  }
  return text;
}

ChildRun RunInChild(const ChildScenario& scenario) {
  ChildRun run;
  int fds[2];
  if (pipe(fds) != 0) {
    run.failure = "pipe failed";
    return run;
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    run.failure = "fork failed";
    return run;
  }
  if (pid == 0) {
    close(fds[0]);
    reportFd = fds[1];
    current = &scenario;
    SimReset();
    SimSetExitHook(ExitHook);
    SimSetSessionZeroBoxHook(SessionZeroBox);
    if (scenario.setup) scenario.setup();
    int code = scenario.body ? scenario.body() : 0;
    Report(code, false);
  }
  close(fds[1]);
  std::string data;
  char buffer[65536];
  time_t deadline = time(nullptr) + scenario.timeoutSeconds;
  for (;;) {
    struct pollfd p = {fds[0], POLLIN, 0};
    int left = static_cast<int>(deadline - time(nullptr));
    if (left <= 0 || poll(&p, 1, left * 1000) <= 0) {
      kill(pid, SIGKILL);
      run.failure = "the child did not finish in time";
      break;
    }
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (data.empty()) {
    if (run.failure.empty()) {
      run.failure = WIFSIGNALED(status) ? "the child died of signal " + std::to_string(WTERMSIG(status))
                                        : "the child exited with " + std::to_string(WEXITSTATUS(status)) +
                                              " without a report";
    }
    return run;
  }
  if (data.rfind(SessionZeroMark, 0) == 0) {
    run.failure = "MessageBoxW in session 0 would never return: " + data.substr(sizeof SessionZeroMark - 1);
    return run;
  }
  Reader r{data};
  run.exitCode = r.Int();
  run.exitedThroughExitProcess = r.Int() == 1;
  run.outConsole = r.Wide();
  run.errConsole = r.Wide();
  run.outBytes = r.Get();
  run.errBytes = r.Get();
  int boxes = r.Int();
  for (int i = 0; i < boxes && r.ok; ++i) {
    SimMessageBox box;
    box.text = r.Wide();
    box.caption = r.Wide();
    box.type = static_cast<UINT>(r.Int());
    run.boxes.push_back(box);
  }
  int events = r.Int();
  for (int i = 0; i < events && r.ok; ++i) {
    SimEventRecord event;
    event.source = r.Wide();
    event.type = static_cast<WORD>(r.Int());
    event.id = static_cast<DWORD>(r.Int());
    int strings = r.Int();
    for (int k = 0; k < strings && r.ok; ++k) event.strings.push_back(r.Wide());
    event.tick = static_cast<DWORD>(std::stoul("0" + r.Get()));
    event.thread = r.Get();
    run.events.push_back(event);
  }
  run.openHandles = r.Int();
  run.openHandleList = r.Get();
  run.liveHeapBlocks = r.Int();
  run.liveSids = r.Int();
  run.breakpoints = r.Int();
  int calls = r.Int();
  for (int i = 0; i < calls && r.ok; ++i) run.callLog.push_back(r.Get());
  int hits = r.Int();
  for (int i = 0; i < hits && r.ok; ++i) {
    SimFaultHit hit;
    hit.function = r.Get();
    hit.nthCall = r.Int() == 1;
    hit.caller = r.Address();
    int frames = r.Int();
    for (int f = 0; f < frames && r.ok; ++f) hit.stack.push_back(r.Address());
    run.faultHits.push_back(hit);
  }
  int extras = r.Int();
  for (int i = 0; i < extras && r.ok; ++i) {
    std::string key = r.Get();
    run.extra[key] = r.Get();
  }
  run.finished = r.ok;
  if (!r.ok) run.failure = "the child's report was cut short";
  return run;
}

ChildRun RunProgram(const std::u16string& arguments, std::function<void()> setup,
                    std::function<void(std::map<std::string, std::string>&)> collect,
                    int timeoutSeconds) {
  ChildScenario scenario;
  scenario.setup = [arguments, setup]() {
    SimSetCommandLine(arguments.empty() ? u"sorvanel.exe" : u"sorvanel.exe " + arguments);
    if (setup) setup();
  };
  scenario.body = []() {
    ProgramEntry();
    return -1;  // not reached: ProgramEntry ends the process
  };
  scenario.collect = collect;
  scenario.timeoutSeconds = timeoutSeconds;
  return RunInChild(scenario);
}

const char16_t ServiceSettingsPath[] = u"C:\\Program Files\\Sorvanel\\sorvanel.ini";

std::string SettingsText(const std::string& lines) { return "[Main]\r\nSignature=Sorvanel\r\n" + lines; }

ChildRun RunServiceProgram(const std::string& settings, std::function<void()> setup,
                           std::function<void(std::map<std::string, std::string>&)> collect,
                           int timeoutSeconds) {
  return RunProgram(
      u"",
      [settings, setup] {
        SimSetInteractive(false);
        SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::None);
        SimSetStdHandle(STD_ERROR_HANDLE, SimStream::None);
        SimArrangeServiceStart(u"Tamberlocke_Sorvanel");
        if (!settings.empty()) SimSetFile(ServiceSettingsPath, settings);
        if (setup) setup();
      },
      collect, timeoutSeconds);
}

namespace {

std::map<unsigned, std::vector<std::function<void()>>> cycleActions;
unsigned cyclesBegun = 0;

DWORD CountCycles(const char* function, bool) {
  if (std::strcmp(function, "Sleep") != 0 && std::strcmp(function, "WaitForSingleObject") != 0) return 0;
  auto found = cycleActions.find(++cyclesBegun);
  if (found != cycleActions.end()) {
    for (auto& action : found->second) action();
  }
  return 0;
}

}  // namespace

void AtServiceCycle(unsigned n, std::function<void()> action) {
  cycleActions[n].push_back(action);
  SimSetCallHook(CountCycles);
}

unsigned ServiceCyclesBegun() { return cyclesBegun; }
