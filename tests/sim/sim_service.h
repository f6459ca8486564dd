// The service control manager of the simulated machine: the registered services, how an
// installed service behaves when it is started and stopped, and the dispatcher that runs a
// service in this process.
#pragma once

#include <string>
#include <vector>

#include "sim/sim.h"

struct SimServiceRecord {
  bool exists = false;
  bool markedForDelete = false;
  std::u16string name, displayName, binaryPath, loadOrderGroup, account;
  // The list of names as a Windows Installer table writes it: each name followed by [~],
  // and one more [~] at the end ("" for none).
  std::u16string dependencies;
  DWORD access = 0, type = 0, startType = 0, errorControl = 0;
  bool tagAsked = false;
  bool passwordGiven = false;
  DWORD state = 0;  // SERVICE_STOPPED ...
  int openHandles = 0;
  // ChangeServiceConfig2W: the description and the recovery actions, as (type, delay) pairs.
  std::u16string description;
  bool failureActionsSet = false;
  DWORD failureResetPeriod = 0;
  std::vector<std::pair<DWORD, DWORD>> failureActions;
};

// How an installed service answers: its start fails with `startError` (0: the manager
// answers that it starts, and the service is START_PENDING); after a stop request it reports
// STOP_PENDING for `queriesUntilStopped` status queries and then STOPPED, or never stops. A
// service that is START_PENDING reports RUNNING from its `queriesUntilRunning`th status query
// on; a stop request fails meanwhile with `startingStopError` (1061, or 1052 as Windows answers
// before the service's first status report), and while it is STOP_PENDING with 1061.
struct SimServiceScript {
  DWORD startError = 0;
  int queriesUntilStopped = 2;
  bool neverStops = false;
  int queriesUntilRunning = 1;
  DWORD startingStopError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
};

// The caller is a user without administrator rights: opening the manager for more than
// connecting, enumerating and querying the lock status fails with ERROR_ACCESS_DENIED.
void SimSetServiceManagerDenied(bool denied);
// The behaviour of the service of that name, whether installed yet or not.
void SimScriptService(const std::u16string& name, const SimServiceScript& script);
// A registered service, as another installer would have made it.
void SimAddService(const std::u16string& name, const std::u16string& binaryPath, DWORD state);
SimServiceRecord SimService(const std::u16string& name);

// ---- The service process side -------------------------------------------------------------

// Makes this process one that the manager started as the service `name`: the dispatcher
// then runs the table's service procedure on a thread of role "service" and delivers the
// controls on the calling thread. Without it the dispatcher fails with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, as for a program that a user started.
void SimArrangeServiceStart(const std::u16string& name);
// Whether this process is one that the manager started (SimArrangeServiceStart): from
// Windows 6.0 on it runs in session 0, whose desktop nobody sees.
bool SimIsServiceProcess();

// Sends a control to the running service's handler and returns once the handler has run on
// the dispatcher's thread; called from the service thread (within a SimOnCall action, say)
// it blocks that thread meanwhile, so the control lands at a chosen point. False when no
// handler is registered or the dispatcher is not running.
bool SimSendControl(DWORD control);

struct SimStatusReport {
  SERVICE_STATUS status;
  std::string thread;  // role of the reporting thread
  DWORD tick = 0;      // the tick count when it was reported
};
std::vector<SimStatusReport> SimStatusReports();

struct SimHandlerRegistration {
  std::u16string name;
  std::string thread;
};
std::vector<SimHandlerRegistration> SimHandlerRegistrations();
// The service name of the dispatch table given to StartServiceCtrlDispatcherW.
std::u16string SimDispatchTableName();

// The access asked for by every OpenSCManagerW, OpenServiceW and CreateServiceW, in order.
// The manager and every service handle hold what was asked (generic rights mapped, the
// manager's SC_MANAGER_CONNECT always), and each operation needs its right: creating a
// service SC_MANAGER_CREATE_SERVICE; starting, stopping, interrogating, querying and
// deleting SERVICE_START, SERVICE_STOP, SERVICE_INTERROGATE, SERVICE_QUERY_STATUS and
// DELETE. A handle without it fails with ERROR_ACCESS_DENIED.
struct SimServiceAccessRequest {
  std::string function;
  std::u16string name;  // the service's; empty for the manager
  DWORD access;
};
std::vector<SimServiceAccessRequest> SimServiceAccessRequests();
