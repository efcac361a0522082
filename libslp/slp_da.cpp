// slp_da.cpp: DA discovery and the process-wide list of known directory agents.
#include "slp_da.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace slpclient {
namespace {

using Clock = std::chrono::steady_clock;

struct Known {
    std::mutex mutex;  // held through a discovery, so concurrent finds wait for its result
    bool filled = false;
    bool discovered = false;  // the list came from multicast, not from net.slp.DAAddresses
    Clock::time_point expires;
    std::vector<DirectoryAgent> agents;
};

Known &known() {
    static Known &instance = *new Known;  // never destroyed: a find may still run at exit
    return instance;
}

// `address` at `port`; the IPv6 zone of a link-local source stays.
NetAddress atPort(NetAddress address, uint16_t port) {
    if (address.storage.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&address.storage)->sin_port = htons(port);
    else
        reinterpret_cast<sockaddr_in6 *>(&address.storage)->sin6_port = htons(port);
    return address;
}

// An IPv6 link-local address without its interface cannot be reached.
bool unzonedLinkLocal(const NetAddress &address) {
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&address.storage);
    return address.storage.ss_family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr) && v6->sin6_scope_id == 0;
}

// A SrvRqst for service:directory-agent whose DAAdverts land in `*found` (one entry per DA
// address). Its scopes are the configured ones when set on purpose; otherwise empty, which
// every DA answers, so SLPFindScopes can report scopes beyond DEFAULT.
FindRequest daRequest(const RequestSettings &settings, std::vector<DirectoryAgent> *found) {
    slpv2::SrvRqst rqst;
    rqst.serviceType = "service:directory-agent";
    rqst.scopes = settings.scopesExplicit ? settings.scopes : "";
    FindRequest request;
    request.replyFunction = slpv2::Function::DAAdvert;
    inet_pton(AF_INET6, "ff02::123", &request.ipv6Group);
    // A DA missed for a lost datagram costs only efficiency (finds multicast), so a station
    // without DAs waits one round for them, not two.
    request.endIfFirstRoundSilent = true;
    request.encode = [rqst](const slpv2::Header &header, const std::string &prList, std::vector<uint8_t> *out) mutable {
        rqst.prList = prList;
        return slpv2::encodeSrvRqst(header, rqst, out);
    };
    request.take = [found, port = settings.port](const uint8_t *data, size_t size, const NetAddress &from) {
        slpv2::Header header;
        slpv2::DAAdvert advert;
        if (slpv2::decodeDAAdvert(data, size, &header, &advert) != slpv2::DecodeStatus::Ok ||
            slpv2::hasMandatoryExtension(data, size))
            return Take::Unusable;
        if (advert.error != 0 || advert.bootTimestamp == 0) return Take::More;  // failing, or going down
        DirectoryAgent agent;
        if (!directoryAgentAddress(advert.url, port, &agent.address) || unzonedLinkLocal(agent.address))
            agent.address = atPort(from, port);
        agent.scopes = advert.scopes;
        agent.scopesKnown = true;
        auto same = [&agent](const DirectoryAgent &a) { return addressText(a.address) == addressText(agent.address); };
        auto it = std::find_if(found->begin(), found->end(), same);
        if (it == found->end())
            found->push_back(agent);
        else
            *it = agent;
        return Take::More;
    };
    return request;
}

}  // namespace

bool directoryAgentAddress(const std::string &url, uint16_t port, NetAddress *out) {
    static const char kPrefix[] = "service:directory-agent://";
    if (url.size() < sizeof kPrefix - 1 || strncasecmp(url.c_str(), kPrefix, sizeof kPrefix - 1) != 0) return false;
    std::string host = url.substr(sizeof kPrefix - 1);
    host.erase(std::min(host.find('/'), host.size()));
    if (!host.empty() && host.front() == '[') {
        host.erase(std::min(host.find(']') + 1, host.size()));  // npos + 1 == 0 keeps nothing
    } else if (std::count(host.begin(), host.end(), ':') == 1) {
        host.erase(host.find(':'));  // HOST:PORT; more colons make a bare IPv6 address
    }
    return !host.empty() && parseAddress(host, port, out);
}

bool scopesIntersect(const std::string &a, const std::string &b) {
    std::vector<std::string> left = listItems(a), right = listItems(b);
    for (const std::string &x : left)
        for (const std::string &y : right)
            if (strcasecmp(x.c_str(), y.c_str()) == 0) return true;
    return false;
}

std::vector<DirectoryAgent> directoryAgents(const RequestSettings &settings, const std::string &interfaces,
                                            const slpv2::Header &header, uint16_t (*nextXid)(), bool askScopes) {
    Known &k = known();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (!k.filled || (settings.daDiscoveryIntervalS > 0 && Clock::now() >= k.expires)) {
        k.agents.clear();
        std::vector<std::string> configured = listItems(settings.daAddresses);
        for (const std::string &text : configured) {
            DirectoryAgent agent;
            if (parseAddress(text, settings.port, &agent.address)) k.agents.push_back(agent);
        }
        k.discovered = configured.empty() && settings.activeDaDetection;
        if (k.discovered) {
            RequestSettings discovery = settings;
            discovery.multicastWaitMs = settings.daDiscoveryWaitMs;
            discovery.multicastTimeoutsMs = settings.daDiscoveryTimeoutsMs;
            slpv2::Header h = header;
            h.xid = nextXid();
            bool stopped = false;
            int sent = 0;
            // Nothing sent or nobody answering both mean: no DA, finds multicast.
            multicastFind(interfaces, discovery, h, daRequest(settings, &k.agents), &stopped, &sent);
        }
        k.filled = true;
        k.expires = Clock::now() + std::chrono::seconds(settings.daDiscoveryIntervalS);
    }
    for (DirectoryAgent &agent : k.agents) {
        if (!askScopes || agent.scopesKnown) continue;
        std::vector<DirectoryAgent> answer;
        slpv2::Header h = header;
        h.xid = nextXid();
        bool stopped = false;
        if (unicastFind(agent.address, settings, h, daRequest(settings, &answer), &stopped) == SLP_OK &&
            !answer.empty()) {
            agent.scopes = answer.front().scopes;
            agent.scopesKnown = true;
        }
    }
    return k.agents;
}

void forgetDirectoryAgent(const NetAddress &address) {
    Known &k = known();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (!k.discovered) return;
    const std::string text = addressText(address);
    k.agents.erase(std::remove_if(k.agents.begin(), k.agents.end(),
                                  [&text](const DirectoryAgent &a) { return addressText(a.address) == text; }),
                   k.agents.end());
}

}  // namespace slpclient
