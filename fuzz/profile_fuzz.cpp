// The private-profile reader over arbitrary file bytes: no read or write outside its
// buffers, results within the sizes given, every result terminated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/common/profile.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > PROFILE_FILE_LIMIT) size = PROFILE_FILE_LIMIT;
  // The first byte picks a buffer size, so cutting at every length gets exercised.
  DWORD bufferSize = size ? data[0] % 40 : 7;
  WCHAR* text = static_cast<WCHAR*>(malloc((size + 1) * sizeof(WCHAR)));
  DWORD length = ProfileDecode(data, static_cast<DWORD>(size), text, static_cast<DWORD>(size));
  Check(length <= size);
  const WCHAR* sections[] = {u"Main", u"main", u"", nullptr};
  const WCHAR* keys[] = {u"Signature", u"Volumes", u"", nullptr};
  WCHAR* out = static_cast<WCHAR*>(malloc((bufferSize + 1) * sizeof(WCHAR)));
  for (const WCHAR* section : sections) {
    for (const WCHAR* key : keys) {
      DWORD n = ProfileReadString(text, length, section, key, u"default ", out, bufferSize);
      if (bufferSize == 0) {
        Check(n == 0);
        continue;
      }
      Check(n < bufferSize);
      Check(out[n] == 0);
      if (section && key) {
        for (DWORD i = 0; i < n; ++i) Check(out[i] != 0);
      }
      ProfileReadInt(text, length, section, key, 30);
    }
  }
  free(out);
  free(text);
  return 0;
}
