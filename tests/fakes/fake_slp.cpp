#include "fake_slp.h"

#include "fake_scope.h"

namespace {

FakeSlp fake;
int handleToken;  // every handle the fake gives out points here

SLPError answer(SLPHandle handle, SLPRegReport *callback, void *cookie) {
    const FakeSlpReply reply = takeNext(fake.replies, FakeSlpReply{SLP_OK, SLP_OK, true});
    if (reply.callback) callback(handle, reply.callbackCode, cookie);
    return reply.result;
}

}  // namespace

FakeSlp &fakeSlp() { return fake; }

void resetFakeSlp() { fake = FakeSlp(); }

SLPError SLPOpen(const char *, SLPBoolean, SLPHandle *handle) {
    FakeScope scope;
    fake.calls.push_back("open");
    const SLPError result = takeNext(fake.openResults, SLP_OK);
    if (result != SLP_OK) return result;
    *handle = &handleToken;
    return SLP_OK;
}

void SLPClose(SLPHandle) {
    FakeScope scope;
    fake.calls.push_back("close");
}

SLPError SLPReg(SLPHandle handle, const char *url, unsigned short lifetime, const char *serviceType,
                const char *attributes, SLPBoolean fresh, SLPRegReport callback, void *cookie) {
    FakeScope scope;
    if (fake.onRequest) fake.onRequest();
    fake.calls.push_back(std::string("reg ") + url);
    fake.registrations.push_back({url, attributes, lifetime, serviceType == nullptr, fresh});
    return answer(handle, callback, cookie);
}

SLPError SLPDereg(SLPHandle handle, const char *url, SLPRegReport callback, void *cookie) {
    FakeScope scope;
    if (fake.onRequest) fake.onRequest();
    fake.calls.push_back(std::string("dereg ") + url);
    return answer(handle, callback, cookie);
}
