// Named events of the simulated machine, as another process on the machine sees them.
#pragma once

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
// with a null DACL (everyone may do everything) or with the given entries.
void SimCreateForeignEvent(const std::u16string& name, bool nullDacl, const std::vector<SimAce>& dacl);
// Signals the event as a client with the caller's groups would: false when it does not
// exist or the DACL refuses EVENT_MODIFY_STATE.
bool SimSignalEvent(const std::u16string& name);

// Whether the callers of OpenEventW (and SimSignalEvent) are administrators: they then hold
// BUILTIN\Administrators besides Everyone, Users and INTERACTIVE. Off after a reset.
void SimSetCallerIsAdministrator(bool administrator);
