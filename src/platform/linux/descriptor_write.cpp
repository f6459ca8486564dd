#include "platform/linux/descriptor_write.h"

#include <errno.h>
#include <unistd.h>

int WriteAllBytes(int fd, const void* bytes, size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    ssize_t written = write(fd, next, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;  // no progress: give up rather than spin
    next += written;
    count -= static_cast<size_t>(written);
  }
  return 0;
}
