// fake_kesh.h: a scripted switch management library for unit tests.
//
// Serves values from a map, answers connects and batches as scripted, and records every
// call. Tests reset it in SetUp; all access is from the test's own thread.
#ifndef ORVAD_TESTS_FAKES_FAKE_KESH_H
#define ORVAD_TESTS_FAKES_FAKE_KESH_H

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "kesh.h"

constexpr uint32_t kFakeMissingStatus = 0x1f;  // status of a name the fake does not hold

struct FakeConnectResult {
    int result;
    uint32_t handle;  // stored in *handle when result is 0
};

struct FakeKesh {
    // Connects: scripted results in order; once used up, every connect gives {0, 7}.
    std::deque<FakeConnectResult> connectScript;
    int connectCalls = 0;
    std::vector<std::string> connectArguments;  // host, service, options of the last call

    int subscribeResult = 0;
    KeshEventCallback callback = nullptr;
    uint32_t subscribedHandle = 0;
    std::vector<uint32_t> subscribedCodes;  // code of each pair, in list order
    std::vector<uint32_t> subscribedReserved;

    // Values by name; a name without a value gets kFakeMissingStatus. `statuses` overrides
    // the status of a name.
    std::map<std::string, std::string> values;
    std::map<std::string, uint32_t> statuses;
    std::vector<std::vector<std::string>> batches;  // names of every batch call, in order
};

// The one fake; resetFakeKesh() gives it back its initial state.
FakeKesh &fakeKesh();
void resetFakeKesh();

#endif
