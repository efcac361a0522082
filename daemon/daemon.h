// daemon.h: the daemon process: command line, usage text and the ten-minute timer loop.
#ifndef ORVAD_DAEMON_DAEMON_H
#define ORVAD_DAEMON_DAEMON_H

// Seconds between the timer loop's wake-ups of the advertisement thread.
constexpr unsigned int kTimerSeconds = 600;

// --- command_line.cpp ---

// Writes the five-line usage text to standard error and ends the process with `status`.
[[noreturn]] void usage(int status);

// Parses the options; returns true when -d (or --daemon) asked to run in the background.
// -h (or --help) prints the usage and exits 0; anything else unknown prints the parser's
// message and the usage and exits -1. Arguments that are not options are ignored.
bool parseCommandLine(int argc, char *const argv[]);

// --- timer_loop.cpp ---

// Sleeps ten minutes and wakes the advertisement thread, for as long as waking succeeds.
// Returns when it fails.
void runTimerLoop(void);

#endif
