// syslog_record.h: one datagram of syslog(3) split into priority, tag and message text.
// Header-only: used by tools/log-sink and the end-to-end tests.
#ifndef ORVAD_TOOLS_LOG_SINK_SYSLOG_RECORD_H
#define ORVAD_TOOLS_LOG_SINK_SYSLOG_RECORD_H

#include <cctype>
#include <string>

namespace logsink {

struct SyslogRecord {
    int priority = -1;  // facility * 8 + severity; -1 when the datagram has no "<PRI>"
    std::string tag;    // "orvad" (a "[PID]" suffix is dropped); empty when there is none
    std::string text;   // the message as sent, byte for byte (a trailing newline kept)

    int severity() const { return priority < 0 ? -1 : priority & 7; }
};

// Splits "<PRI>Mmm dd hh:mm:ss TAG: TEXT", the form glibc's syslog(3) sends to /dev/log. A
// part that is missing is left empty and the rest is taken as text.
inline SyslogRecord parseSyslogDatagram(const std::string &datagram) {
    SyslogRecord record;
    size_t at = 0;
    if (datagram.size() > 2 && datagram[0] == '<') {
        size_t close = datagram.find('>');
        if (close != std::string::npos && close > 1 && close <= 4) {
            int pri = 0;
            bool digits = true;
            for (size_t i = 1; i < close; ++i) {
                if (!std::isdigit(static_cast<unsigned char>(datagram[i]))) digits = false;
                pri = pri * 10 + (datagram[i] - '0');
            }
            if (digits) {
                record.priority = pri;
                at = close + 1;
            }
        }
    }
    // Timestamp "Mmm dd hh:mm:ss " (the day padded with a blank).
    const std::string stamp = datagram.substr(at, 16);
    if (stamp.size() == 16 && stamp[3] == ' ' && stamp[6] == ' ' && stamp[9] == ':' && stamp[12] == ':' &&
        stamp[15] == ' ')
        at += 16;
    size_t colon = datagram.find(": ", at);
    if (colon != std::string::npos && datagram.find(' ', at) > colon) {
        record.tag = datagram.substr(at, colon - at);
        size_t bracket = record.tag.find('[');
        if (bracket != std::string::npos && record.tag.back() == ']') record.tag.resize(bracket);
        at = colon + 2;
    }
    record.text = datagram.substr(at);
    return record;
}

}  // namespace logsink

#endif
