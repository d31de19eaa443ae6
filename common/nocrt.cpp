// The DLLs link without a C runtime, but GCC may still emit calls to memset
// and memcpy for clearing or copying records; these are the only two it
// needs. Built for Windows only.
#include <stddef.h>

extern "C" void *memset(void *dst, int value, size_t n) {
  volatile unsigned char *d = static_cast<volatile unsigned char *>(dst);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(value);
  return dst;
}

extern "C" void *memcpy(void *dst, const void *src, size_t n) {
  volatile unsigned char *d = static_cast<volatile unsigned char *>(dst);
  const unsigned char *s = static_cast<const unsigned char *>(src);
  for (size_t i = 0; i < n; ++i) d[i] = s[i];
  return dst;
}
