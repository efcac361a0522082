// fake_scope.h: marks the doubles' own allocations, so that a test which fails allocations on
// purpose fails only those of the code under test.
#ifndef ORVAD_TESTS_FAKES_FAKE_SCOPE_H
#define ORVAD_TESTS_FAKES_FAKE_SCOPE_H

// Non-zero while the calling thread runs inside a double.
inline thread_local int fakeAllocationDepth = 0;

struct FakeScope {
    FakeScope() { ++fakeAllocationDepth; }
    ~FakeScope() { --fakeAllocationDepth; }
    FakeScope(const FakeScope &) = delete;
    FakeScope &operator=(const FakeScope &) = delete;
};

#endif
