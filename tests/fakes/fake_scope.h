// fake_scope.h: marks the doubles' own allocations, so that a test which fails allocations on
// purpose fails only those of the code under test; and the doubles' scripted answers.
#ifndef ORVAD_TESTS_FAKES_FAKE_SCOPE_H
#define ORVAD_TESTS_FAKES_FAKE_SCOPE_H

#include <deque>

// Non-zero while the calling thread runs inside a double.
inline thread_local int fakeAllocationDepth = 0;

struct FakeScope {
    FakeScope() { ++fakeAllocationDepth; }
    ~FakeScope() { --fakeAllocationDepth; }
    FakeScope(const FakeScope &) = delete;
    FakeScope &operator=(const FakeScope &) = delete;
};

// The next scripted answer, taken off `script`; `otherwise` once the script is used up.
template <typename T> T takeNext(std::deque<T> &script, const typename std::deque<T>::value_type &otherwise) {
    if (script.empty()) return otherwise;
    T next = script.front();
    script.pop_front();
    return next;
}

#endif
