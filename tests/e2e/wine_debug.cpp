// Wine's debug output, asked for with SORVANEL_WINE_DEBUG, kept only for the runs that fail
// without a word (see e2e_support.h).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "e2e/e2e_support.h"

std::string WineDebugChannels() {
  const char* channels = getenv("SORVANEL_WINE_DEBUG");
  return channels ? channels : "";
}

namespace {

// A line of Wine's debug output: "class:channel:function ...", after the process and thread
// ids ("0024:" or "0020:0024:") once a thread exists, without them before.
bool IsWineDebugLine(const std::string& line) {
  static const std::regex wine("^([0-9a-f]+:){0,2}(trace|warn|err|fixme):[a-z0-9_]*:");
  return std::regex_search(line, wine);
}

// Moves Wine's lines out of `text` into `wine`.
void MoveWineLines(std::string& text, std::string& wine) {
  std::string own;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(at, end - at);
    (IsWineDebugLine(line) ? wine : own) += line;
    at = end;
  }
  text = own;
}

}  // namespace

void SeparateWineDebug(const std::vector<std::string>& arguments, ProcessResult& result) {
  std::string wine;
  MoveWineLines(result.out, wine);  // a terminal shows both streams in one
  MoveWineLines(result.err, wine);
  if (result.exitCode == 0 || result.timedOut || !result.out.empty() || !result.err.empty()) return;
  static int runs = 0;
  const std::string folder = SourceDir() + "/build/wine-debug";
  const std::string file = folder + "/" + std::to_string(getpid()) + "-" + std::to_string(++runs) + ".log";
  std::string text = "exit code " + std::to_string(result.exitCode) + " without output:";
  for (const std::string& argument : arguments) text += " " + argument;
  text += "\nWINEDEBUG=" + WineDebugChannels() + "\n" + wine;
  mkdir(folder.c_str(), 0755);
  int fd = open(file.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  bool kept = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  std::printf("Wine's debug output of %s, which ended with %d and no output: %s\n", arguments.front().c_str(),
              result.exitCode, kept ? file.c_str() : "could not be kept");
}
