// The Windows Installer packages under Wine's own msiexec: installation, an upgrade from an
// older version that the test builds, a refused downgrade, a refused installation over a
// service that -i registered, removal; and, with a test-only package of the service host
// (which, unlike sorvanel.exe, can run as a service under Wine), the start at the end of an
// installation and the stop and deletion on removal. Each package is built by
// packaging/windows/msi.sh, as the release builds it. The tables themselves are checked by
// the release test and the unit test MsiTables.
//
// Wine differs from Windows here in three ways, which the tests say where they meet them:
// its exit status keeps the low 8 bits of msiexec's code (1603, the failed installation,
// arrives as 67); its msiexec registers the service's path as it is, without the quotes
// that -i puts around a path with a blank; and it sends a service the stop without waiting
// for it to stop (Windows Installer waits up to 30 s, ServiceControl.Wait), so a running
// service's program is still in use when the files are removed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "e2e/e2e_support.h"
#include "version.h"

namespace {

const char ServiceKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tamberlocke_Sorvanel";
const char EventSourceKey[] =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tamberlocke_Sorvanel";
const char FolderKey[] = "HKLM\\SOFTWARE\\Tamberlocke\\Sorvanel";
const int InstallFailure = 1603 & 0xFF;  // ERROR_INSTALL_FAILURE, as Wine's exit status
const char Refused[] = "LaunchConditions. Return value 0.";  // in the installation's log

// What each package installs where: the image, its Program Files folder (as Windows and as
// a path in the prefix), and the registry view of its own keys.
struct Package {
  WindowsImage image;
  const char* folder;
  const char* prefixFolder;
  const char* view;
};
const Package Packages[] = {
    {WindowsImage::X64, "C:\\Program Files\\Sorvanel", "Program Files/Sorvanel", "/reg:64"},
    {WindowsImage::X86, "C:\\Program Files (x86)\\Sorvanel", "Program Files (x86)/Sorvanel", "/reg:32"},
};

// gtest names the parameter in each test's description.
void PrintTo(const Package& package, std::ostream* out) { *out << ImageName(package.image); }

std::string Listing(const std::string& folder) {
  return RunProcess({"sh", "-c", "cd \"$0\" 2>/dev/null && ls -A | tr '\\n' ' '", folder}).out;
}

// A key's values as "<name> <type> <data>" lines, in reg's order; "" when there is no key.
std::string Values(const std::string& key, const std::string& view = "/reg:64") {
  ProcessResult query = RunWine({"reg", "query", key, view});
  std::string values;
  std::regex line("^    (.+?)    (REG_\\w+)    (.*?)\\r?$");
  std::smatch match;
  std::istringstream lines(query.out);
  for (std::string text; std::getline(lines, text);) {
    if (std::regex_match(text, match, line)) values += match.str(1) + " " + match.str(2) + " " + match.str(3) + "\n";
  }
  return values;
}

// The service key's values but for the two that Wine's service manager adds of its own
// (PreshutdownTimeout, and WOW64, which marks a service registered by a 32-bit program).
std::string ServiceValues() {
  return std::regex_replace(Values(ServiceKey), std::regex("(PreshutdownTimeout|WOW64) .*\n"), "");
}

// The state number that "sc query" shows, or -1 when there is no such service.
int ServiceState() {
  ProcessResult query = RunWine({"sc", "query", "Tamberlocke_Sorvanel"});
  std::smatch match;
  if (!std::regex_search(query.out, match, std::regex("STATE\\s*:\\s*([0-9]+)"))) return -1;
  return std::stoi(match[1]);
}

std::string ProductProperty(const std::string& package, const std::string& name) {
  std::string table = RunProcess({"msiinfo", "export", package, "Property"}).out;
  std::smatch match;
  std::regex_search(table, match, std::regex("\n" + name + "\t([^\r\n]*)"));
  return match.str(1);
}

class PackageUnderWine : public ::testing::TestWithParam<Package> {
 protected:
  void SetUp() override {
    SKIP_UNLESS_IMAGE_RUNS(GetParam().image);
    arch = ImageName(GetParam().image);
    work = SourceDir() + "/build/msi-e2e-" + arch;
    ASSERT_EQ(RunProcess({"rm", "-rf", work}).exitCode, 0);
    ASSERT_EQ(RunProcess({"mkdir", "-p", work}).exitCode, 0);
    older = Build("1.5.1.0", WindowsBuild(GetParam().image));
    newer = Build(SORVANEL_VERSION_TEXT, WindowsBuild(GetParam().image));
    host = Build(SORVANEL_VERSION_TEXT, WindowsBuild(GetParam().image, "sorvanel_service_host.exe"));
    RemoveEverything();
    ASSERT_EQ(ServiceState(), -1);
  }
  void TearDown() override {
    if (!arch.empty()) RemoveEverything();
  }

  // A package of that version with that program as sorvanel.exe, whose README.txt says
  // which version it is.
  std::string Build(const std::string& version, const std::string& program) {
    const std::string files = work + "/" + version + "-" + std::to_string(++built);
    RunProcess({"mkdir", "-p", files});
    RunProcess({"cp", program, files + "/sorvanel.exe"});
    RunProcess({"cp", SourceDir() + "/LICENSE", files + "/LICENSE.txt"});
    RunProcess({"cp", SourceDir() + "/packaging/windows/sorvanel.ini.example", files});
    std::ofstream(files + "/README.txt") << "Sorvanel " << version << "\r\n";
    const std::string package = files + ".msi";
    ProcessResult make = RunProcess(
        {"bash", SourceDir() + "/packaging/windows/msi.sh", arch, version, files, package});
    EXPECT_EQ(make.exitCode, 0) << make.err;
    return package;
  }

  // msiexec with the package's path as Windows names it, quiet, with a log that the result
  // keeps as its output.
  ProcessResult Msiexec(const std::string& action, const std::string& package,
                        const std::vector<std::string>& properties = {}) {
    const std::string log = work + "/msiexec.log";
    unlink(log.c_str());
    std::vector<std::string> arguments = {"msiexec", action, WindowsPath(package), "/qn",
                                          "/l*v", WindowsPath(log)};
    arguments.insert(arguments.end(), properties.begin(), properties.end());
    ProcessResult result = RunWine(arguments);
    result.out = FileText(log);
    return result;
  }

  void RemoveEverything() {
    for (const std::string& package : {newer, older, host}) Msiexec("/x", package);
    RunWine({WindowsBuild(GetParam().image), "-r"});  // a service that -i registered
    RunWine({"reg", "delete", EventSourceKey, "/f"});
    for (const char* folder : {"Flush Tools", "Tools", "Program Files/Sorvanel", "Program Files (x86)/Sorvanel"}) {
      RunProcess({"rm", "-rf", WinePrefix() + "/drive_c/" + folder});
    }
  }

  std::string DriveC(const std::string& path) { return WinePrefix() + "/drive_c/" + path; }
  bool Registered(const std::string& package) {
    const std::string key = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" +
                            ProductProperty(package, "ProductCode");
    return !Values(key, GetParam().view).empty();
  }

  std::string arch, work, older, newer, host;
  int built = 0;
};

TEST_P(PackageUnderWine, InstallsUpgradesRefusesADowngradeAndRemoves) {
  // Each version is a product of its own; one upgrade code finds them all.
  EXPECT_NE(ProductProperty(older, "ProductCode"), ProductProperty(newer, "ProductCode"));
  EXPECT_EQ(ProductProperty(older, "UpgradeCode"), ProductProperty(newer, "UpgradeCode"));

  // The older version, into a folder of the administrator's choice, not started (Wine cannot
  // run sorvanel.exe as a service: its start would fail the installation).
  ProcessResult install = Msiexec("/i", older, {"NOSTART=1", "INSTALLDIR=C:\\Flush Tools\\Sorvanel"});
  ASSERT_EQ(install.exitCode, 0) << install.out;
  const std::string folder = DriveC("Flush Tools/Sorvanel");
  EXPECT_EQ(Listing(folder), "LICENSE.txt README.txt sorvanel.exe sorvanel.ini.example ");
  EXPECT_EQ(ServiceState(), 1);  // STOPPED
  const std::string program = "C:\\Flush Tools\\Sorvanel\\sorvanel.exe";
  // What -i registers; only the path is without quotes (Wine's msiexec).
  const std::string service =
      "DependOnService REG_MULTI_SZ EventLog\n"
      "Description REG_SZ Flushes volume file buffers on an interval and on request.\n"
      "DisplayName REG_SZ Volume file buffers flusher\nErrorControl REG_DWORD 0x1\n"
      "Group REG_SZ Base\nImagePath REG_SZ " + program + "\nObjectName REG_SZ LocalSystem\n"
      "Start REG_DWORD 0x2\nType REG_DWORD 0x10\n";
  const std::string source =
      "EventMessageFile REG_EXPAND_SZ " + program + "\nTypesSupported REG_DWORD 0x7\n";
  EXPECT_EQ(ServiceValues(), service);
  EXPECT_EQ(Values(EventSourceKey), source);
  // The administrator's settings beside it.
  std::ofstream(folder + "/sorvanel.ini") << "[Main]\r\nSignature=Sorvanel\r\nInterval=60\r\n";

  // The newer version replaces it in the same folder, settings kept; one product remains.
  install = Msiexec("/i", newer, {"NOSTART=1"});
  ASSERT_EQ(install.exitCode, 0) << install.out;
  EXPECT_EQ(FileText(folder + "/README.txt"), "Sorvanel " SORVANEL_VERSION_TEXT "\r\n");
  EXPECT_EQ(FileText(folder + "/sorvanel.ini"), "[Main]\r\nSignature=Sorvanel\r\nInterval=60\r\n");
  EXPECT_EQ(ServiceValues(), service);
  EXPECT_EQ(Values(EventSourceKey), source);
  EXPECT_FALSE(Registered(older));
  EXPECT_TRUE(Registered(newer));

  // The older one again is refused by its launch condition and changes nothing.
  install = Msiexec("/i", older, {"NOSTART=1"});
  EXPECT_EQ(install.exitCode, InstallFailure);
  EXPECT_NE(install.out.find(Refused), std::string::npos) << install.out;
  EXPECT_EQ(FileText(folder + "/README.txt"), "Sorvanel " SORVANEL_VERSION_TEXT "\r\n");
  EXPECT_TRUE(Registered(newer));

  // Removal leaves the administrator's settings and nothing else.
  ProcessResult remove = Msiexec("/x", newer);
  EXPECT_EQ(remove.exitCode, 0) << remove.out;
  EXPECT_EQ(Listing(folder), "sorvanel.ini ");
  EXPECT_EQ(ServiceState(), -1);
  EXPECT_EQ(Values(ServiceKey), "");
  EXPECT_EQ(Values(EventSourceKey), "");
  EXPECT_EQ(Values(FolderKey, GetParam().view), "");
  EXPECT_FALSE(Registered(newer));
}

TEST_P(PackageUnderWine, RefusesAServiceThatInstallRegisteredFromAnotherFolder) {
  ASSERT_EQ(RunProcess({"mkdir", "-p", DriveC("Tools")}).exitCode, 0);
  ASSERT_EQ(RunProcess({"cp", WindowsBuild(GetParam().image, "sorvanel_service_host.exe"), DriveC("Tools")}).exitCode, 0);
  ProcessResult registration = RunWine({"C:\\Tools\\sorvanel_service_host.exe", "-i"});
  ASSERT_EQ(registration.exitCode, 0) << registration.err;

  ProcessResult install = Msiexec("/i", newer);
  EXPECT_EQ(install.exitCode, InstallFailure);
  EXPECT_NE(install.out.find(Refused), std::string::npos) << install.out;
  EXPECT_EQ(Listing(DriveC(GetParam().prefixFolder)), "");
  EXPECT_NE(Values(ServiceKey).find("ImagePath REG_SZ C:\\Tools\\sorvanel_service_host.exe\n"),
            std::string::npos);
  EXPECT_FALSE(Registered(newer));
}

// The service host enters the service dispatcher, so Wine's service manager can run it.
TEST_P(PackageUnderWine, StartsTheServiceAndOnRemovalStopsAndDeletesIt) {
  ProcessResult install = Msiexec("/i", host);
  ASSERT_EQ(install.exitCode, 0) << install.out;
  EXPECT_EQ(ServiceState(), 4);  // RUNNING, started at the end of the installation
  const std::string folder = DriveC(GetParam().prefixFolder);
  EXPECT_EQ(Listing(folder), "LICENSE.txt README.txt sorvanel.exe sorvanel.ini.example ");
  EXPECT_NE(Values(ServiceKey).find(std::string("ImagePath REG_SZ ") + GetParam().folder + "\\sorvanel.exe\n"),
            std::string::npos);

  ProcessResult remove = Msiexec("/x", host);
  EXPECT_EQ(remove.exitCode, 0) << remove.out;
  // Stopped, then deleted once its process has ended.
  int state = ServiceState();
  for (int i = 0; i < 50 && state != -1; ++i, state = ServiceState()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(state, -1);
  // Wine removed the files while the stopping service still had its program open: that one
  // stays here, as Windows Installer, which waits for the stop, would not leave it.
  std::string left = Listing(folder);
  EXPECT_TRUE(left == "" || left == "sorvanel.exe ") << left;
}

// A package made as a signed release makes it: from the signed image, then signed itself.
// Wine's msiexec installs it, with the signed program, which answers as the built image does
// (the loader skips the appended signature), and removes it. The x64 package only: the x86
// one is signed the same way, and the release test verifies both signatures.
class SignedPackageUnderWine : public PackageUnderWine {};

TEST_P(SignedPackageUnderWine, InstallsAndRemoves) {
  const std::string image = SignedCopy(WindowsBuild(GetParam().image), work + "/signed");
  ASSERT_NE(image, "");
  const std::string package = SignedCopy(Build(SORVANEL_VERSION_TEXT, image), work + "/signed");
  ASSERT_NE(package, "");

  ProcessResult install = Msiexec("/i", package, {"NOSTART=1"});
  ASSERT_EQ(install.exitCode, 0) << install.out;
  const std::string folder = DriveC(GetParam().prefixFolder);
  EXPECT_EQ(FileText(folder + "/sorvanel.exe"), FileText(image));
  EXPECT_TRUE(Registered(package));
  const std::string installed = std::string(GetParam().folder) + "\\sorvanel.exe";
  for (const char* argument : {"-?", "-x", "-f"}) {
    const ProcessResult built = RunWine({WindowsBuild(GetParam().image), argument});
    const ProcessResult signedRun = RunWine({installed, argument});
    EXPECT_EQ(signedRun.exitCode, built.exitCode) << argument;
    EXPECT_EQ(signedRun.out + signedRun.err, built.out + built.err) << argument;
  }

  ProcessResult remove = Msiexec("/x", package);
  EXPECT_EQ(remove.exitCode, 0) << remove.out;
  EXPECT_EQ(Listing(folder), "");
  EXPECT_FALSE(Registered(package));
}

INSTANTIATE_TEST_SUITE_P(Packages, PackageUnderWine, ::testing::ValuesIn(Packages),
                         [](const ::testing::TestParamInfo<Package>& info) {
                           return std::string(ImageName(info.param.image));
                         });
INSTANTIATE_TEST_SUITE_P(Packages, SignedPackageUnderWine, ::testing::Values(Packages[0]),
                         [](const ::testing::TestParamInfo<Package>& info) {
                           return std::string(ImageName(info.param.image));
                         });

}  // namespace
