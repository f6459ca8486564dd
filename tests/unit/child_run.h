// Runs a scenario in a forked child, as a fresh process would start, and brings back what
// the simulated machine saw: exit code, output, message boxes and what was left open.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/sim_registry.h"

struct ChildRun {
  bool finished = false;  // the child reported back (it did not crash or hang)
  int exitCode = -1;      // the body's result, or the code given to ExitProcess
  bool exitedThroughExitProcess = false;
  std::u16string outConsole, errConsole;
  std::string outBytes, errBytes;
  std::vector<SimMessageBox> boxes;
  std::vector<SimEventRecord> events;  // the event log
  int openHandles = -1;
  std::string openHandleList;
  int liveHeapBlocks = -1;
  int liveSids = -1;
  int breakpoints = -1;
  std::vector<std::string> callLog;
  std::vector<SimFaultHit> faultHits;  // the calls that armed faults made fail
  std::map<std::string, std::string> extra;  // filled by the scenario's collect step
  std::string failure;                      // why the child did not report, if it did not

  // Everything shown to the user on standard error / output, whichever path it took,
  // as UTF-8 (console text is converted, redirected bytes are taken as they are).
  std::string Err() const;
  std::string Out() const;
  // Texts of the message boxes, each as UTF-8, joined with "\n--\n".
  std::string BoxTexts() const;
  // The event log as "<type>/<id>: <strings joined by |>", joined with "\n--\n".
  std::string EventTexts() const;
  // The first string of each error event, as BoxTexts gives the boxes: what the service
  // would have shown in a box.
  std::string ErrorEventTexts() const;
  // Every error shown without a standard-error handle: "event: <text>" for each error event,
  // then "box: <text>" for each box, one a line.
  std::string ErrorsShown() const;
};

struct ChildScenario {
  std::function<void()> setup;                            // after SimReset, before the body
  std::function<int()> body;                              // returns the exit code
  std::function<void(std::map<std::string, std::string>&)> collect;  // optional, in the child
  int timeoutSeconds = 60;
};

ChildRun RunInChild(const ChildScenario& scenario);

// The common case: sets the command line "sorvanel.exe <arguments>" and runs ProgramEntry,
// which ends through ExitProcess.
ChildRun RunProgram(const std::u16string& arguments, std::function<void()> setup = nullptr,
                    std::function<void(std::map<std::string, std::string>&)> collect = nullptr,
                    int timeoutSeconds = 60);

// The settings file beside the simulated executable, and such a file's text: the signature
// and then the given lines.
extern const char16_t ServiceSettingsPath[];
std::string SettingsText(const std::string& lines);
// The whole program as the service control manager starts it: outside an interactive logon,
// without output handles, the dispatcher running the service; `settings`, unless empty, is its
// settings file. `setup` comes after that.
ChildRun RunServiceProgram(const std::string& settings, std::function<void()> setup,
                           std::function<void(std::map<std::string, std::string>&)> collect,
                           int timeoutSeconds = 60);
// Runs `action` at the start of the flush loop's nth cycle (from 1), on the service thread.
// A cycle blocks once: in its wait on the flush event or, while the service has no event, in
// a sleep. Takes the simulation's call hook.
void AtServiceCycle(unsigned n, std::function<void()> action);
// The cycles begun, in a run that used AtServiceCycle.
unsigned ServiceCyclesBegun();
