#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include "daemon.h"

namespace {

const char *const kUsageLines[] = {
    "orvad [options]",
    "",
    " -d, --daemon              run in the background",
    " -h, --help                display this message (and exit)",
    "",
};

// The long forms return the letters of their short forms, so --help and --daemon do what
// -h and -d do (the parser would otherwise return 0 for both, which reads as unknown).
const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"daemon", no_argument, nullptr, 'd'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

void usage(int status) {
    for (const char *line : kUsageLines) fprintf(stderr, "%s\n", line);
    exit(status);
}

bool parseCommandLine(int argc, char *const argv[]) {
    bool background = false;
    int option;
    while ((option = getopt_long(argc, argv, "hd", kLongOptions, nullptr)) != -1) {
        if (option == 'd')
            background = true;
        else if (option == 'h')
            usage(0);
        else
            usage(-1);
    }
    return background;
}
