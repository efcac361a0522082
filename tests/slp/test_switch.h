// test_switch.h: the scripted switch for whole advertisement passes, with a virtual clock
// whose sleeps return at once.
#ifndef ORVAD_TESTS_SLP_TEST_SWITCH_H
#define ORVAD_TESTS_SLP_TEST_SWITCH_H

#include <fstream>
#include <string>

#include "advertise.h"
#include "fake_kesh.h"
#include "fake_slp.h"
#include "fake_system_calls.h"
#include "keshlib.h"
#include "syslog_capture.h"

// Loads the "NAME = VALUE" lines of the file at `path` as the switch's values and installs the
// virtual clock (undone by fakesys::uninstall()). Returns false when the file gave no values.
inline bool startSwitch(const char *path) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (size_t eq = line.find(" = "); line[0] != '#' && eq != std::string::npos)
            fakeKesh().values[line.substr(0, eq)] = line.substr(eq + 3);
    fakesys::install();
    fakesys::setAutoAdvance(true);
    return !fakeKesh().values.empty();
}

#endif
