// Writing a whole run of bytes to a descriptor.
#pragma once

#include <stddef.h>

// Writes every byte, continuing after partial writes and interruptions. Returns 0 when all
// were written, otherwise the errno of the failed write. `written` (may be null) receives
// the bytes that did go out.
int WriteAllBytes(int fd, const void* bytes, size_t count, size_t* written);
