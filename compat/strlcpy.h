// strlcpy.h: strlcpy with its BSD meaning, from the C library where it has one.
#ifndef ORVAD_COMPAT_STRLCPY_H
#define ORVAD_COMPAT_STRLCPY_H

#include <stddef.h>
#include <string.h>

#ifndef ORVAD_HAVE_STRLCPY
#ifdef __cplusplus
extern "C" {
#endif
// Copies src into dst, at most size-1 bytes and NUL-terminated when size > 0.
// Returns strlen(src), so a result >= size means the copy was cut short.
size_t strlcpy(char *dst, const char *src, size_t size);
#ifdef __cplusplus
}
#endif
#endif

#endif
