#include "platform/linux/descriptor_write.h"

#include <errno.h>
#include <unistd.h>

int WriteAllBytes(int fd, const void* bytes, size_t count, size_t* written) {
  const char* start = static_cast<const char*>(bytes);
  const char* next = start;
  int error = 0;
  while (count > 0) {
    ssize_t n = write(fd, next, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (n == 0) {  // no progress: give up rather than spin
      error = EIO;
      break;
    }
    next += n;
    count -= static_cast<size_t>(n);
  }
  if (written) *written = static_cast<size_t>(next - start);
  return error;
}
