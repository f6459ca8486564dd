// Named events of the simulated machine, as another process on the machine sees them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/sim_security.h"

struct SimEventInfo {
  bool exists = false;
  bool manualReset = false;
  bool signalled = false;
  bool securityGiven = false;  // CreateEventW got a security descriptor
  bool daclPresent = false;    // ... whose DACL was set present
  bool nullDacl = false;       // ... and null: everyone may do everything
  std::vector<SimAce> dacl;    // the entries of a present, non-null DACL
};

// Names are compared with case, "Global\" included, as the kernel compares them.
SimEventInfo SimEvent(const std::u16string& name);
// An event that another process created and keeps open, as a user who got there first would:
// with a null DACL (everyone may do everything) or with the given entries, and that user as
// its owner (or another owner: an administrator's event is owned by Administrators).
void SimCreateForeignEvent(const std::u16string& name, bool nullDacl, const std::vector<SimAce>& dacl,
                           const std::string& owner = SimMachineDomain + "-1001");
// The other process closes its handle: an event that nobody else holds is gone.
void SimCloseForeignEvent(const std::u16string& name);
// Signals the event, or resets it, as a client with the caller's groups would: false when it
// does not exist or the DACL refuses EVENT_MODIFY_STATE. A signal of an auto-reset event that
// a thread waits on releases that thread and leaves the event unsignalled, as Windows does.
bool SimSignalEvent(const std::u16string& name);
bool SimResetEvent(const std::u16string& name);
// Runs `action` while the next wait on an unsignalled event with a time-out is under way,
// with the waiting thread blocked on it: what another process does meanwhile.
void SimWhileWaiting(std::function<void()> action);

// Whether the callers of OpenEventW (and SimSignalEvent) are administrators: they then hold
// BUILTIN\Administrators besides Everyone, Users and INTERACTIVE. Off after a reset.
void SimSetCallerIsAdministrator(bool administrator);
