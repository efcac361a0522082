// pass_driver.cpp: runs the advertisement code and the switch library step by step against the
// scripted switch (values from the state file it is given) and the recording SLP library, and
// prints what every step did. The case is the file named by the only argument; passes/README
// describes the notation, golden-cases.sh compares.
#include <limits.h>
#include <string.h>
#include <syslog.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <iostream>
#include <new>
#include <sstream>

#include "daemon.h"
#include "test_switch.h"

namespace {

AdvertisementState state{};
const char *const kPriorities[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
const char *const kCalls[] = {"stack", "create", "lock", "signal", "unlock"};  // as fakesys::Call

std::string numbers(const std::vector<uint32_t> &list) {
    std::string out;
    for (uint32_t n : list) out += " " + std::to_string(n);
    return out;
}

// Records for the URLs that follow on the line, up to "/" or its end; each one's attribute list
// names `tag` and the URL.
ServiceList records(std::istream &in, const std::string &tag) {
    ServiceList list;
    for (std::string url; in >> url && url != "/";) list.push_back({url, "(" + tag + "=" + url + ")"});
    return list;
}

std::string urls(const char *name, const ServiceList &list) {
    std::string out = name;
    for (const ServiceRecord &r : list) out += " " + r.url;
    return out + "\n";
}

// Prints, then forgets, what the doubles saw during a step: SLP calls, which interfaces the
// switch reads named, log lines (newlines shown as \n) and sleep requests.
void printEvents(size_t *sleeps) {
    for (const std::string &call : fakeSlp().calls) std::cout << call << "\n";
    bool eth[2] = {false, false};
    for (const auto &batch : fakeKesh().batches)
        for (const std::string &name : batch)
            for (int i = 0; i < 2; i++) eth[i] = eth[i] || name.find(i ? ".1." : ".0.") != std::string::npos;
    if (!fakeKesh().batches.empty())
        std::cout << "reads switch" << (eth[0] ? ", interface 0" : "") << (eth[1] ? ", interface 1" : "") << "\n";
    for (LogLine line : capturedLog()) {
        for (size_t at; (at = line.text.find('\n')) != std::string::npos;) line.text.replace(at, 1, "\\n");
        const bool known = line.priority >= 0 && line.priority < 8;  // anything else carries a facility
        std::cout << "log " << (known ? kPriorities[line.priority] : "facility?") << " " << line.text << "\n";
    }
    std::vector<unsigned int> requests = fakesys::sleepRequests();
    for (; *sleeps < requests.size(); ++*sleeps) std::cout << "sleep " << requests[*sleeps] << "\n";
    fakeSlp().calls.clear(), fakeSlp().registrations.clear(), fakeKesh().batches.clear(), clearCapturedLog();
}

// Ends the driver when a step left the wake mutex locked, as the next lock would hang.
void requireUnlocked(const std::string &done) {
    if (pthread_mutex_trylock(&wakeMutex) != 0) std::cout << done << "mutex left locked\n", std::exit(3);
    pthread_mutex_unlock(&wakeMutex);
}

// Runs one step; returns its result lines. SLP calls get &state as their handle, which the
// recording library takes as any other.
std::string runStep(std::istringstream &in) {
    std::string step, name, text;
    int a = 0, b = 0;
    in >> step;
    if (step == "set" && in >> name) {
        std::getline(in >> std::ws, text);  // the rest of the line, which may be empty
        fakeKesh().values[name] = text;
    } else if (step == "erase" && in >> name) {
        fakeKesh().values.erase(name);
    } else if (step == "status" && in >> name >> a) {
        fakeKesh().statuses[name] = static_cast<uint32_t>(a);
    } else if (step == "open") {
        while (in >> a) fakeSlp().openResults.push_back(static_cast<SLPError>(a));
    } else if (step == "reply" && in >> a >> text) {
        fakeSlp().replies.push_back(
            {static_cast<SLPError>(a), static_cast<SLPError>(text == "-" ? 0 : std::stoi(text)), text != "-"});
    } else if (step == "inside" && in >> text) {
        in >> a;
        fakeSlp().onRequest = [text, a] {
            const std::string what = text;  // copies: the next line ends this function object
            const int count = a;
            fakeSlp().onRequest = nullptr;
            for (int i = 0; what == "wake" && i < count && i < 100; i++) wakeSlpThread();
            if (what == "bad_alloc") throw std::bad_alloc();
            if (what == "int") throw 1;
        };
    } else if (step == "wait") {  // with none pending the wait must block until the next one
        const bool pending = wakeCount != 0;
        auto waiter = std::async(std::launch::async, waitForWakeups);
        if (!pending && waiter.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready)
            return "= returned " + std::to_string(waiter.get()) + " without a wake-up\n";
        if (!pending) wakeSlpThread();
        if (waiter.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
            std::cout << "= still blocked after a wake-up\n", std::exit(3);  // leaves the waiter
        a = static_cast<int>(waiter.get());
        requireUnlocked("");
        return (pending ? "= " : "= blocked until a wake-up, then ") + std::to_string(a) + " taken, " +
               std::to_string(wakeCount) + " left\n";
    } else if (step == "wake" && in >> a) {
        text = "=";
        for (int i = 0; i < a && i < 100; i++) {
            text += " " + std::to_string(wakeSlpThread());
            requireUnlocked(text + ", ");
        }
        return text + ", wake-ups " + std::to_string(wakeCount) + "\n";
    } else if (step == "timer") {
        runTimerLoop();
        return "= wake-ups " + std::to_string(wakeCount) + "\n";
    } else if (step == "fail" && in >> text >> a >> b) {
        const long call = std::find(kCalls, kCalls + 5, text) - kCalls;
        if (call == 5) return "?? no such call\n";
        fakesys::failNext(static_cast<fakesys::Call>(call), a, b);
    } else if (step == "connect") {
        for (uint32_t handle; in >> a >> handle;) fakeKesh().connectScript.push_back({a, handle});
    } else if (step == "subscribe" && in >> a) {
        fakeKesh().subscribeResult = a;
    } else if (step == "init") {
        FakeKesh &k = fakeKesh();
        a = keshlibInit();
        text = "= " + std::to_string(a) + ", handle " + std::to_string(smlHandle) + ", connects " +
               std::to_string(k.connectCalls);
        for (const std::string &argument : k.connectArguments) text += " '" + argument + "'";
        if (k.callback)
            text += "\nsubscribed handle " + std::to_string(k.subscribedHandle) +
                    (k.callback == keshlibNotificationCB ? " for keshlibNotificationCB, codes" : " elsewhere, codes") +
                    numbers(k.subscribedCodes) + ", reserved" + numbers(k.subscribedReserved);
        k.connectCalls = 0, k.connectArguments.clear(), k.callback = nullptr;
        return text + "\n";
    } else if (step == "event" && in >> a >> b) {  // stops the clock: the debounce thread must sleep
        fakesys::setAutoAdvance(false);
        const int before = fakesys::threads().created;
        for (int i = 0; i < b && i < 100; i++) keshlibNotificationCB(7, static_cast<uint32_t>(a), 0);
        const fakesys::Threads threads = fakesys::threads();
        const int started = threads.created - before;
        text = "= started " + std::to_string(started);
        if (started > 0) {
            const size_t stack = threads.lastStackSize;
            text += std::string(fakesys::waitForSleepers(1) ? ", asleep" : ", not asleep") + ", stack " +
                    (stack == std::max<size_t>(65536, PTHREAD_STACK_MIN) ? "ok" : std::to_string(stack)) +
                    (threads.lastDetached ? ", detached" : ", joinable");
        }
        return text + (notificationPending ? ", pending\n" : ", not pending\n");
    } else if (step == "advance" && in >> a) {
        fakesys::advance(static_cast<unsigned int>(a));
        text = fakesys::waitForThreadsToEnd() ? "= threads ended" : "= a thread sleeps on";  // 5 s to find out
        return text + (notificationPending ? ", pending" : ", not pending") + ", wake-ups " +
               std::to_string(wakeCount) + "\n";
    } else if (step == "cycle") {
        a = runAdvertisementCycle(&state);
        text = std::string(state.chassis.wwn ? " chassis" : "") + (state.network[0].macAddress ? " net0" : "") +
               (state.network[1].macAddress ? " net1" : "") + (state.services.snmpEngineId ? " services" : "");
        return "= " + std::to_string(a) + ", handle " + (state.handle ? "open" : "none") + ", records" +
               (text.empty() ? " none" : text) + ", wake-ups " + std::to_string(wakeCount) + "\n";
    } else if (step == "lists") {
        return urls("wbem 0:", wbemRegistered[0]) + urls("wbem 1:", wbemRegistered[1]) +
               urls("io 0:", ioRegistered[0]) + urls("io 1:", ioRegistered[1]);
    } else if (step == "register") {
        text = "= " + std::to_string(registerServices(&state, records(in, "a"))) + "\n";
        for (const FakeSlpRegistration &r : fakeSlp().registrations)
            text += "  " + r.url + " " + r.attributes + ", lifetime " + std::to_string(r.lifetime) +
                    (r.serviceTypeNull ? ", no type" : ", a type") +
                    (r.fresh == SLP_TRUE ? ", fresh\n" : ", not fresh\n");
        return text;
    } else if (step == "deregister") {
        ServiceList keep = records(in, "kept");
        return "= " + std::to_string(deregisterStaleServices(&state, keep, records(in, "a"))) + "\n";
    } else if (step == "callback" && in >> a) {
        SLPError status = static_cast<SLPError>(99);  // no SLP code
        slpCallback(&state, static_cast<SLPError>(a), &status);
        return "= status " + std::to_string(status) + "\n";
    } else if (step == "thread" && in >> text >> a >> b) {
        fakesys::failNext(text == "stack" ? fakesys::kStackSize : fakesys::kCreateThread, a, b);
        a = createSlpThread();
        return "= " + std::to_string(a) + ", threads " + std::to_string(fakesys::threads().created) + "\n";
    } else if (step == "except" && in >> a >> b) {
        slp_except e("orvad_thread", "slpThread", 339, a, "%d x: %s", b, std::string(b, 'x').c_str());
        logSlpException(e);
        return "= length " + std::to_string(strlen(e.message)) + "\n";
    } else {
        return "?? not a step\n";
    }
    return "";
}

}  // namespace

int main(int argc, char **argv) {
    std::ifstream file(argc == 2 ? argv[1] : "");
    if (!file || !startSwitch(TEST_SWITCH_STATE)) return std::cerr << "usage: pass_driver CASE\n", 2;
    size_t sleeps = 0;
    for (std::string line; std::getline(file, line);) {
        const bool step = !line.empty() && line[0] != '#';  // other lines are copied as they are
        std::cout << (step ? "> " : "") << line << "\n";
        std::istringstream in(line);
        std::string result = step ? runStep(in) : "";
        printEvents(&sleeps);
        std::cout << result;
    }
    releaseAdvertisementRecords(&state);
    fakesys::uninstall();
}
