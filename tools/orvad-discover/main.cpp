// orvad-discover: finds the switches on the network through SLP (their service:wbem and
// service:io-device.3873 registrations) and prints one row per switch, as a table or JSON.
#include <slp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "discovery.h"

namespace {

const char kUsage[] =
    "usage: orvad-discover [--json] [--wait MS] [-u ADDR] [-i IFLIST] [--port N]\n"
    "Finds every switch that advertises itself through SLP and prints one row per switch:\n"
    "name, product, serial, WWN, whether CIM is on, management addresses and WBEM URLs.\n"
    "  --json      a JSON array, one object per line\n"
    "  --wait MS   longest wait of a multicast request (net.slp.multicastMaximumWait)\n"
    "  -u ADDR     ask only the SLP agent at ADDR, by unicast\n"
    "  -i IFLIST   multicast out of these local interface addresses (comma list)\n"
    "  --port N    SLP port (net.slp.port, default 427)\n"
    "  -h, --help  this text\n";

const char *const kServiceTypes[] = {"service:wbem", "service:io-device.3873"};

struct Options {
    bool json = false;
    const char *wait = nullptr;
    const char *unicast = nullptr;
    const char *interfaces = nullptr;
    const char *port = nullptr;
    const char *recordFile = nullptr;  // test mode: records from a file in orvad-show's layout
};

struct UrlList {
    std::vector<std::string> urls;
    SLPError error = SLP_OK;
};

struct AttrResult {
    std::string text;
    bool found = false;
    SLPError error = SLP_OK;
};

const char *errorName(SLPError code) {
    switch (code) {
    case SLP_LANGUAGE_NOT_SUPPORTED: return "language not supported";
    case SLP_PARSE_ERROR: return "parse error";
    case SLP_SCOPE_NOT_SUPPORTED: return "scope not supported";
    case SLP_NOT_IMPLEMENTED: return "not implemented";
    case SLP_BUFFER_OVERFLOW: return "buffer overflow";
    case SLP_NETWORK_TIMED_OUT: return "network timed out";
    case SLP_NETWORK_INIT_FAILED: return "network initialisation failed";
    case SLP_MEMORY_ALLOC_FAILED: return "out of memory";
    case SLP_PARAMETER_BAD: return "bad parameter";
    case SLP_NETWORK_ERROR: return "network error";
    case SLP_INTERNAL_SYSTEM_ERROR: return "internal system error";
    case SLP_HANDLE_IN_USE: return "handle in use";
    case SLP_TYPE_ERROR: return "type error";
    default: return "SLP error";
    }
}

// Prints "orvad-discover: WHAT: NAME (CODE)" and gives the exit status of an API error.
int apiFailure(const std::string &what, SLPError code) {
    std::fprintf(stderr, "orvad-discover: %s: %s (%d)\n", what.c_str(), errorName(code), code);
    return 1;
}

SLPBoolean SLPCALLBACK onUrl(SLPHandle, const char *url, unsigned short, SLPError errCode, void *cookie) {
    auto *list = static_cast<UrlList *>(cookie);
    if (errCode == SLP_OK && url != nullptr) {
        bool seen = false;
        for (const std::string &known : list->urls) seen = seen || known == url;
        if (!seen) list->urls.push_back(url);
    } else if (errCode < 0 && list->error == SLP_OK) {
        list->error = errCode;
    }
    return SLP_TRUE;
}

// Keeps the first list found; several answers for one URL would only repeat it.
SLPBoolean SLPCALLBACK onAttrs(SLPHandle, const char *attrs, SLPError errCode, void *cookie) {
    auto *result = static_cast<AttrResult *>(cookie);
    if (errCode == SLP_OK && attrs != nullptr && !result->found) {
        result->text = attrs;
        result->found = *attrs != '\0';
    } else if (errCode < 0 && result->error == SLP_OK) {
        result->error = errCode;
    }
    return SLP_TRUE;
}

// Accepts a decimal number in [low, high] as the value of `option`.
bool checkNumber(const char *option, const char *text, long low, long high) {
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < low || value > high) {
        std::fprintf(stderr, "orvad-discover: bad value '%s' for %s\n", text, option);
        return false;
    }
    return true;
}

// Fills `options` from the command line; returns -1 to go on, else the exit status.
int parseOptions(int argc, char **argv, Options *options) {
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--json") {
            options->json = true;
            continue;
        }
        const char **target = arg == "--wait"      ? &options->wait
                              : arg == "-u"        ? &options->unicast
                              : arg == "-i"        ? &options->interfaces
                              : arg == "--port"    ? &options->port
                              : arg == "--records" ? &options->recordFile
                                                   : nullptr;
        if (target == nullptr || i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        *target = argv[++i];
    }
    if (options->wait != nullptr && !checkNumber("--wait", options->wait, 1, 3600000)) return 2;
    if (options->port != nullptr && !checkNumber("--port", options->port, 1, 65535)) return 2;
    return -1;
}

// Questions for attribute lists are asked this many at a time: half what an agent takes in TCP
// connections from one station, as questions through a directory agent go over TCP.
constexpr size_t kWindow = 8;

// An SLP handle set up as the finds are: associated with the agent of -u and the interfaces of
// -i; closed when it goes.
struct FindHandle {
    SLPHandle handle = nullptr;
    SLPError error = SLP_OK;
    explicit FindHandle(const Options &options) {
        error = SLPOpen("", SLP_FALSE, &handle);
        if (error == SLP_OK && options.unicast != nullptr) error = SLPAssociateIP(handle, options.unicast);
        if (error == SLP_OK && options.interfaces != nullptr) error = SLPAssociateIFList(handle, options.interfaces);
    }
    FindHandle(const FindHandle &) = delete;
    FindHandle &operator=(const FindHandle &) = delete;
    ~FindHandle() {
        if (handle != nullptr) SLPClose(handle);
    }
};

struct Probe {
    SLPHandle handle = nullptr;
    ~Probe() {
        if (handle != nullptr) SLPClose(handle);
    }
};

// Asks one question: at its host by unicast through `direct`, or through `main`.
void askOne(FindHandle *main, SLPHandle *direct, AttributeAsk *a) {
    AttrResult found;
    if (a->host.empty()) {
        SLPError result = main->error;
        if (result == SLP_OK) result = SLPFindAttrs(main->handle, a->url.c_str(), "", "", onAttrs, &found);
        a->attributes = found.text;
        a->error = result == SLP_OK ? found.error : result;
        return;
    }
    SLPError result = *direct != nullptr ? SLP_OK : SLPOpen("", SLP_FALSE, direct);
    if (result == SLP_OK) result = SLPAssociateIP(*direct, a->host.c_str());
    if (result == SLP_OK) result = SLPFindAttrs(*direct, a->url.c_str(), "", "", onAttrs, &found);
    a->answer = result != SLP_OK || found.error != SLP_OK ? UnicastAnswer::Failed
                : found.found                            ? UnicastAnswer::Found
                                                         : UnicastAnswer::Nothing;
    a->attributes = found.text;
}

// Asks every question, kWindow at a time, each worker with handles of its own.
void askAll(const Options &options, std::vector<AttributeAsk> *asks) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        FindHandle main(options);
        SLPHandle direct = nullptr;
        for (size_t i; (i = next++) < asks->size();) askOne(&main, &direct, &(*asks)[i]);
        if (direct != nullptr) SLPClose(direct);
    };
    std::vector<std::thread> workers;
    for (size_t w = 1; w < std::min(kWindow, asks->size()); w++) workers.emplace_back(work);
    if (!asks->empty()) work();
    for (std::thread &t : workers) t.join();
}

// Finds the records on the network, both service types at once; returns -1 on success, else
// the exit status.
int findRecords(const Options &options, std::vector<FoundRecord> *records) {
    if (options.wait != nullptr) SLPSetProperty("net.slp.multicastMaximumWait", options.wait);
    if (options.port != nullptr) SLPSetProperty("net.slp.port", options.port);
    {
        Probe probe;  // the arguments, checked once, before any thread starts
        SLPError result = SLPOpen("", SLP_FALSE, &probe.handle);
        if (result != SLP_OK) return apiFailure("opening an SLP handle", result);
        if (options.unicast != nullptr && (result = SLPAssociateIP(probe.handle, options.unicast)) != SLP_OK)
            return apiFailure(std::string("agent address ") + options.unicast, result);
        if (options.interfaces != nullptr && (result = SLPAssociateIFList(probe.handle, options.interfaces)) != SLP_OK)
            return apiFailure(std::string("interfaces ") + options.interfaces, result);
    }
    UrlList found[2];
    std::thread second([&] {
        FindHandle h(options);
        SLPError result = h.error != SLP_OK ? h.error : SLPFindSrvs(h.handle, kServiceTypes[1], "", "", onUrl, &found[1]);
        if (found[1].error == SLP_OK) found[1].error = result;
    });
    {
        FindHandle h(options);
        SLPError result = h.error != SLP_OK ? h.error : SLPFindSrvs(h.handle, kServiceTypes[0], "", "", onUrl, &found[0]);
        if (found[0].error == SLP_OK) found[0].error = result;
    }
    second.join();
    std::vector<std::string> urls;
    for (int t = 0; t < 2; t++) {
        if (found[t].error != SLP_OK) return apiFailure(std::string("finding ") + kServiceTypes[t], found[t].error);
        for (const std::string &url : found[t].urls)
            if (std::find(urls.begin(), urls.end(), url) == urls.end()) urls.push_back(url);
    }
    AttributeSource source;
    source.unicastAllowed = options.unicast == nullptr;
    source.askAll = [&options](std::vector<AttributeAsk> *asks) { askAll(options, asks); };
    std::string failedUrl;
    SLPError result = static_cast<SLPError>(fetchAttributes(urls, source, records, &failedUrl));
    if (result != SLP_OK) return apiFailure("attributes of " + failedUrl, result);
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    int status = parseOptions(argc, argv, &options);
    if (status >= 0) return status;

    std::vector<FoundRecord> records;
    if (options.recordFile != nullptr) {
        std::ifstream file(options.recordFile, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        if (!file) {
            std::fprintf(stderr, "orvad-discover: cannot read %s\n", options.recordFile);
            return 1;
        }
        records = parseRecordText(text.str());
    } else if ((status = findRecords(options, &records)) >= 0) {
        return status;
    }
    const std::vector<SwitchRow> rows = groupSwitches(records);
    const std::string out = options.json ? formatJson(rows) : formatText(rows);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
