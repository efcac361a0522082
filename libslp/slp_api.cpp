// slp_api.cpp: the RFC 2614 entry points on synchronous handles.
//
// Each call validates its arguments, takes the handle for its duration (a second call on
// the same handle, from a callback or another thread, gets SLP_HANDLE_IN_USE), sends its
// request, checks the replies and runs the callbacks before returning. Registrations go over
// the handle's TCP connection to the local agent; finds go by unicast to the agent named by
// SLPAssociateIP, else to a directory agent (slp_da.h), else by multicast (slp_net.h). No C++
// exception leaves an entry point.
#include <slp.h>

#include "slp_config.h"
#include "slp_da.h"
#include "slp_message.h"
#include "slp_net.h"
#include "slp_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace slpclient {
namespace {

struct Handle {
    std::string language;
    Connection connection;
    std::string unicastIp;       // SLPAssociateIP: finds go by unicast to this agent; empty = multicast
    std::string ifList;          // SLPAssociateIFList: interfaces to multicast out of; empty = configured
    bool busy = false;           // guarded by the registry mutex
    bool closeWhenIdle = false;  // SLPClose arrived while a call was running
};

// Live handles, so a stale or foreign pointer is refused instead of dereferenced.
struct Registry {
    std::mutex mutex;
    std::unordered_set<Handle *> handles;
};

Registry &registry() {
    static Registry instance;
    return instance;
}

// Holds a handle for one API call.
class HandleLease {
public:
    HandleLease() = default;
    HandleLease(const HandleLease &) = delete;
    HandleLease &operator=(const HandleLease &) = delete;

    SLPError acquire(SLPHandle h) {
        Registry &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.handles.find(static_cast<Handle *>(h));
        if (it == r.handles.end()) return SLP_PARAMETER_BAD;
        if ((*it)->busy) return SLP_HANDLE_IN_USE;
        (*it)->busy = true;
        handle_ = *it;
        return SLP_OK;
    }

    ~HandleLease() {
        if (handle_ == nullptr) return;
        bool release = false;
        {
            std::lock_guard<std::mutex> lock(registry().mutex);
            handle_->busy = false;
            release = handle_->closeWhenIdle;
        }
        if (release) delete handle_;
    }

    Handle &operator*() const { return *handle_; }
    Handle *operator->() const { return handle_; }

private:
    Handle *handle_ = nullptr;
};

uint16_t firstXid() {
    uint16_t xid = 0;
    if (getrandom(&xid, sizeof xid, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof xid)) {
        auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        xid = static_cast<uint16_t>(static_cast<uint64_t>(now) ^ static_cast<uint64_t>(getpid()));
    }
    return xid;
}

// Process-wide, so two handles never share an XID in flight; 0 is left to unsolicited DAAdverts.
uint16_t nextXid() {
    static std::atomic<uint16_t> counter{firstXid()};
    for (;;) {
        uint16_t xid = counter.fetch_add(1);
        if (xid != 0) return xid;
    }
}

// What a request gets with net.slp.securityEnabled: this library has no SLP authentication
// (no authentication blocks), and must not run unauthenticated when asked for it.
constexpr SLPError kNoSecurity = SLP_NOT_IMPLEMENTED;

bool isEmpty(const char *s) { return s == nullptr || *s == '\0'; }

// The service type of a URL: the text before its first "://", or NULL when there is none.
const char *typeEnd(const char *url) {
    const char *sep = std::strstr(url, "://");
    return sep == nullptr || sep == url ? nullptr : sep;
}

// One request and its reply. `encode` builds the request for the given header; `decode`
// reads the reply. A reply of another XID or function, one that does not parse or one with
// an extension we must understand but do not: the connection is dropped and the call fails
// with SLP_NETWORK_ERROR.
template <typename Request, typename Reply>
SLPError transact(Handle &handle, const RequestSettings &settings, uint16_t flags, const Request &request,
                  bool (*encode)(const slpv2::Header &, const Request &, std::vector<uint8_t> *),
                  slpv2::Function replyFunction,
                  slpv2::DecodeStatus (*decode)(const uint8_t *, size_t, slpv2::Header *, Reply *), Reply *reply) {
    slpv2::Header header;
    header.flags = flags;
    header.xid = nextXid();
    header.language = handle.language;
    std::vector<uint8_t> message;
    if (!encode(header, request, &message)) return SLP_PARAMETER_BAD;

    std::vector<uint8_t> answer;
    SLPError err = handle.connection.exchange(settings.port, settings.replyWaitMs, message, &answer);
    if (err != SLP_OK) return err;

    slpv2::Header got;
    if (decode(answer.data(), answer.size(), &got, reply) != slpv2::DecodeStatus::Ok || got.xid != header.xid ||
        got.function != replyFunction || slpv2::hasMandatoryExtension(answer.data(), answer.size())) {
        handle.connection.close();
        return SLP_NETWORK_ERROR;
    }
    return SLP_OK;
}

// Runs `body` and turns escaping exceptions into error codes.
template <typename Body> SLPError guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return SLP_MEMORY_ALLOC_FAILED;
    } catch (...) {
        return SLP_INTERNAL_SYSTEM_ERROR;
    }
}

SLPError toSlpError(uint16_t wireError) { return -static_cast<SLPError>(wireError); }

// Sends a SrvDeReg for `url` with `tags` (empty: the whole registration) and reports the
// SrvAck's code to the callback.
SLPError deregister(SLPHandle hSLP, const char *url, const char *tags, SLPRegReport callback, void *cookie) {
    HandleLease handle;
    if (SLPError err = handle.acquire(hSLP); err != SLP_OK) return err;
    if (typeEnd(url) == nullptr) return SLP_INVALID_REGISTRATION;

    const RequestSettings &settings = settingsForRequest();
    if (settings.securityEnabled) return kNoSecurity;
    slpv2::SrvDeReg dereg;
    dereg.scopes = settings.scopes;
    dereg.entry.lifetime = 0;
    dereg.entry.url = url;
    dereg.tags = tags;
    slpv2::SrvAck ack;
    SLPError err = transact(*handle, settings, 0, dereg, slpv2::encodeSrvDeReg, slpv2::Function::SrvAck,
                            slpv2::decodeSrvAck, &ack);
    if (err != SLP_OK) return err;
    callback(hSLP, toSlpError(ack.error), cookie);
    return SLP_OK;
}

// Splits a comma list into its items, dropping exact duplicates and empty items, in order.
std::vector<std::string> distinctItems(const std::string &list) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string item = list.substr(start, comma - start);
        bool seen = false;
        for (const std::string &s : items) seen = seen || s == item;
        if (!item.empty() && !seen) items.push_back(std::move(item));
        start = comma + 1;
    }
    return items;
}

// Appends to `list` each item of `more` it does not hold yet (exact compare).
void collate(const std::vector<std::string> &more, std::vector<std::string> *list) {
    for (const std::string &item : more)
        if (std::find(list->begin(), list->end(), item) == list->end()) list->push_back(item);
}

// Whether `results` holds net.slp.maxResults items; it is cut to that many when it holds more.
bool atLimit(const RequestSettings &settings, std::vector<std::string> *results) {
    if (settings.maxResults <= 0 || results->size() < static_cast<size_t>(settings.maxResults)) return false;
    results->resize(static_cast<size_t>(settings.maxResults));
    return true;
}

std::string joined(const std::vector<std::string> &items) {
    std::string out;
    for (const std::string &item : items) out += (out.empty() ? "" : ",") + item;
    return out;
}

// The encoder of a find's request: `body` with everything but the previous-responder list
// filled in, encoded for each header and list the find sends.
template <typename Request>
std::function<bool(const slpv2::Header &, const std::string &, std::vector<uint8_t> *)>
encoderFor(Request body, bool (*encode)(const slpv2::Header &, const Request &, std::vector<uint8_t> *)) {
    return [body = std::move(body), encode](const slpv2::Header &header, const std::string &prList,
                                            std::vector<uint8_t> *out) mutable {
        body.prList = prList;
        return encode(header, body, out);
    };
}

// Decodes one reply for a find: Unusable when it does not parse or carries an extension we
// must understand; an error code in it leaves `*body` with a nonzero error for the caller to
// ignore (the agent found nothing it may tell us).
template <typename Reply>
Take decodeReply(const uint8_t *data, size_t size,
                 slpv2::DecodeStatus (*decode)(const uint8_t *, size_t, slpv2::Header *, Reply *), Reply *body) {
    slpv2::Header header;
    if (decode(data, size, &header, body) != slpv2::DecodeStatus::Ok || slpv2::hasMandatoryExtension(data, size))
        return Take::Unusable;
    return Take::More;
}

// The wire error code of a reply that decoded (the first two body bytes), 0 if it has none.
unsigned replyError(const uint8_t *data, size_t size) {
    const size_t body = slpv2::kFixedHeaderSize + ((size_t{data[12]} << 8) | data[13]);
    return size >= body + 2 ? (unsigned{data[body]} << 8) | data[body + 1] : 0;
}

// Runs a find the way the handle asks: by unicast to its associated agent; else to the first
// directory agent (configured or discovered) serving one of `scopes` that answers without an
// error code; else by multicast out of its interface list (or the configured interfaces).
SLPError runFind(Handle &handle, const RequestSettings &settings, const FindRequest &request, const std::string &scopes,
                 bool *stopped) {
    slpv2::Header header;
    header.xid = nextXid();
    header.language = handle.language;
    NetAddress agent;
    if (!handle.unicastIp.empty()) {
        if (!parseAddress(handle.unicastIp, settings.port, &agent)) return SLP_PARAMETER_BAD;
        return unicastFind(agent, settings, header, request, stopped);
    }
    const std::string &interfaces = handle.ifList.empty() ? settings.interfaces : handle.ifList;
    for (const DirectoryAgent &da : directoryAgents(settings, interfaces, header, nextXid, false)) {
        if (da.scopesKnown && !scopesIntersect(da.scopes, scopes)) continue;
        // A reply with an error code (a DA that does not serve the scope, or is busy) sends
        // the find on; the original take() ignores such a reply anyway.
        // Over TCP: a DA's answers are often bigger than a datagram, and a station asking one
        // for many lists would soon spend what it may have over UDP.
        bool refused = false;
        FindRequest viaDa = request;
        viaDa.overTcp = true;
        viaDa.take = [&request, &refused](const uint8_t *data, size_t size, const NetAddress &from) {
            Take took = request.take(data, size, from);
            refused = took == Take::More && replyError(data, size) != 0;
            return took;
        };
        header.xid = nextXid();  // another agent, another request
        SLPError err = unicastFind(da.address, settings, header, viaDa, stopped);
        if (err == SLP_OK && !refused) return SLP_OK;
        if (err != SLP_OK) forgetDirectoryAgent(da.address);
    }
    header.xid = nextXid();
    int sent = 0;
    return multicastFind(interfaces, settings, header, request, stopped, &sent);
}

}  // namespace
}  // namespace slpclient

using namespace slpclient;

extern "C" {

SLPEXP SLPError SLPAPI SLPOpen(const char *pcLang, SLPBoolean isAsync, SLPHandle *phSLP) {
    if (phSLP == nullptr) return SLP_PARAMETER_BAD;
    *phSLP = nullptr;
    if (isAsync != SLP_FALSE) return SLP_NOT_IMPLEMENTED;
    return guarded([&] {
        auto handle = std::make_unique<Handle>();
        handle->language = isEmpty(pcLang) ? defaultLocale() : std::string(pcLang);
        if (handle->language.size() > 0xFFFF) return SLP_PARAMETER_BAD;
        Registry &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.handles.insert(handle.get());
        *phSLP = handle.release();
        return SLP_OK;
    });
}

SLPEXP void SLPAPI SLPClose(SLPHandle hSLP) {
    Handle *doomed = nullptr;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.handles.find(static_cast<Handle *>(hSLP));
        if (it == r.handles.end()) return;
        Handle *h = *it;
        r.handles.erase(it);
        if (h->busy)
            h->closeWhenIdle = true;  // the running call frees it when it returns
        else
            doomed = h;
    }
    delete doomed;
}

SLPEXP SLPError SLPAPI SLPReg(SLPHandle hSLP, const char *pcSrvURL, unsigned short usLifetime,
                              const char * /*pcSrvType: derived from the URL instead*/, const char *pcAttrs,
                              SLPBoolean fresh, SLPRegReport callback, void *pvCookie) {
    if (isEmpty(pcSrvURL) || usLifetime == 0 || pcAttrs == nullptr || callback == nullptr) return SLP_PARAMETER_BAD;
    return guarded([&] {
        HandleLease handle;
        if (SLPError err = handle.acquire(hSLP); err != SLP_OK) return err;
        if (fresh == SLP_FALSE) return SLP_NOT_IMPLEMENTED;  // incremental registration
        const char *end = typeEnd(pcSrvURL);
        if (end == nullptr) return SLP_INVALID_REGISTRATION;

        const RequestSettings &settings = settingsForRequest();
        if (settings.securityEnabled) return kNoSecurity;
        slpv2::SrvReg reg;
        reg.entry.lifetime = usLifetime;
        reg.entry.url = pcSrvURL;
        reg.serviceType.assign(pcSrvURL, end);
        reg.scopes = settings.scopes;
        reg.attributes = pcAttrs;
        reg.hasProcessId = settings.sendProcessId;
        reg.processId = static_cast<uint32_t>(getpid());
        slpv2::SrvAck ack;
        SLPError err = transact(*handle, settings, slpv2::kFlagFresh, reg, slpv2::encodeSrvReg, slpv2::Function::SrvAck,
                                slpv2::decodeSrvAck, &ack);
        if (err != SLP_OK) return err;
        callback(hSLP, toSlpError(ack.error), pvCookie);
        return SLP_OK;
    });
}

SLPEXP SLPError SLPAPI SLPDereg(SLPHandle hSLP, const char *pcSrvURL, SLPRegReport callback, void *pvCookie) {
    if (isEmpty(pcSrvURL) || callback == nullptr) return SLP_PARAMETER_BAD;
    return guarded([&] { return deregister(hSLP, pcSrvURL, "", callback, pvCookie); });
}

SLPEXP SLPError SLPAPI SLPDelAttrs(SLPHandle hSLP, const char *pcURL, const char *pcAttrs, SLPRegReport callback,
                                   void *pvCookie) {
    // An empty tag list would deregister the whole URL, which is not what was asked.
    if (isEmpty(pcURL) || isEmpty(pcAttrs) || callback == nullptr) return SLP_PARAMETER_BAD;
    return guarded([&] { return deregister(hSLP, pcURL, pcAttrs, callback, pvCookie); });
}

SLPEXP SLPError SLPAPI SLPFindSrvTypes(SLPHandle hSLP, const char *pcNamingAuthority, const char *pcScopeList,
                                       SLPSrvTypeCallback callback, void *pvCookie) {
    if (pcNamingAuthority == nullptr || strcasecmp(pcNamingAuthority, "IANA") == 0 || callback == nullptr)
        return SLP_PARAMETER_BAD;
    return guarded([&] {
        HandleLease handle;
        if (SLPError err = handle.acquire(hSLP); err != SLP_OK) return err;
        const RequestSettings &settings = settingsForRequest();
        if (settings.securityEnabled) return kNoSecurity;
        slpv2::SrvTypeRqst rqst;
        rqst.allAuthorities = std::strcmp(pcNamingAuthority, "*") == 0;
        if (!rqst.allAuthorities) rqst.namingAuthority = pcNamingAuthority;
        rqst.scopes = isEmpty(pcScopeList) ? settings.scopes : std::string(pcScopeList);
        const std::string scopes = rqst.scopes;
        std::vector<std::string> types;
        FindRequest find;
        find.replyFunction = slpv2::Function::SrvTypeRply;
        inet_pton(AF_INET6, "ff02::116", &find.ipv6Group);
        find.encode = encoderFor(std::move(rqst), slpv2::encodeSrvTypeRqst);
        find.take = [&types, &settings](const uint8_t *data, size_t size, const NetAddress &) {
            slpv2::SrvTypeRply rply;
            Take took = decodeReply(data, size, slpv2::decodeSrvTypeRply, &rply);
            if (took == Take::More && rply.error == 0) collate(distinctItems(rply.types), &types);
            return took == Take::More && atLimit(settings, &types) ? Take::Stop : took;
        };
        bool stopped = false;
        if (SLPError err = runFind(*handle, settings, find, scopes, &stopped); err != SLP_OK) return err;
        std::string collated = joined(types);
        if (!collated.empty() && callback(hSLP, collated.c_str(), SLP_OK, pvCookie) == SLP_FALSE) return SLP_OK;
        callback(hSLP, nullptr, SLP_LAST_CALL, pvCookie);
        return SLP_OK;
    });
}

SLPEXP SLPError SLPAPI SLPFindSrvs(SLPHandle hSLP, const char *pcServiceType, const char *pcScopeList,
                                   const char *pcSearchFilter, SLPSrvURLCallback callback, void *pvCookie) {
    if (isEmpty(pcServiceType) || callback == nullptr) return SLP_PARAMETER_BAD;
    return guarded([&] {
        HandleLease handle;
        if (SLPError err = handle.acquire(hSLP); err != SLP_OK) return err;
        const RequestSettings &settings = settingsForRequest();
        if (settings.securityEnabled) return kNoSecurity;
        slpv2::SrvRqst rqst;
        rqst.serviceType = pcServiceType;
        rqst.scopes = isEmpty(pcScopeList) ? settings.scopes : std::string(pcScopeList);
        rqst.predicate = pcSearchFilter == nullptr ? "" : pcSearchFilter;
        const std::string scopes = rqst.scopes;
        std::unordered_set<std::string> reported;
        FindRequest find;
        find.replyFunction = slpv2::Function::SrvRply;
        find.ipv6Group = serviceTypeGroup(pcServiceType);
        find.encode = encoderFor(std::move(rqst), slpv2::encodeSrvRqst);
        // Each new URL goes to the application as it arrives, whichever agent sent it, until
        // net.slp.maxResults of them have (`full`: the find stops, the last call still comes).
        bool full = false;
        find.take = [&](const uint8_t *data, size_t size, const NetAddress &) {
            slpv2::SrvRply rply;
            Take took = decodeReply(data, size, slpv2::decodeSrvRply, &rply);
            if (took != Take::More || rply.error != 0) return took;
            for (const slpv2::UrlEntry &e : rply.urls) {
                if (!reported.insert(e.url).second) continue;
                if (callback(hSLP, e.url.c_str(), e.lifetime, SLP_OK, pvCookie) == SLP_FALSE) return Take::Stop;
                if (settings.maxResults > 0 && reported.size() >= static_cast<size_t>(settings.maxResults)) {
                    full = true;
                    return Take::Stop;
                }
            }
            return Take::More;
        };
        bool stopped = false;
        if (SLPError err = runFind(*handle, settings, find, scopes, &stopped); err != SLP_OK || (stopped && !full))
            return err;
        callback(hSLP, nullptr, 0, SLP_LAST_CALL, pvCookie);
        return SLP_OK;
    });
}

SLPEXP SLPError SLPAPI SLPFindAttrs(SLPHandle hSLP, const char *pcURLOrServiceType, const char *pcScopeList,
                                    const char *pcAttrIds, SLPAttrCallback callback, void *pvCookie) {
    if (isEmpty(pcURLOrServiceType) || callback == nullptr) return SLP_PARAMETER_BAD;
    return guarded([&] {
        HandleLease handle;
        if (SLPError err = handle.acquire(hSLP); err != SLP_OK) return err;
        const RequestSettings &settings = settingsForRequest();
        if (settings.securityEnabled) return kNoSecurity;
        slpv2::AttrRqst rqst;
        rqst.urlOrType = pcURLOrServiceType;
        rqst.scopes = isEmpty(pcScopeList) ? settings.scopes : std::string(pcScopeList);
        rqst.tags = pcAttrIds == nullptr ? "" : pcAttrIds;
        const std::string scopes = rqst.scopes;
        // Attribute lists cannot be split safely on commas (values may hold them unescaped),
        // so agents' lists are merged whole: each distinct list once, in order of arrival.
        std::vector<std::string> lists;
        FindRequest find;
        find.replyFunction = slpv2::Function::AttrRply;
        inet_pton(AF_INET6, "ff02::116", &find.ipv6Group);
        find.encode = encoderFor(std::move(rqst), slpv2::encodeAttrRqst);
        find.take = [&lists, &settings](const uint8_t *data, size_t size, const NetAddress &) {
            slpv2::AttrRply rply;
            Take took = decodeReply(data, size, slpv2::decodeAttrRply, &rply);
            if (took == Take::More && rply.error == 0 && !rply.attributes.empty()) collate({rply.attributes}, &lists);
            return took == Take::More && atLimit(settings, &lists) ? Take::Stop : took;
        };
        bool stopped = false;
        if (SLPError err = runFind(*handle, settings, find, scopes, &stopped); err != SLP_OK) return err;
        std::string attributes = joined(lists);
        if (!attributes.empty() && callback(hSLP, attributes.c_str(), SLP_OK, pvCookie) == SLP_FALSE) return SLP_OK;
        callback(hSLP, nullptr, SLP_LAST_CALL, pvCookie);
        return SLP_OK;
    });
}

// The library never registers with directory agents, so there is no minimum refresh interval.
SLPEXP unsigned short SLPAPI SLPGetRefreshInterval(void) { return 0; }

// net.slp.useScopes when set on purpose; else the scopes of the known directory agents
// (configured ones asked for their DAAdvert, others discovered), else DEFAULT.
SLPEXP SLPError SLPAPI SLPFindScopes(SLPHandle hSLP, char **ppcScopeList) {
    if (ppcScopeList == nullptr) return SLP_PARAMETER_BAD;
    *ppcScopeList = nullptr;
    return guarded([&] {
        HandleLease handle;
        if (SLPError err = handle.acquire(hSLP); err != SLP_OK) return err;
        RequestSettings settings = currentSettings();
        std::string scopes = settings.scopes;
        if (!settings.scopesExplicit) {
            settings = settingsForRequest();
            if (settings.securityEnabled) return kNoSecurity;
            slpv2::Header header;
            header.language = handle->language;
            std::vector<std::string> all;
            const std::string &interfaces = handle->ifList.empty() ? settings.interfaces : handle->ifList;
            for (const DirectoryAgent &da : directoryAgents(settings, interfaces, header, nextXid, true))
                for (const std::string &scope : listItems(da.scopes))
                    if (std::none_of(all.begin(), all.end(), [&scope](const std::string &s) {
                            return strcasecmp(s.c_str(), scope.c_str()) == 0;
                        }))
                        all.push_back(scope);
            if (!all.empty()) scopes = joined(all);
        }
        char *copy = static_cast<char *>(std::malloc(scopes.size() + 1));
        if (copy == nullptr) return SLP_MEMORY_ALLOC_FAILED;
        std::memcpy(copy, scopes.c_str(), scopes.size() + 1);
        *ppcScopeList = copy;
        return SLP_OK;
    });
}

SLPEXP SLPError SLPAPI SLPAssociateIP(SLPHandle hSLP, const char *unicast_ip) {
    if (isEmpty(unicast_ip)) return SLP_PARAMETER_BAD;
    return guarded([&] {
        NetAddress probe;
        if (!parseAddress(unicast_ip, 0, &probe)) return SLP_PARAMETER_BAD;
        HandleLease handle;
        if (SLPError err = handle.acquire(hSLP); err != SLP_OK) return err;
        handle->unicastIp = unicast_ip;
        return SLP_OK;
    });
}

SLPEXP SLPError SLPAPI SLPAssociateIFList(SLPHandle hSLP, const char *McastIFList) {
    if (isEmpty(McastIFList)) return SLP_PARAMETER_BAD;
    return guarded([&] {
        NetAddress probe;
        std::vector<std::string> items = listItems(McastIFList);
        for (const std::string &item : items)
            if (!parseAddress(item, 0, &probe)) return SLP_PARAMETER_BAD;
        if (items.empty()) return SLP_PARAMETER_BAD;
        HandleLease handle;
        if (SLPError err = handle.acquire(hSLP); err != SLP_OK) return err;
        handle->ifList = McastIFList;
        return SLP_OK;
    });
}

SLPEXP const char *SLPAPI SLPGetProperty(const char *pcName) {
    if (pcName == nullptr) return nullptr;
    try {
        return getProperty(pcName);
    } catch (...) {
        return nullptr;
    }
}

SLPEXP void SLPAPI SLPSetProperty(const char *pcName, const char *pcValue) {
    if (isEmpty(pcName) || pcValue == nullptr) return;
    try {
        setProperty(pcName, pcValue);
    } catch (...) {
        // Out of memory: the property keeps its value.
    }
}

}  // extern "C"
