#include "e2e/e2e_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// The child's environment: ours, then each entry of `changes`. "NAME=value" sets NAME;
// a bare "NAME" removes it.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) result.push_back(*entry);
  for (const std::string& change : changes) {
    size_t equals = change.find('=');
    std::string name = change.substr(0, equals);
    for (auto it = result.begin(); it != result.end();) {
      if (it->compare(0, name.size() + 1, name + "=") == 0) {
        it = result.erase(it);
      } else {
        ++it;
      }
    }
    if (equals != std::string::npos) result.push_back(change);
  }
  return result;
}

// In the child: descriptors in place, then exec. Never returns.
[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const ProcessOptions& options,
                            const std::vector<std::string>& environment, int outWrite,
                            int errWrite) {
  setpgid(0, 0);  // a group of its own, so that a timeout can end everything it started
  int nullInput = open("/dev/null", O_RDONLY);
  dup2(nullInput, 0);
  if (options.closeStdout) {
    close(1);
  } else {
    dup2(outWrite, 1);
  }
  if (options.closeStderr) {
    close(2);
  } else {
    dup2(errWrite, 2);
  }
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
  std::vector<char*> args;
  for (const std::string& item : argv) args.push_back(const_cast<char*>(item.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& item : environment) env.push_back(const_cast<char*>(item.c_str()));
  env.push_back(nullptr);
  signal(SIGPIPE, SIG_DFL);
  execvpe(args[0], args.data(), env.data());
  _exit(127);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ProcessResult result;
  if (argv.empty()) return result;
  std::vector<std::string> environment = ChildEnvironment(options.environment);
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  pid_t child = fork();
  if (child == 0) ExecChild(argv, options, environment, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (child < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return result;
  }
  setpgid(child, child);

  const long long deadline = NowMs() + options.timeoutSeconds * 1000LL;
  pollfd streams[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    long long left = deadline - NowMs();
    if (left <= 0) {
      result.timedOut = true;
      break;
    }
    int ready = poll(streams, 2, static_cast<int>(left > 1000 ? 1000 : left));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || !(streams[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char chunk[4096];
      ssize_t n = read(streams[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(streams[i].fd);
        streams[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }
  // The streams are closed: wait for the exit itself, within what is left of the time.
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (result.timedOut || NowMs() >= deadline) {
      result.timedOut = true;
      kill(-child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    usleep(5000);
  }
  if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

namespace {

// One word for sh -c: in single quotes, each single quote written as '\''.
std::string ShellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char ch : word) {
    if (ch == '\'') {
      quoted += "'\\''";
    } else {
      quoted += ch;
    }
  }
  return quoted + "'";
}

}  // namespace

ProcessResult RunInTerminal(const std::vector<std::string>& argv, const ProcessOptions& options) {
  std::string command;
  for (const std::string& word : argv) {
    if (!command.empty()) command += ' ';
    command += ShellQuote(word);
  }
  // script -e returns the command's exit code; its output is what the terminal showed.
  return RunProcess({"script", "-qec", command, "/dev/null"}, options);
}

std::string SourceDir() { return SORVANEL_SOURCE_DIR; }
std::string LinuxProgram() { return SourceDir() + "/build/linux/sorvanel"; }
std::string WindowsExe() { return SourceDir() + "/build/windows-x64/sorvanel.exe"; }
std::string WindowsExe86() { return SourceDir() + "/build/windows-x86/sorvanel.exe"; }
std::string WinePrefix() { return SourceDir() + "/build/wine-prefix"; }

const char* ImageName(WindowsImage image) { return image == WindowsImage::X64 ? "x64" : "x86"; }

std::string WindowsBuild(WindowsImage image, const std::string& name) {
  return SourceDir() + "/build/windows-" + ImageName(image) + "/" + name;
}

std::string SignedCopy(const std::string& file, const std::string& folder) {
  const std::string copy = folder + "/" + file.substr(file.rfind('/') + 1);
  const char script[] =
      "set -e; unset SORVANEL_SIGN_PFX SORVANEL_SIGN_PASSWORD_FILE SORVANEL_TIMESTAMP_URL\n"
      "rm -rf \"$1/keys\"; bash \"$0/tests/release/make_certificates.sh\" \"$1/keys\"\n"
      "cp \"$2\" \"$3\"\n"
      "SORVANEL_SIGN_CERT=\"$1/keys/signer.pem\" SORVANEL_SIGN_KEY=\"$1/keys/signer.key\" \\\n"
      "  bash \"$0/packaging/windows/sign.sh\" \"$3\"\n"
      "osslsigncode verify -CAfile \"$1/keys/ca.pem\" -in \"$3\" >/dev/null\n";
  ProcessResult signing = RunProcess({"sh", "-c", script, SourceDir(), folder, file, copy});
  return signing.exitCode == 0 ? copy : "";
}

// Debian's wine, wineboot, msiexec and reg wrappers take the 32-bit loader whenever wine32 is
// installed, and a kernel without 32-bit support cannot execute it. The 64-bit loader runs
// everything else, and hands a 32-bit image on to the 32-bit loader by itself.
const char* WineLoader() { return "/usr/lib/wine/wine64"; }
const char* WineLoader32() { return "/usr/lib/wine/wine"; }

std::vector<std::string> WineCommand(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"setarch", "-R", WineLoader()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

const char Wine32Missing[] = "Wine's 32-bit loader (wine32:i386) is not installed, although";

// Wine's 32-bit loader (package wine32) is a 32-bit Linux program: when it runs, the kernel
// runs 32-bit programs and Wine can run the 32-bit image. scripts/setup.sh installs it only
// where the kernel runs such programs, as scripts/runs_32_bit.sh finds; so a missing loader
// is a skip only where that script finds that the kernel refuses them.
std::string ImageCannotRun(WindowsImage image) {
  if (image == WindowsImage::X64) return "";
  static std::string why = [] {
    const char* loader = WineLoader32();
    if (access(loader, X_OK) != 0) {
      ProcessResult kernel = RunProcess({"bash", SourceDir() + "/scripts/runs_32_bit.sh"});
      if (kernel.exitCode == 0) return std::string(Wine32Missing) + " this kernel runs 32-bit programs: run scripts/setup.sh windows";
      return kernel.out.substr(0, kernel.out.find('\n')) + ", so Wine's 32-bit loader (wine32:i386) is not installed";
    }
    ProcessResult probe = RunProcess({loader, "--version"});
    if (probe.exitCode != 0) {
      return "this kernel does not run 32-bit programs (" + std::string(loader) + " --version: " +
             (probe.err.empty() ? "exit " + std::to_string(probe.exitCode) : probe.err.substr(0, probe.err.find('\n'))) +
             ")";
    }
    return std::string();
  }();
  return why;
}

namespace {

std::vector<std::string> WineEnvironmentWith(const std::vector<std::string>& extra) {
  // No display: message boxes return at once. No Mono or Gecko installers at the first
  // start. One locale, so that the prefix's code pages (ANSI 1252, OEM 437) do not depend
  // on the machine that runs the tests.
  std::vector<std::string> environment = {"WINEPREFIX=" + WinePrefix(), "WINEDEBUG=-all",
                                          std::string("WINELOADER=") + WineLoader(),
                                          "DISPLAY", "WAYLAND_DISPLAY",
                                          "WINEDLLOVERRIDES=mscoree,mshtml=", "LANG=C.UTF-8",
                                          "LC_ALL"};
  environment.insert(environment.end(), extra.begin(), extra.end());
  return environment;
}

// What the prefix was made for: Wine's version, the Windows architectures installed and
// whether the 32-bit loader runs (a prefix made without it has no 32-bit side). A prefix
// made before wine32 was installed, say, no longer boots ("could not load kernel32.dll"), so
// a prefix whose stamp differs is made again.
std::string WineStamp() {
  std::string stamp = RunProcess({WineLoader(), "--version"}).out;
  for (const char* architecture : {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows",
                                   "/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/lib/wine/wine"}) {
    struct stat info;
    if (stat(architecture, &info) == 0) stamp += std::string(architecture) + "\n";
  }
  if (ImageCannotRun(WindowsImage::X86).empty()) stamp += "32-bit loader runs\n";
  return stamp;
}


// The prefix is made once, by `wineboot -i` on its own, so that Wine's messages about
// creating it never mix with a test's output, and stamped. A lock file keeps parallel tests
// from making it twice.
bool EnsureWinePrefix() {
  const std::string prefix = WinePrefix();
  const std::string marker = prefix + "/.sorvanel-ready";
  mkdir((SourceDir() + "/build").c_str(), 0755);
  int lock = open((prefix + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock < 0) return false;
  flock(lock, LOCK_EX);
  const std::string stamp = WineStamp();
  bool ready = !stamp.empty() && FileText(marker) == stamp;
  if (!ready) {
    ProcessOptions options;
    options.timeoutSeconds = 300;
    options.environment = WineEnvironmentWith({});
    RunProcess({"wineserver", "-k"}, options);
    RunProcess({"rm", "-rf", prefix});
    ProcessResult boot = RunProcess(WineCommand({"wineboot", "-i"}), options);
    ProcessResult settle = RunProcess({"wineserver", "-w"}, options);
    if (boot.exitCode == 0 && !settle.timedOut) {
      int fd = open(marker.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) {
        ready = write(fd, stamp.data(), stamp.size()) == static_cast<ssize_t>(stamp.size());
        close(fd);
      }
    }
  }
  flock(lock, LOCK_UN);
  close(lock);
  return ready;
}

// Debian's wineserver runs with -p0: it ends as soon as the last program of the prefix
// exits, and takes the services and drivers with it. A program that starts while that
// happens joins a session that is going down: the loader sees the boot as done, but the
// mount manager may be gone already, and volume enumeration fails with
// ERROR_FILE_NOT_FOUND ("Cannot enumerate volumes (2 - ...)", exit 3). A server that is
// not running at all is safe (the first program waits for the whole boot), but one that
// ends between two programs of a test is not. So the tests run in a session of their own:
// whatever server is there is stopped, a new one that stays 30 s after its last program is
// started, wineboot boots it (its loader waits for the boot, the services' start included),
// and the mount manager must then be running. Once per test process; StopWineServer ends
// the session. The server and the boot write to /dev/null: the server and the services that
// the boot starts keep what they inherit open until the session ends.
//
// A service started by Wine's service manager writes its Wine debug output to the error
// output that services.exe inherited from the boot, with the boot's debug channels; neither
// the client's WINEDEBUG nor the service's own environment changes them. Wine prints each
// error event that a program reports as an err line of the eventlog channel. A session that
// captures the services' error events is therefore booted with that channel's errors on and
// its error output in a file (never a pipe, which services.exe would keep open).
//
// A session outlives its test process by its server's 30 s, and the next test process takes
// it over instead of booting one of its own (about two seconds each time) when a Wine program
// of the tests ended less than 10 s ago and the session's server still runs: the server's
// 30 s count from the end of its last program, so it cannot be ending then. The time of
// build/wine-session is the end of the last Wine program of the session. A session that
// captures error events is booted anew for each test process that asks for one, so that its
// log holds that process's events only; taken over, it serves as a plain one.
enum class Session { none, plain, capturingEvents };
Session session = Session::none;

std::string SessionRecord() { return SourceDir() + "/build/wine-session"; }

void NoteProgramEnd() { utimensat(AT_FDCWD, SessionRecord().c_str(), nullptr, 0); }

bool TakeOverSession() {
  struct stat record;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (stat(SessionRecord().c_str(), &record) != 0 || now.tv_sec - record.st_mtim.tv_sec >= 10) return false;
  for (const WineProcess& process : WineSessionProcesses()) {
    if (process.commandLine.find("wineserver") != std::string::npos) {
      session = Session::plain;
      return true;
    }
  }
  return false;
}

bool StartWineSession(bool captureEvents) {
  session = Session::none;
  unlink(SessionRecord().c_str());
  ProcessOptions options;
  options.timeoutSeconds = 300;
  options.environment = WineEnvironmentWith({});
  RunProcess({"wineserver", "-k"}, options);
  RunProcess({"wineserver", "-w"}, options);
  if (RunProcess({"sh", "-c", "setarch -R wineserver -p30 >/dev/null 2>&1"}, options).exitCode != 0) return false;
  std::string wineboot;
  for (const std::string& word : WineCommand({"wineboot"})) wineboot += ShellQuote(word) + " ";
  wineboot += ">/dev/null 2>";
  std::string boot = wineboot + "&1";
  ProcessOptions bootOptions = options;
  if (captureEvents) {
    boot = wineboot + ShellQuote(WineSessionLog());
    bootOptions.environment = WineEnvironmentWith({"WINEDEBUG=-all,err+eventlog"});
  }
  if (RunProcess({"sh", "-c", boot}, bootOptions).exitCode != 0) return false;
  // On a busy machine the service manager may give up waiting for a driver's start and let
  // the boot finish before it: wait for the mount manager itself, a minute at most.
  const long long deadline = NowMs() + 60000;
  bool running = false;
  do {
    ProcessResult mountManager = RunProcess(WineCommand({"sc", "query", "MountMgr"}), options);
    running = mountManager.out.find("RUNNING") != std::string::npos;
  } while (!running && NowMs() < deadline && usleep(500000) == 0);
  if (running) {
    session = captureEvents ? Session::capturingEvents : Session::plain;
    close(open(SessionRecord().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  }
  return running;
}

}  // namespace

std::string FileText(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

const char FlushEventName[] = "Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3";
const char HostWindowsPath[] = "C:\\Program Files\\Sorvanel Test\\sorvanel_service_host.exe";
const char HostLogWindowsPath[] = "C:\\Program Files\\Sorvanel Test\\sorvanel_service_host.exe.log";
std::string HostFolder() { return WinePrefix() + "/drive_c/Program Files/Sorvanel Test"; }
std::string HostLog() { return HostFolder() + "/sorvanel_service_host.exe.log"; }

bool PlaceServiceHost(WindowsImage image, const std::string& settings) {
  const std::string host = WindowsBuild(image, "sorvanel_service_host.exe");
  if (access(host.c_str(), R_OK) != 0 || access(WindowsBuild(image, "sorvanel_service_client.exe").c_str(), R_OK) != 0) {
    return false;
  }
  // Wine's DACL of a file comes from its mode: only the owner may change the folder, or -i
  // refuses the host.
  if (RunProcess({"mkdir", "-p", HostFolder()}).exitCode != 0 || chmod(HostFolder().c_str(), 0755) != 0) return false;
  return RunProcess({"cp", host, HostFolder() + "/"}).exitCode == 0 && WriteHostSettings(settings);
}

bool WriteHostSettings(const std::string& settings) {
  int fd = open((HostFolder() + "/sorvanel_service_host.ini").c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool written = write(fd, settings.data(), settings.size()) == static_cast<ssize_t>(settings.size());
  close(fd);
  return written;
}

std::string WineSessionLog() { return SourceDir() + "/build/wine-session.log"; }

// Any session will do for a plain program, the capturing one too.
bool PrepareWinePrefix() {
  return EnsureWinePrefix() && (session != Session::none || TakeOverSession() || StartWineSession(false));
}

bool PrepareWineSessionWithEventLog() {
  return EnsureWinePrefix() && (session == Session::capturingEvents || StartWineSession(true));
}

std::string WindowsPath(const std::string& path) {
  std::string windows = "Z:" + path;
  for (char& ch : windows) {
    if (ch == '/') ch = '\\';
  }
  return windows;
}

std::vector<std::string> WineEnvironment() { return WineEnvironmentWith({}); }

std::vector<WineProcess> WineSessionProcesses() {
  std::vector<WineProcess> processes;
  const std::string prefix = std::string("WINEPREFIX=") + WinePrefix() + '\0';
  DIR* all = opendir("/proc");
  for (dirent* entry; all && (entry = readdir(all));) {
    const std::string folder = std::string("/proc/") + entry->d_name;
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    if (('\0' + FileText(folder + "/environ")).find('\0' + prefix) == std::string::npos) continue;
    std::string commandLine = FileText(folder + "/cmdline");
    for (char& ch : commandLine) {
      if (ch == '\0') ch = ' ';
    }
    // The personality in hex; 0x0040000 is ADDR_NO_RANDOMIZE.
    const unsigned long personality = strtoul(FileText(folder + "/personality").c_str(), nullptr, 16);
    processes.push_back({commandLine, (personality & 0x0040000) == 0});
  }
  if (all) closedir(all);
  return processes;
}

namespace {

// Runs the Wine loader with <arguments> in the private prefix through one of the two
// process runners.
ProcessResult RunUnderWine(const std::vector<std::string>& arguments, const ProcessOptions& options,
                           ProcessResult (*runner)(const std::vector<std::string>&, const ProcessOptions&)) {
  if (!PrepareWinePrefix()) {
    ProcessResult failed;
    failed.err = "the Wine prefix could not be made, or its session did not come up";
    return failed;
  }
  ProcessOptions wineOptions = options;
  wineOptions.environment = WineEnvironmentWith(options.environment);
  const std::string channels = WineDebugChannels();
  if (!channels.empty()) wineOptions.environment.push_back("WINEDEBUG=" + channels);
  ProcessResult result = runner(WineCommand(arguments), wineOptions);
  NoteProgramEnd();
  if (!channels.empty()) SeparateWineDebug(arguments, result);
  return result;
}

}  // namespace

ProcessResult RunWine(const std::vector<std::string>& arguments, const ProcessOptions& options) {
  return RunUnderWine(arguments, options, RunProcess);
}

ProcessResult RunWineInTerminal(const std::vector<std::string>& arguments,
                                const ProcessOptions& options) {
  return RunUnderWine(arguments, options, RunInTerminal);
}

void StopWineServer() {
  session = Session::none;
  unlink(SessionRecord().c_str());
  ProcessOptions options;
  options.timeoutSeconds = 60;
  options.environment = WineEnvironmentWith({});
  RunProcess({"wineserver", "-k"}, options);
}

std::string ScreenText(const std::string& raw) {
  std::string text;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
      i += 2;
      while (i < raw.size() && !(raw[i] >= 0x40 && raw[i] <= 0x7E)) ++i;
      continue;
    }
    if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == ']') {
      while (i < raw.size() && raw[i] != '\a') ++i;
      continue;
    }
    text += raw[i];
  }
  return text;
}
