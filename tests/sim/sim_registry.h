// The registry and the event log of the simulated machine: the keys and values that the
// program writes under HKEY_LOCAL_MACHINE, and the events it reports.
#pragma once

#include <string>
#include <vector>

#include "sim/sim.h"

struct SimRegistryValue {
  bool exists = false;
  DWORD type = 0;
  std::string data;  // the bytes as written
};

// Paths are below HKEY_LOCAL_MACHINE, without it ("SYSTEM\\CurrentControlSet\\..."), case
// ignored.
bool SimRegistryKeyExists(const std::u16string& path);
SimRegistryValue SimGetRegistryValue(const std::u16string& path, const std::u16string& name);
// A value as another program would have written it; the key and its parents are created.
void SimSetRegistryValue(const std::u16string& path, const std::u16string& name, DWORD type,
                         const std::string& data);
// Every value in the registry, in the order of their keys and names (compared without case),
// with the key's path and the value's name as written.
struct SimRegistryEntry {
  std::u16string path, name;
  SimRegistryValue value;
};
std::vector<SimRegistryEntry> SimRegistryValues();
// A string value's text (without its terminator).
std::u16string SimRegistryText(const std::u16string& path, const std::u16string& name);
// The caller may only read HKEY_LOCAL_MACHINE, as a user without administrator rights.
void SimSetRegistryDenied(bool denied);

struct SimEventRecord {
  std::u16string source;
  WORD type = 0;
  DWORD id = 0;
  std::vector<std::u16string> strings;
  DWORD tick = 0;
  std::string thread;  // role of the reporting thread
};
// Every event reported since the reset, in order.
std::vector<SimEventRecord> SimEventLog();
