// Virtual time and threads of the simulated machine: a tick count that only Sleep and waits move,
// and the priorities that SetThreadPriority gives each thread.
#pragma once

#include <string>
#include <vector>

#include "sim/sim.h"

// The tick count (milliseconds since start, wrapping at 2^32); 1,000,000 after a reset.
// Sleep(n) adds n, as does a wait of n ms that times out; nothing else moves it.
void SimSetTickCount(DWORD ticks);
DWORD SimTickCount();

// Threads are known by a role name: "main" for every thread the simulation did not start,
// "service" for the thread that the service control dispatcher runs ServiceMain on.
void SimSetThreadRole(const char* role);
std::string SimThreadRole();

struct SimPriorityChange {
  std::string caller;  // the role of the thread that called SetThreadPriority
  std::string target;  // the role of the thread whose priority was set
  int priority;
};
// Every successful SetThreadPriority since the reset, in order.
std::vector<SimPriorityChange> SimPriorityChanges();
// The current priority of a role's thread (0 until set).
int SimThreadPriority(const std::string& role);
