// reader_test.h: the fixture the reader tests share: a connected fake switch and a clean log.
#ifndef ORVAD_TESTS_CONFIG_READER_TEST_H
#define ORVAD_TESTS_CONFIG_READER_TEST_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include "fake_kesh.h"
#include "keshlib.h"
#include "syslog_capture.h"

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetFakeKesh();
        clearCapturedLog();
        smlHandle = 7;
        unsetenv("FAKE_KEYGEN_OUTPUT");
    }

    void set(const std::string &name, const std::string &value) { fakeKesh().values[name] = value; }
    const std::vector<std::vector<std::string>> &batches() { return fakeKesh().batches; }
};

#endif
