// Standard handles and consoles. Descriptors 0 to 2 are the standard handles; a terminal is
// a console, which takes text as UTF-8; everything else is a redirected file or pipe.
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "platform/common/utf8.h"
#include "platform/linux/constants.h"
#include "platform/linux/descriptor_write.h"
#include "platform/linux/handles.h"

namespace {

// The descriptor of a handle that is a terminal, or -1 (last error set).
int ConsoleDescriptor(HANDLE handle) {
  LinuxObject* object = LinuxObjectOf(handle, LinuxFile);
  if (!object) return -1;
  if (object->fd < 0 || !isatty(object->fd)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  return object->fd;
}

}  // namespace

// The process was not started with handles in its start-up record: the standard handles are
// those of GetStdHandle.
extern "C" void WINAPI GetStartupInfoW(LPSTARTUPINFOW startupInfo) {
  memset(startupInfo, 0, sizeof *startupInfo);
  startupInfo->cb = sizeof *startupInfo;
}

extern "C" HANDLE WINAPI GetStdHandle(DWORD stdHandle) {
  switch (stdHandle) {
    case STD_INPUT_HANDLE: return LinuxStandardHandle(0);
    case STD_OUTPUT_HANDLE: return LinuxStandardHandle(1);
    case STD_ERROR_HANDLE: return LinuxStandardHandle(2);
    default:
      SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_HANDLE_VALUE;
  }
}

extern "C" BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode) {
  if (ConsoleDescriptor(console) < 0) return FALSE;
  if (!mode) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *mode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
  return TRUE;
}

// Does the terminal's line discipline turn each LF into CR LF on output?
bool TerminalAddsCarriageReturn(int fd) {
  termios settings;
  return tcgetattr(fd, &settings) == 0 && (settings.c_oflag & OPOST) && (settings.c_oflag & ONLCR);
}

// The text goes to the terminal as UTF-8, converted in pieces through a fixed buffer; a
// surrogate pair is never split between two pieces. Where the terminal itself puts a CR
// before every LF, a CR LF of the text is written as LF alone, so that lines end on the
// screen and in a captured session as those of any other program; a raw terminal gets
// the CR LF as it is.
extern "C" BOOL WINAPI WriteConsoleW(HANDLE console, const void* buffer, DWORD charsToWrite,
                                     LPDWORD charsWritten, LPVOID) {
  if (charsWritten) *charsWritten = 0;
  int fd = ConsoleDescriptor(console);
  if (fd < 0) return FALSE;
  const WCHAR* text = static_cast<const WCHAR*>(buffer);
  const bool dropCarriageReturn = TerminalAddsCarriageReturn(fd);
  const DWORD pieceUnits = 256;
  DWORD done = 0;
  while (done < charsToWrite) {
    DWORD units = charsToWrite - done < pieceUnits ? charsToWrite - done : pieceUnits;
    WCHAR last = text[done + units - 1];
    if (done + units < charsToWrite && last >= 0xD800 && last <= 0xDBFF) --units;
    WCHAR piece[pieceUnits];
    int kept = 0;
    for (DWORD i = done; i < done + units; ++i) {
      bool lineEnd = text[i] == u'\r' && i + 1 < charsToWrite && text[i + 1] == u'\n';
      if (!(dropCarriageReturn && lineEnd)) piece[kept++] = text[i];
    }
    char bytes[pieceUnits * 3];
    int count = Utf8FromUtf16(piece, kept, bytes, sizeof bytes);
    int error = WriteAllBytes(fd, bytes, static_cast<size_t>(count), nullptr);
    if (error) {
      SetLastErrorFromErrno(error);
      return FALSE;
    }
    done += units;
    if (charsWritten) *charsWritten = done;
  }
  return TRUE;
}

// Redirected output is written in UTF-8, the code page of Linux terminals and files.
extern "C" UINT WINAPI GetConsoleOutputCP(void) { return CP_UTF8; }

extern "C" BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite,
                                 LPDWORD bytesWritten, LPVOID overlapped) {
  if (bytesWritten) *bytesWritten = 0;
  LinuxObject* object = LinuxObjectOf(file, LinuxFile);
  if (!object) return FALSE;
  if (overlapped || object->fd < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t written = 0;
  int error = WriteAllBytes(object->fd, buffer, bytesToWrite, &written);
  if (bytesWritten) *bytesWritten = static_cast<DWORD>(written);
  if (error) {
    SetLastErrorFromErrno(error);
    return FALSE;
  }
  return TRUE;
}
