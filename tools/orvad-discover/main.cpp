// orvad-discover: finds the switches on the network through SLP (their service:wbem and
// service:io-device.3873 registrations) and prints one row per switch, as a table or JSON.
#include <slp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
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

// The SLP handles of one run: `main` for the finds (multicast, or the agent of -u), `direct`
// for asking a switch's own agent by unicast, opened on first use.
struct Session {
    SLPHandle main = nullptr;
    SLPHandle direct = nullptr;
    ~Session() {
        if (direct != nullptr) SLPClose(direct);
        if (main != nullptr) SLPClose(main);
    }
};

UnicastAnswer askDirect(Session *session, const std::string &host, const std::string &url, std::string *attributes) {
    SLPError result = SLP_OK;
    if (session->direct == nullptr) result = SLPOpen("", SLP_FALSE, &session->direct);
    if (result == SLP_OK) result = SLPAssociateIP(session->direct, host.c_str());
    AttrResult direct;
    if (result == SLP_OK) result = SLPFindAttrs(session->direct, url.c_str(), "", "", onAttrs, &direct);
    if (result != SLP_OK || direct.error != SLP_OK) return UnicastAnswer::Failed;
    *attributes = direct.text;
    return direct.found ? UnicastAnswer::Found : UnicastAnswer::Nothing;
}

int askMain(Session *session, const std::string &url, std::string *attributes) {
    AttrResult found;
    SLPError result = SLPFindAttrs(session->main, url.c_str(), "", "", onAttrs, &found);
    *attributes = found.text;
    return result == SLP_OK ? found.error : result;
}

// Finds the records on the network; returns -1 on success, else the exit status.
int findRecords(const Options &options, std::vector<FoundRecord> *records) {
    if (options.wait != nullptr) SLPSetProperty("net.slp.multicastMaximumWait", options.wait);
    if (options.port != nullptr) SLPSetProperty("net.slp.port", options.port);
    Session session;
    SLPError result = SLPOpen("", SLP_FALSE, &session.main);
    if (result != SLP_OK) return apiFailure("opening an SLP handle", result);
    if (options.unicast != nullptr && (result = SLPAssociateIP(session.main, options.unicast)) != SLP_OK)
        return apiFailure(std::string("agent address ") + options.unicast, result);
    if (options.interfaces != nullptr && (result = SLPAssociateIFList(session.main, options.interfaces)) != SLP_OK)
        return apiFailure(std::string("interfaces ") + options.interfaces, result);

    UrlList found;
    for (const char *type : kServiceTypes) {
        result = SLPFindSrvs(session.main, type, "", "", onUrl, &found);
        if (result == SLP_OK) result = found.error;
        if (result != SLP_OK) return apiFailure(std::string("finding ") + type, result);
    }
    AttributeSource source;
    source.unicastAllowed = options.unicast == nullptr;
    source.unicast = [&session](const std::string &host, const std::string &url, std::string *attributes) {
        return askDirect(&session, host, url, attributes);
    };
    source.fallback = [&session](const std::string &url, std::string *attributes) {
        return askMain(&session, url, attributes);
    };
    std::string failedUrl;
    result = static_cast<SLPError>(fetchAttributes(found.urls, source, records, &failedUrl));
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
