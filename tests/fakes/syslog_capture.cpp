// Defining syslog in the test binary takes precedence over the C library's, so the code
// under test logs here unchanged. __syslog_chk covers builds with _FORTIFY_SOURCE.
#include "syslog_capture.h"

#include "fake_scope.h"

#include <stdarg.h>
#include <stdio.h>

#include <mutex>

namespace {
std::mutex logMutex;
std::vector<LogLine> lines;

void capture(int priority, const char *format, va_list args) {
    FakeScope scope;
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(&text[0], text.size() + 1, format, args);
    std::lock_guard<std::mutex> lock(logMutex);
    lines.push_back({priority, text});
}
}  // namespace

std::vector<LogLine> capturedLog() {
    std::lock_guard<std::mutex> lock(logMutex);
    return lines;
}

void clearCapturedLog() {
    std::lock_guard<std::mutex> lock(logMutex);
    lines.clear();
}


extern "C" void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    capture(priority, format, args);
    va_end(args);
}

extern "C" void __syslog_chk(int priority, int, const char *format, ...) {
    va_list args;
    va_start(args, format);
    capture(priority, format, args);
    va_end(args);
}
