// pass_doubles.h: what the pass fuzz target puts in place of the switch library, the SLP
// client library, the key tool, syslog and sleep, all answering from the fuzz input.
#ifndef ORVAD_TESTS_FUZZ_PASS_DOUBLES_H
#define ORVAD_TESTS_FUZZ_PASS_DOUBLES_H

#include <slp.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "kesh.h"

// The unread rest of the current input.
struct FuzzInput {
    const uint8_t *data = nullptr;
    size_t size = 0;

    uint8_t byte() {
        if (size == 0) return 0;
        size--;
        return *data++;
    }
    // Up to `max` bytes: a length byte, then that many bytes (fewer at the end of the input).
    std::string text(size_t max = 255) {
        size_t length = byte();
        if (length > max) length = max;
        if (length > size) length = size;
        std::string out(reinterpret_cast<const char *>(data), length);
        data += length;
        size -= length;
        return out;
    }
};

inline FuzzInput input;

extern "C" int kesh_IPConnect(const char *, const char *, const char *, uint32_t *handle) {
    *handle = 1;
    return 0;
}

extern "C" int kesh_enRegisterForEventList(uint32_t, KeshEventCallback, uint32_t, const KeshEventListEntry *,
                                           uint32_t) {
    return 0;
}

// Each entry: a status (mostly 0) and a value that is one of the words the readers look for, a
// text from the input, or 256 bytes without a terminating NUL.
extern "C" int kesh_smlGetBatch(uint32_t, SmlBatchEntry *entries, uint32_t count) {
    if (input.byte() == 0xff) return 1;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t kind = input.byte();
        entries[i].status = kind >= 0xf0 ? input.byte() : 0;
        const char *word = nullptr;
        switch (kind & 7) {
        case 0:
            word = "True";
            break;
        case 1:
            word = "False";
            break;
        case 2:
            word = "59";
            break;
        case 3:
            memset(entries[i].value, 'A' + (kind >> 4), sizeof entries[i].value);
            continue;
        default:
            break;
        }
        std::string value = word != nullptr ? word : input.text();
        memset(entries[i].value, 0, sizeof entries[i].value);
        memcpy(entries[i].value, value.data(), value.size());
    }
    return 0;
}

extern "C" void sml_addr_2_str(const char *value, char *out, size_t size) {
    if (size == 0) return;
    strncpy(out, value, size - 1);
    out[size - 1] = '\0';
}

// The key tool prints a text from the input.
extern "C" FILE *popen(const char *, const char *) {
    static std::string output;
    output = input.text();
    if (output.empty()) return nullptr;
    return fmemopen(&output[0], output.size(), "r");
}

extern "C" int pclose(FILE *stream) { return fclose(stream); }

// Formats the message, so a format that does not match its arguments shows up.
void formatLogMessage(const char *format, va_list args) {
    char buffer[1024];
    vsnprintf(buffer, sizeof buffer, format, args);
}

extern "C" void syslog(int, const char *format, ...) {
    va_list args;
    va_start(args, format);
    formatLogMessage(format, args);
    va_end(args);
}

extern "C" void __syslog_chk(int, int, const char *format, ...) {
    va_list args;
    va_start(args, format);
    formatLogMessage(format, args);
    va_end(args);
}

// SLP requests succeed or fail as the input says; the report runs inside the call.
int slpHandleToken;

SLPError SLPOpen(const char *, SLPBoolean, SLPHandle *handle) {
    *handle = &slpHandleToken;
    return SLP_OK;
}

void SLPClose(SLPHandle) {}

SLPError fuzzedAnswer(SLPHandle handle, SLPRegReport callback, void *cookie) {
    uint8_t b = input.byte();
    if (b >= 0xf0) return SLP_NETWORK_ERROR;
    callback(handle, b >= 0xe0 ? SLP_INVALID_REGISTRATION : SLP_OK, cookie);
    return SLP_OK;
}

SLPError SLPReg(SLPHandle handle, const char *url, unsigned short, const char *, const char *attributes, SLPBoolean,
                SLPRegReport callback, void *cookie) {
    if (url == nullptr || attributes == nullptr) abort();
    return fuzzedAnswer(handle, callback, cookie);
}

SLPError SLPDereg(SLPHandle handle, const char *url, SLPRegReport callback, void *cookie) {
    if (url == nullptr) abort();
    return fuzzedAnswer(handle, callback, cookie);
}

#endif
