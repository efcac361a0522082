// fake_slp.h: a recording SLP client library for unit tests.
//
// Records every SLPOpen, SLPClose, SLPReg and SLPDereg, answers them as scripted, and runs
// the completion report inside the call, as a synchronous handle does.
#ifndef ORVAD_TESTS_FAKES_FAKE_SLP_H
#define ORVAD_TESTS_FAKES_FAKE_SLP_H

#include <slp.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

struct FakeSlpReply {
    SLPError result;        // what SLPReg or SLPDereg returns
    SLPError callbackCode;  // the code handed to the completion report
    bool callback;          // whether the report runs at all
};

struct FakeSlpRegistration {
    std::string url;
    std::string attributes;
    unsigned short lifetime;
    bool serviceTypeNull;
    SLPBoolean fresh;
};

struct FakeSlp {
    std::deque<SLPError> openResults;  // scripted SLPOpen results, then SLP_OK
    std::deque<FakeSlpReply> replies;  // scripted SLPReg/SLPDereg answers, then success
    // "open", "close", "reg URL" or "dereg URL" per call, in order.
    std::vector<std::string> calls;
    std::vector<FakeSlpRegistration> registrations;
    std::function<void()> onRequest;  // runs at the start of every SLPReg and SLPDereg
};

FakeSlp &fakeSlp();
void resetFakeSlp();

#endif
