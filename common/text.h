// Text and byte helpers for fixed-size buffers. Both libraries compile
// their own copy; nothing here allocates or reads past a given capacity.
#ifndef NRV_COMMON_TEXT_H
#define NRV_COMMON_TEXT_H

#include "winapi.h"

// Sets n bytes at p to zero.
void ClearBytes(void *p, DWORD n);

// Length of a NUL-terminated text.
DWORD TextLength(const char *text);

// Copies or appends src to the text in dst, a buffer of `capacity` bytes.
// When the result does not fit, as much as fits is kept, dst stays
// NUL-terminated, and the result is FALSE: the text is cut and must not be
// used as a path.
BOOL CopyText(char *dst, DWORD capacity, const char *src);
BOOL AppendText(char *dst, DWORD capacity, const char *src);

// Clears the whole buffer and composes the parts in it, one after the
// other. FALSE when the result does not fit: the text is cut, as above.
BOOL ComposeText(char *dst, DWORD capacity, const char *first, const char *second, const char *third = "");

// Whether `text` begins with all of `prefix`, byte by byte and with letter
// case counting; a text shorter than the prefix never does.
BOOL BeginsWith(const char *text, const char *prefix);

// Whether two texts are equal, byte by byte.
BOOL SameText(const char *a, const char *b);

#endif
