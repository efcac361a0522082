// log-sink: receives syslog(3) datagrams on a unix socket of its own and prints each as one
// line, "[SEVERITY NAME] TEXT". With tools/run-isolated, which makes that socket a program's
// /dev/log, it shows the program's log lines on a machine without a syslog daemon. With
// --stamped each line keeps everything a test compares: arrival time, priority, tag, exact text.
#include <signal.h>
#include <time.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "syslog_record.h"

namespace {

const char kUsage[] = "usage: log-sink [--stamped] SOCKET\n"
                      "  Creates the unix datagram socket SOCKET and prints every syslog message sent to it\n"
                      "  as \"[SEVERITY NAME] TEXT\" until SIGINT or SIGTERM, then removes the socket.\n"
                      "  --stamped: \"SECONDS <PRIORITY>TAG: TEXT\" instead; SECONDS on the monotonic clock\n"
                      "  (microseconds), TEXT whole, a backslash and every newline escaped too.\n";

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

// The text on one line: a trailing newline dropped, other control characters escaped. `whole`
// keeps that newline (as "\n") and escapes backslashes, so the line maps back to exact bytes.
std::string printable(const std::string &text, bool whole) {
    std::string out;
    size_t end = !whole && !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
    for (size_t i = 0; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (whole && c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

const char *severityName(int severity) {
    static const char *const names[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
    return severity >= 0 && severity < 8 ? names[severity] : "?";
}

}  // namespace

int main(int argc, char **argv) {
    const bool stamped = argc == 3 && std::strcmp(argv[1], "--stamped") == 0;
    if ((argc != 2 && !stamped) || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, argc == 2 ? stdout : stderr);
        return argc == 2 ? 0 : 2;
    }
    const char *path = argv[argc - 1];
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        std::fprintf(stderr, "log-sink: socket path too long: %s\n", path);
        return 1;
    }
    std::strcpy(address.sun_path, path);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct stat existing {};
    if (lstat(path, &existing) == 0 && S_ISSOCK(existing.st_mode)) unlink(path);  // a stale socket of ours
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "log-sink: cannot create %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = onStopSignal;  // no SA_RESTART: recv returns with EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    std::string buffer(65536, '\0');
    while (!stopRequested) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "log-sink: %s\n", std::strerror(errno));
            break;
        }
        logsink::SyslogRecord record = logsink::parseSyslogDatagram(buffer.substr(0, static_cast<size_t>(n)));
        if (stamped) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("%lld.%06ld <%d>%s: %s\n", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000,
                        record.priority, record.tag.c_str(), printable(record.text, true).c_str());
        } else {
            std::printf("[%d %s] %s\n", record.severity(), severityName(record.severity()),
                        printable(record.text, false).c_str());
        }
    }
    close(fd);
    unlink(path);
    return 0;
}
