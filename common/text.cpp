#include "text.h"

void ClearBytes(void *p, DWORD n) {
  volatile BYTE *b = static_cast<volatile BYTE *>(p);
  for (DWORD i = 0; i < n; ++i) b[i] = 0;
}

DWORD TextLength(const char *text) {
  DWORD n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

BOOL AppendText(char *dst, DWORD capacity, const char *src) {
  if (capacity == 0) return FALSE;
  DWORD at = 0;
  while (at < capacity && dst[at] != '\0') ++at;
  if (at == capacity) {  // no terminator within the buffer: end it here
    dst[capacity - 1] = '\0';
    return FALSE;
  }
  DWORD i = 0;
  while (src[i] != '\0') {
    if (at + 1 >= capacity) {
      dst[at] = '\0';
      return FALSE;
    }
    dst[at++] = src[i++];
  }
  dst[at] = '\0';
  return TRUE;
}

BOOL CopyText(char *dst, DWORD capacity, const char *src) {
  if (capacity == 0) return FALSE;
  dst[0] = '\0';
  return AppendText(dst, capacity, src);
}

BOOL ComposeText(char *dst, DWORD capacity, const char *first, const char *second, const char *third) {
  ClearBytes(dst, capacity);
  return AppendText(dst, capacity, first) && AppendText(dst, capacity, second) && AppendText(dst, capacity, third);
}

BOOL BeginsWith(const char *text, const char *prefix) {
  for (DWORD i = 0; prefix[i] != '\0'; ++i) {
    if (text[i] != prefix[i]) return FALSE;  // also where text ends first
  }
  return TRUE;
}

BOOL SameText(const char *a, const char *b) {
  DWORD i = 0;
  while (a[i] != '\0' && a[i] == b[i]) ++i;
  return a[i] == b[i];
}
