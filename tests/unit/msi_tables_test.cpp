// The Windows Installer packages register the service by the installer's own tables, and
// they must register exactly what -i does. Each package is built by
// packaging/windows/msi.sh from stand-in files (the tables do not depend on the files), its
// tables are read with msiinfo, and -i runs in the simulation from the folder the package
// installs to. Both are written down in the same words and compared.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim_registry.h"
#include "sim/sim_service.h"
#include "unit/child_run.h"

namespace {

using Row = std::map<std::string, std::string>;

std::string Output(const std::string& command) {
  std::string text;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  pclose(pipe);
  return text;
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  for (size_t at = 0;;) {
    size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end - at));
    if (end == std::string::npos) return parts;
    at = end + separator.size();
  }
}

// A table as msiinfo exports it: a line of column names, one of column types, one naming
// the table and its keys, then a row a line, columns separated by tabs, lines ended by CR LF.
std::vector<Row> Table(const std::string& package, const std::string& table) {
  std::vector<std::string> lines = Split(Output("msiinfo export '" + package + "' " + table), "\r\n");
  std::vector<Row> rows;
  if (lines.size() < 3) return rows;
  std::vector<std::string> columns = Split(lines[0], "\t");
  for (size_t i = 3; i < lines.size(); ++i) {
    std::vector<std::string> fields = Split(lines[i], "\t");
    if (fields.size() != columns.size()) continue;
    Row row;
    for (size_t c = 0; c < columns.size(); ++c) row[columns[c]] = fields[c];
    rows.push_back(row);
  }
  return rows;
}

Row Find(const std::vector<Row>& rows, const std::string& column, const std::string& value) {
  for (const Row& row : rows) {
    if (row.at(column) == value) return row;
  }
  return Row{{column, "(none: " + value + ")"}};
}

// The package of that architecture, made from stand-ins in a folder of its own.
std::string BuildPackage(const std::string& arch) {
  char folder[] = "/tmp/sorvanel-msi-XXXXXX";
  if (!mkdtemp(folder)) return "";
  for (const char* name : {"sorvanel.exe", "README.txt", "LICENSE.txt", "sorvanel.ini.example"}) {
    std::ofstream(std::string(folder) + "/" + name) << "stand-in for " << name << "\r\n";
  }
  const std::string package = std::string(folder) + "/package.msi";
  const std::string command = "bash '" SORVANEL_SOURCE_DIR "/packaging/windows/msi.sh' " + arch +
                              " 1.0.0.0 " + folder + " " + package;
  return system(command.c_str()) == 0 ? package : "";
}

// The folder a directory of the package stands for, from the root folders' places.
std::string Folder(const std::vector<Row>& directories, const std::string& id,
                   const std::map<std::string, std::string>& roots) {
  if (roots.count(id)) return roots.at(id);
  Row row = Find(directories, "Directory", id);
  std::string name = row["DefaultDir"].substr(0, row["DefaultDir"].find(':'));  // target:source
  name = name.substr(name.find('|') + 1);                                        // short|long
  return Folder(directories, row["Directory_Parent"], roots) + "\\" + name;
}

std::string Join(const std::vector<std::string>& parts, const std::string& separator) {
  std::string text;
  for (const std::string& piece : parts) text += (text.empty() ? "" : separator) + piece;
  return text;
}

// What the package registers for the service, in the words of DescribeRegistration().
std::string FromPackage(const std::string& package, const std::string& programFilesId,
                        const std::string& programFiles) {
  std::vector<Row> services = Table(package, "ServiceInstall");
  EXPECT_EQ(services.size(), 1u);
  if (services.empty()) return "no service";
  Row service = services[0];
  const std::string component = service["Component_"];
  // The service's program is its component's key file, where the package installs it.
  Row keyComponent = Find(Table(package, "Component"), "Component", component);
  Row keyFile = Find(Table(package, "File"), "File", keyComponent["KeyPath"]);
  const std::string path =
      Folder(Table(package, "Directory"), keyComponent["Directory_"], {{programFilesId, programFiles}}) +
      "\\" + keyFile["FileName"].substr(keyFile["FileName"].find('|') + 1);
  // A service that cannot be registered fails the installation; the rest is -i's.
  const long errorControl = std::stol(service["ErrorControl"]);
  EXPECT_EQ(errorControl & 0x8000, 0x8000) << "ServiceInstall.ErrorControl is not vital";

  std::ostringstream text;
  text << "name " << service["Name"] << "\ndisplay name " << service["DisplayName"] << "\ntype "
       << service["ServiceType"] << " start " << service["StartType"] << " error control "
       << (errorControl & 0x7fff) << " group " << service["LoadOrderGroup"] << " dependencies "
       << service["Dependencies"] << " account " << service["StartName"] << " password "
       << (service["Password"].empty() ? "none" : "given") << "\npath " << path
       << (service["Arguments"].empty() ? "" : " " + service["Arguments"]) << "\ndescription "
       << service["Description"] << "\n";

  // The recovery actions, applied by MsiConfigureServices when the service is installed.
  Row recovery = Find(Table(package, "MsiServiceConfigFailureActions"), "Name", service["Name"]);
  std::vector<std::string> actions = Split(recovery["Actions"], "[~]");
  std::vector<std::string> delays = Split(recovery["DelayActions"], "[~]");
  EXPECT_EQ(actions.size(), delays.size());
  for (size_t i = 0; i < actions.size() && i < delays.size(); ++i) actions[i] += "/" + delays[i];
  EXPECT_EQ(std::stol(recovery["Event"].empty() ? "0" : recovery["Event"]) & 1, 1);
  EXPECT_EQ(recovery["Component_"], component);
  EXPECT_EQ(Find(Table(package, "InstallExecuteSequence"), "Action", "MsiConfigureServices")["Action"],
            "MsiConfigureServices");
  text << "recovery " << recovery["ResetPeriod"] << " " << Join(actions, " ") << " reboot message "
       << recovery["RebootMessage"] << " command " << recovery["Command"] << "\n";

  // Registry values, but for the folder that the next upgrade reads (-i has no upgrades),
  // installed and removed with the service: #% is REG_EXPAND_SZ, # a REG_DWORD, [#file] the
  // file's path.
  std::vector<std::string> values;
  for (Row& value : Table(package, "Registry")) {
    if (value["Key"] == "SOFTWARE\\Tamberlocke\\Sorvanel") continue;
    EXPECT_EQ(value["Root"], "2") << value["Name"];  // HKEY_LOCAL_MACHINE
    EXPECT_EQ(value["Component_"], component) << value["Name"];
    std::string data = value["Value"], type = "REG_SZ";
    if (data.rfind("#%", 0) == 0) {
      type = "REG_EXPAND_SZ";
      data = data.substr(2);
    } else if (data.rfind("#", 0) == 0) {
      type = "REG_DWORD";
      data = data.substr(1);
    }
    const std::string file = "[#" + keyFile["File"] + "]";
    for (size_t at; (at = data.find(file)) != std::string::npos;) data.replace(at, file.size(), path);
    values.push_back(value["Key"] + " " + value["Name"] + " " + type + " " + data);
  }
  std::sort(values.begin(), values.end());
  for (const std::string& value : values) text << "registry " << value << "\n";
  return text.str();
}

// In the child, after -i: the service's record and every registry value, in the words of
// FromPackage().
std::string DescribeRegistration() {
  SimServiceRecord r = SimService(u"Tamberlocke_Sorvanel");
  std::string path = SimUtf8(r.binaryPath);
  // -i quotes a path with a blank; the installer is given the file itself.
  if (path.size() > 1 && path.front() == '"') path = path.substr(1, path.size() - 2);
  std::ostringstream text;
  text << "name " << SimUtf8(r.name) << "\ndisplay name " << SimUtf8(r.displayName) << "\ntype "
       << r.type << " start " << r.startType << " error control " << r.errorControl << " group "
       << SimUtf8(r.loadOrderGroup) << " dependencies " << SimUtf8(r.dependencies) << " account "
       << SimUtf8(r.account) << " password " << (r.passwordGiven ? "given" : "none") << "\npath "
       << path << "\ndescription " << SimUtf8(r.description) << "\nrecovery "
       << (r.failureActionsSet ? std::to_string(r.failureResetPeriod) : "none");
  for (auto& action : r.failureActions) text << " " << action.first << "/" << action.second;
  text << " reboot message  command \n";  // -i sets neither
  const char* types[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD"};
  std::vector<std::string> values;
  for (SimRegistryEntry& entry : SimRegistryValues()) {
    std::string data = SimUtf8(SimRegistryText(entry.path, entry.name));
    if (entry.value.type == REG_DWORD && entry.value.data.size() == 4) {
      data = std::to_string(*reinterpret_cast<const DWORD*>(entry.value.data.data()));
    }
    values.push_back(SimUtf8(entry.path) + " " + SimUtf8(entry.name) + " " +
                     types[entry.value.type < 5 ? entry.value.type : 0] + " " + data);
  }
  std::sort(values.begin(), values.end());
  for (const std::string& value : values) text << "registry " << value << "\n";
  return text.str();
}

// What -i registers when sorvanel.exe runs from `module`, on a machine of its own.
std::string Registration(const std::u16string& module) {
  ChildRun run = RunProgram(u"-i", [module] { SimSetModulePath(module); },
                            [](std::map<std::string, std::string>& extra) {
                              extra["registration"] = DescribeRegistration();
                            });
  EXPECT_TRUE(run.finished) << run.failure;
  EXPECT_EQ(run.exitCode, 0) << run.Err();
  return run.extra["registration"];
}

TEST(MsiTables, EachPackageRegistersTheServiceAsInstallDoes) {
  struct {
    const char* arch;
    const char* programFilesId;
    const char* programFiles;
  } packages[] = {{"x64", "ProgramFiles64Folder", "C:\\Program Files"},
                  {"x86", "ProgramFilesFolder", "C:\\Program Files (x86)"}};
  for (auto& p : packages) {
    SCOPED_TRACE(p.arch);
    const std::string package = BuildPackage(p.arch);
    ASSERT_FALSE(package.empty()) << "packaging/windows/msi.sh failed";
    std::string expected = Registration(
        SimUtf16(std::string(p.programFiles) + "\\Sorvanel\\sorvanel.exe"));
    EXPECT_NE(expected.find("\ndescription Flushes"), std::string::npos) << expected;
    EXPECT_EQ(FromPackage(package, p.programFilesId, p.programFiles), expected);
    system(("rm -rf '" + package.substr(0, package.rfind('/')) + "'").c_str());
  }
}

}  // namespace
