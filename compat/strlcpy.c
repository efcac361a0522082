#include "strlcpy.h"

#ifndef ORVAD_HAVE_STRLCPY
size_t strlcpy(char *dst, const char *src, size_t size) {
    size_t length = strlen(src);
    if (size > 0) {
        size_t n = length < size - 1 ? length : size - 1;
        memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return length;
}
#endif
