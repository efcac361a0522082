// syslog_capture.h: replaces syslog in a test binary and keeps every message.
#ifndef ORVAD_TESTS_FAKES_SYSLOG_CAPTURE_H
#define ORVAD_TESTS_FAKES_SYSLOG_CAPTURE_H

#include <string>
#include <vector>

struct LogLine {
    int priority;
    std::string text;  // the formatted message, exactly as the program formatted it
};

// Messages logged since the last clear, in order; safe from any thread.
std::vector<LogLine> capturedLog();
void clearCapturedLog();

#endif
