// orvad-show: prints what orvad would advertise for this switch, without touching any SLP
// agent. It runs the daemon's own readers and record builders once and prints each record
// in registration order: the URL, then its attribute items one per line.
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include <string>

#include "advertise.h"
#include "keshlib.h"

namespace {

// Splits an attribute list after each "," that ends an item (one that follows ")" and
// precedes "("); values with commas or parentheses of their own stay whole.
void printRecord(const ServiceRecord &record) {
    printf("%s\n  ", record.url.c_str());
    const std::string &text = record.attributes;
    for (size_t i = 0; i < text.size(); i++) {
        putchar(text[i]);
        if (text[i] == ',' && i > 0 && text[i - 1] == ')' && i + 1 < text.size() && text[i + 1] == '(')
            fputs("\n  ", stdout);
    }
    putchar('\n');
}

void printList(const ServiceList &list) {
    for (const ServiceRecord &record : list) printRecord(record);
}

}  // namespace

int main(int argc, char *argv[]) {
    if (argc > 1) {
        fprintf(stderr, "usage: orvad-show\n"
                        "Prints the SLP records orvad would register for the switch behind the\n"
                        "management library (KESH_STATE selects the development switch's state file).\n");
        return strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    // The readers' messages, and the pass's, go to standard error as well as to syslog.
    openlog("orvad-show", LOG_PERROR, LOG_USER);

    int result = kesh_IPConnect("127.0.0.1", "cim", "", &smlHandle);
    if (result != 0 || smlHandle == 0) {
        syslog(LOG_CRIT, "keshlib connection failed: %d\n", result);
        return 1;
    }

    AdvertisementState state;
    memset(&state, 0, sizeof state);
    int status = 0;
    try {
        buildServiceLists(&state);
        // The order in which a pass registers them.
        for (int i = 0; i < 2; i++) {
            printList(wbemServices[i]);
            printList(ioServices[i]);
        }
    } catch (const slp_except &e) {
        logSlpException(e);
        status = 1;
    } catch (const std::exception &e) {
        fprintf(stderr, "orvad-show: %s\n", e.what());
        status = 1;
    }
    releaseAdvertisementRecords(&state);
    return status;
}
