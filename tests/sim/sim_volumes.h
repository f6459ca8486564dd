// The volumes of the simulated machine: what the volume enumeration finds, how each volume
// answers to opening and flushing, and a record of every flush.
//
// A fresh machine (SimReset) has one fixed volume, SimVolumeName(1), mounted at C:\.
// CreateFileW sends names that begin with \\?\Volume{ to these volumes and every other name
// to the plain files of the machine (sim_profile.h).
#pragma once

#include <string>
#include <vector>

#include "sim/sim.h"

struct SimVolume {
  std::u16string name;                     // \\?\Volume{GUID}\, with the trailing backslash
  std::vector<std::u16string> mountPaths;  // as the system lists them, C:\ or D:\Data\Mount\ say
  UINT driveType = DRIVE_FIXED;
  DWORD pathNamesError = 0;  // GetVolumePathNamesForVolumeNameW fails with it (0: answers)
  DWORD openError = 0;       // CreateFileW of the device fails with it (0: opens)
  DWORD flushError = 0;      // FlushFileBuffers fails with it (0: writes out)
};

// \\?\Volume{00000000-0000-0000-0000-0000000000nn}\ for a small number n.
std::u16string SimVolumeName(int n);
// A volume of the given type with a name from SimVolumeName(n) and the given mount paths.
SimVolume SimMakeVolume(int n, std::vector<std::u16string> mountPaths, UINT driveType = DRIVE_FIXED);

// Replaces the machine's volumes; the enumeration yields them in this order.
void SimSetVolumes(const std::vector<SimVolume>& volumes);
void SimAddVolume(const SimVolume& volume);

// Every flush that succeeded, in order, by the volume's name (with its trailing backslash).
std::vector<std::u16string> SimFlushedVolumes();
int SimFlushCount(const std::u16string& volumeName);

// Every CreateFileW of a volume device, successful or not, with its arguments.
struct SimVolumeOpen {
  std::u16string fileName;
  DWORD access;
  DWORD shareMode;
  bool securityAttributes;  // given, not null
  DWORD creationDisposition;
  DWORD flags;
  bool templateFile;  // given, not null
};
std::vector<SimVolumeOpen> SimVolumeOpens();
