#include "handler.h"

#include "attributes.h"
#include "matching.h"
#include "predicate.h"
#include "slp_message.h"

#include <algorithm>
#include <unordered_set>

namespace slpagent {

namespace {

using slpv2::DecodeStatus;
using slpv2::Header;

struct Request {
    const uint8_t *data;
    size_t size;
    Header header;
    int64_t nowMs;
    const HandlerOptions &options;

    bool multicast() const { return options.viaMulticast || (header.flags & slpv2::kFlagRequestMcast) != 0; }

    Header replyHeader() const {
        Header reply;
        reply.xid = header.xid;
        reply.language = header.language;
        return reply;
    }
};

bool hasMandatoryExtension(const Request &rq) { return slpv2::hasMandatoryExtension(rq.data, rq.size); }

// Whether registrations' scope lists meet a request's; registrations of one family mostly share
// one list, so the last answer is kept.
class ScopeMemo {
public:
    explicit ScopeMemo(std::string_view requested) : requested_(requested) {}
    bool meet(const std::string &scopes) {
        if (scopes != last_) {
            last_ = scopes;
            meet_ = scopesIntersect(scopes, requested_);
        }
        return meet_;
    }

private:
    std::string_view requested_;
    std::string last_;
    bool meet_ = false;
};

bool prListNamesUs(const Request &rq, std::string_view prList) {
    while (!prList.empty()) {
        size_t comma = prList.find(',');
        std::string_view address = trimBlanks(prList.substr(0, comma));
        for (const std::string &own : rq.options.ownAddresses) {
            if (address == own) return true;
        }
        if (comma == std::string_view::npos) break;
        prList.remove_prefix(comma + 1);
    }
    return false;
}

std::vector<uint8_t> ack(const Request &rq, uint16_t error) {
    std::vector<uint8_t> out;
    if (!slpv2::encodeSrvAck(rq.replyHeader(), slpv2::SrvAck{error}, &out)) out.clear();
    return out;
}

bool overMtu(const Request &rq, const std::vector<uint8_t> &out) {
    return rq.options.datagramMtu != 0 && out.size() > rq.options.datagramMtu;
}

// Over UDP, the reply `out`, longer than the MTU, leaves as `cut`, one datagram of at most the
// MTU: what fits of it (whole entries only; empty = none) under a header with OVERFLOW set and
// the whole reply's Length, which sends the requester to TCP for the rest. Nothing when not even
// the header fits.
void sendCut(const Request &rq, std::vector<uint8_t> cut, std::vector<uint8_t> *out) {
    const size_t headerSize = slpv2::kFixedHeaderSize + rq.header.language.size();
    if (cut.empty() || cut.size() > rq.options.datagramMtu) cut.assign(out->begin(), out->begin() + headerSize);
    if (cut.size() > rq.options.datagramMtu) {
        out->clear();
        return;
    }
    const size_t whole = out->size();
    cut[2] = uint8_t(whole >> 16);
    cut[3] = uint8_t(whole >> 8);
    cut[4] = uint8_t(whole);
    cut[5] |= 0x80;
    *out = std::move(cut);
}

// How many of the first `urls` fit in `limit` bytes after the `size` before them.
size_t urlsFitting(const std::vector<slpv2::UrlRef> &urls, size_t size, size_t limit) {
    size_t fitting = 0;
    while (fitting < urls.size() && fitting < 0xFFFF && size + 6 + urls[fitting].url.size() <= limit) {
        size += 6 + urls[fitting++].url.size();
    }
    return fitting;
}

std::vector<uint8_t> srvRply(const Request &rq, uint16_t error, std::vector<slpv2::UrlRef> urls = {}) {
    if (rq.multicast() && (error != kOk || urls.empty())) return {};
    std::vector<uint8_t> out;
    // A DA may hold more than one reply carries: 65535 entries or a 24-bit Length. Then the
    // whole URL entries that fit go, as over TCP they would.
    const size_t emptySize = 18 + rq.header.language.size();  // header, error and count
    if (urls.size() > 0xFFFF || !slpv2::encodeSrvRply(rq.replyHeader(), error, urls, &out)) {
        urls.resize(urlsFitting(urls, emptySize, slpv2::kMaxMessageLength));
        if (!slpv2::encodeSrvRply(rq.replyHeader(), error, urls, &out)) return {};
    }
    if (overMtu(rq, out)) {
        urls.resize(urlsFitting(urls, emptySize, rq.options.datagramMtu));
        std::vector<uint8_t> cut;
        if (!slpv2::encodeSrvRply(rq.replyHeader(), error, urls, &cut)) return {};
        sendCut(rq, std::move(cut), &out);
    }
    return out;
}

// How much of the list `text` a 16-bit length carries: all of it, or its whole items that fit
// (commas within parentheses separate an attribute's values, not items).
size_t wholeItemsFitting(const std::string &text) {
    if (text.size() <= 0xFFFF) return text.size();
    size_t fitting = 0;
    int depth = 0;
    for (size_t i = 0; i <= 0xFFFF; ++i) {
        if (text[i] == '(') ++depth;
        else if (text[i] == ')') --depth;
        else if (text[i] == ',' && depth == 0) fitting = i;
    }
    return fitting;
}

// A reply carrying one list text: silent to a multicast request with nothing to say; a list
// longer than its length field can say (the attributes of a type at a large DA) keeps the whole
// items that fit, as a SrvRply keeps the URLs that fit; over the MTU, cut to the list emptied.
template <typename Body>
std::vector<uint8_t> listReply(const Request &rq, Body body, std::string Body::*list,
                               bool (*encode)(const Header &, const Body &, std::vector<uint8_t> *)) {
    (body.*list).resize(wholeItemsFitting(body.*list));
    if (rq.multicast() && (body.error != kOk || (body.*list).empty())) return {};
    std::vector<uint8_t> out;
    if (!encode(rq.replyHeader(), body, &out)) return {};
    if (overMtu(rq, out)) {
        (body.*list).clear();
        std::vector<uint8_t> cut;
        if (!encode(rq.replyHeader(), body, &cut)) return {};
        sendCut(rq, std::move(cut), &out);
    }
    return out;
}

// An advertisement over the MTU (a long attribute list, say) is cut to its header.
std::vector<uint8_t> advert(const Request &rq, std::vector<uint8_t> out) {
    if (overMtu(rq, out)) sendCut(rq, {}, &out);
    return out;
}

std::vector<uint8_t> attrRply(const Request &rq, slpv2::AttrRply body) {
    return listReply(rq, std::move(body), &slpv2::AttrRply::attributes, slpv2::encodeAttrRply);
}

std::vector<uint8_t> srvTypeRply(const Request &rq, slpv2::SrvTypeRply body) {
    return listReply(rq, std::move(body), &slpv2::SrvTypeRply::types, slpv2::encodeSrvTypeRply);
}

// The SAAdvert naming the address the request arrived on, when the request's scopes (none
// = any) meet ours and its predicate holds for our attributes.
std::vector<uint8_t> saAdvert(const Request &rq, const slpv2::SrvRqst &body) {
    const HandlerOptions &o = rq.options;
    Predicate predicate;
    bool wanted = (trimBlanks(body.scopes).empty() || scopesIntersect(body.scopes, o.scopes)) &&
                  parsePredicate(body.predicate, &predicate) &&
                  (predicate.nodes.empty() || predicateMatches(predicate, o.saAttributes));
    if (!wanted) return srvRply(rq, kScopeNotSupported);
    std::string address = o.receivedOn.empty() ? std::string("127.0.0.1") : o.receivedOn;
    if (address.find(':') != std::string::npos) address = "[" + address + "]";
    slpv2::SAAdvert sa{"service:service-agent://" + address, o.scopes, o.saAttributes};
    std::vector<uint8_t> out;
    if (!slpv2::encodeSAAdvert(rq.replyHeader(), sa, &out)) return {};
    return advert(rq, std::move(out));
}

// The DAAdvert answering a service:directory-agent request, on the terms of saAdvert(): our
// scopes met, the predicate holding for our attributes.
std::vector<uint8_t> daAdvert(const Request &rq, const slpv2::SrvRqst &body) {
    const HandlerOptions &o = rq.options;
    Predicate predicate;
    bool wanted = (trimBlanks(body.scopes).empty() || scopesIntersect(body.scopes, o.scopes)) &&
                  parsePredicate(body.predicate, &predicate) &&
                  (predicate.nodes.empty() || predicateMatches(predicate, o.daAttributes));
    if (!wanted) return srvRply(rq, kScopeNotSupported);
    std::vector<uint8_t> out;
    if (!encodeOwnDAAdvert(rq.header.xid, rq.header.language, o.bootTimestamp,
                           o.receivedOn.empty() ? std::string("127.0.0.1") : o.receivedOn, o.port, o.scopes,
                           o.daAttributes, &out)) {
        return {};
    }
    return advert(rq, std::move(out));
}

std::vector<uint8_t> onSrvReg(Registry *registry, const Request &rq, Outcome *outcome) {
    Header header;
    slpv2::SrvReg body;
    if (slpv2::decodeSrvReg(rq.data, rq.size, &header, &body) != DecodeStatus::Ok) return ack(rq, kParseError);
    if (hasMandatoryExtension(rq)) return ack(rq, kOptionNotUnderstood);
    if (body.entry.url.empty() || body.serviceType.empty() || header.language.empty() || body.entry.lifetime == 0) {
        return ack(rq, kInvalidRegistration);
    }
    if (!rq.options.local && body.entry.url.size() + body.attributes.size() > rq.options.maxRegistrationBytes) {
        outcome->refusal = Refusal::Size;
        return ack(rq, kInvalidRegistration);
    }
    if (!scopesIntersect(body.scopes, rq.options.scopes)) return ack(rq, kScopeNotSupported);

    Registration r;
    auto existing = registry->entries.find(registryKey(body.entry.url, header.language));
    // What remote peers hold is bounded, so no station can exhaust the DA's memory.
    if (!rq.options.local && existing == registry->entries.end() &&
        registry->remoteCount >= rq.options.maxRemoteRegistrations) {
        return ack(rq, kInternalError);
    }
    if ((header.flags & slpv2::kFlagFresh) != 0) {
        r.attributes = body.attributes;
    } else {
        // Incremental update: same type and scopes, attributes merged per tag.
        if (existing == registry->entries.end() || !equalsIgnoreCase(existing->second.serviceType, body.serviceType)) {
            return ack(rq, kInvalidUpdate);
        }
        if (!equalsIgnoreCase(trimBlanks(existing->second.scopes), trimBlanks(body.scopes))) {
            return ack(rq, kScopeNotSupported);
        }
        if (!mergeAttributes(existing->second.attributes, body.attributes, &r.attributes)) {
            return ack(rq, kInvalidUpdate);
        }
    }
    r.url = body.entry.url;
    r.language = header.language;
    r.serviceType = body.serviceType;
    r.scopes = body.scopes;
    r.lifetime = body.entry.lifetime;
    // A remote registration always ages and never names a process of ours: the process-exit
    // rule is for local registrations only.
    r.remote = !rq.options.local;
    r.permanent = r.lifetime == kPermanentLifetime && !rq.options.strictLifetimes && !r.remote;
    r.expiresAtMs = rq.nowMs + int64_t{r.lifetime} * 1000;
    r.processId = body.hasProcessId && !r.remote ? body.processId : 0;
    if (r.remote) {
        const size_t replaced = existing != registry->entries.end() && existing->second.remote
                                    ? registrationBytes(existing->second)
                                    : 0;
        if (registry->remoteBytes - replaced + registrationBytes(r) > rq.options.maxRemoteBytes) {
            return ack(rq, kInternalError);
        }
    }
    logRegistration(r, &outcome->lines);
    storeRegistration(registry, std::move(r));
    return ack(rq, kOk);
}

std::vector<uint8_t> onSrvDeReg(Registry *registry, const Request &rq, std::vector<std::string> *lines) {
    Header header;
    slpv2::SrvDeReg body;
    if (slpv2::decodeSrvDeReg(rq.data, rq.size, &header, &body) != DecodeStatus::Ok) return ack(rq, kParseError);
    if (hasMandatoryExtension(rq)) return ack(rq, kOptionNotUnderstood);
    if (body.entry.url.empty()) return ack(rq, kInvalidRegistration);
    if (!scopesIntersect(body.scopes, rq.options.scopes)) return ack(rq, kScopeNotSupported);

    if (trimBlanks(body.tags).empty()) {
        // Without tags the URL goes in every language (keys sort by URL first).
        auto it = registry->entries.lower_bound(RegistryKey{body.entry.url, ""});
        if (it == registry->entries.end() || it->second.url != body.entry.url) return ack(rq, kInvalidRegistration);
        while (it != registry->entries.end() && it->second.url == body.entry.url) it = eraseRegistration(registry, it);
        lines->push_back("deregistered " + body.entry.url);
        return ack(rq, kOk);
    }
    auto it = registry->entries.find(registryKey(body.entry.url, header.language));
    if (it == registry->entries.end()) return ack(rq, kInvalidRegistration);
    std::string remaining;
    if (!removeTags(it->second.attributes, body.tags, &remaining)) return ack(rq, kInvalidUpdate);
    replaceAttributes(registry, it, std::move(remaining));
    lines->push_back("deleted attributes " + body.tags + " of " + body.entry.url);
    return ack(rq, kOk);
}

std::vector<uint8_t> onSrvRqst(Registry *registry, const Request &rq) {
    Header header;
    slpv2::SrvRqst body;
    if (slpv2::decodeSrvRqst(rq.data, rq.size, &header, &body) != DecodeStatus::Ok) return srvRply(rq, kParseError);
    if (prListNamesUs(rq, body.prList)) return {};
    if (equalsIgnoreCase(body.serviceType, "service:directory-agent")) {
        return rq.options.directoryAgent ? daAdvert(rq, body) : std::vector<uint8_t>{};
    }
    if (equalsIgnoreCase(body.serviceType, "service:service-agent")) return saAdvert(rq, body);
    Predicate predicate;
    if (hasMandatoryExtension(rq)) return srvRply(rq, kOptionNotUnderstood);
    if (trimBlanks(body.serviceType).empty() || !parsePredicate(body.predicate, &predicate)) {
        return srvRply(rq, kParseError);
    }
    if (!scopesIntersect(body.scopes, rq.options.scopes)) return srvRply(rq, kScopeNotSupported);

    TypeFamily *family = familyOf(registry, body.serviceType);
    if (family == nullptr) return srvRply(rq, kOk);
    std::vector<slpv2::UrlRef> urls;
    ScopeMemo scopes(body.scopes);
    auto selected = [&](const Registration &r) { return typeMatches(body.serviceType, r.serviceType) && scopes.meet(r.scopes); };
    if (!predicate.nodes.empty()) {
        // Only the registrations whose signature may match are read, in the request's language
        // alone (so each URL at most once), then put in key order.
        std::vector<const RegistryEntry *> matches;
        for (SignedEntry &e : *family) {
            const Registration &r = e.entry->second;
            if (e.signature.empty()) e.signature = signatureOf(r.attributes);
            if (signatureMayMatch(predicate, e.signature) && selected(r) && languageMatches(r.language, header.language) &&
                predicateMatches(predicate, r.attributes)) {
                matches.push_back(e.entry);
            }
        }
        std::sort(matches.begin(), matches.end(), [](auto *a, auto *b) { return KeyOrder()(a->first, b->first); });
        for (const RegistryEntry *e : matches) urls.push_back(slpv2::UrlRef{remainingLifetime(e->second, rq.nowMs), e->second.url});
        return srvRply(rq, kOk, std::move(urls));
    }
    // Every URL in key order: the family is not, and most registries hold few types.
    for (const auto &[key, r] : registry->entries) {
        if (!selected(r)) continue;
        if (!urls.empty() && urls.back().url == r.url) {
            // The same URL in another language (keys sort by URL first): the lifetime is the
            // one registered in the request's language.
            if (languageMatches(r.language, header.language)) urls.back().lifetime = remainingLifetime(r, rq.nowMs);
            continue;
        }
        urls.push_back(slpv2::UrlRef{remainingLifetime(r, rq.nowMs), r.url});
    }
    return srvRply(rq, kOk, std::move(urls));
}

// The union of attribute lists, in the order items first appear.
struct AttrUnion {
    std::vector<std::string> items;
    std::unordered_set<std::string> seen;
    size_t length = 0;  // of the items joined with commas
};

// Adds the items of `list` not yet in `out`; a list that does not split cleanly is added whole.
void addToUnion(std::string_view list, AttrUnion *out) {
    std::vector<AttrItem> items;
    std::vector<std::string_view> texts;
    if (splitCleanly(list, &items)) {
        for (const AttrItem &item : items) texts.push_back(item.text);
    } else {
        texts.push_back(list);
    }
    for (std::string_view text : texts) {
        if (text.empty() || !out->seen.emplace(text).second) continue;
        out->length += text.size() + (out->items.empty() ? 0 : 1);
        out->items.emplace_back(text);
    }
}

std::vector<uint8_t> onAttrRqst(Registry *registry, const Request &rq) {
    Header header;
    slpv2::AttrRqst body;
    slpv2::AttrRply reply;
    if (slpv2::decodeAttrRqst(rq.data, rq.size, &header, &body) != DecodeStatus::Ok) {
        reply.error = kParseError;
        return attrRply(rq, reply);
    }
    if (prListNamesUs(rq, body.prList)) return {};
    if (hasMandatoryExtension(rq)) {
        reply.error = kOptionNotUnderstood;
    } else if (body.urlOrType.empty()) {
        reply.error = kParseError;
    } else if (!scopesIntersect(body.scopes, rq.options.scopes)) {
        reply.error = kScopeNotSupported;
    }
    if (reply.error != kOk) return attrRply(rq, reply);

    if (body.urlOrType.find("://") != std::string::npos) {
        auto it = registry->entries.find(registryKey(body.urlOrType, header.language));
        if (it != registry->entries.end()) {
            reply.attributes = filterByTags(it->second.attributes, body.tags);
        } else {
            it = registry->entries.lower_bound(RegistryKey{body.urlOrType, ""});  // the URL in another language
            if (it != registry->entries.end() && it->second.url == body.urlOrType) reply.error = kLanguageNotSupported;
        }
        return attrRply(rq, std::move(reply));
    }
    // Items are only ever appended, and a reply carries no more of the list than its 16-bit
    // length holds (listReply): once the union is past that, later registrations change nothing.
    AttrUnion all;
    for (const auto &[_, r] : registry->entries) {
        if (all.length > 0xFFFF) break;
        if (typeMatches(body.urlOrType, r.serviceType) && languageMatches(r.language, header.language) &&
            scopesIntersect(r.scopes, body.scopes)) {
            addToUnion(filterByTags(r.attributes, body.tags), &all);
        }
    }
    for (const std::string &item : all.items) {
        if (!reply.attributes.empty()) reply.attributes += ',';
        reply.attributes += item;
    }
    return attrRply(rq, std::move(reply));
}

std::vector<uint8_t> onSrvTypeRqst(Registry *registry, const Request &rq) {
    Header header;
    slpv2::SrvTypeRqst body;
    slpv2::SrvTypeRply reply;
    if (slpv2::decodeSrvTypeRqst(rq.data, rq.size, &header, &body) != DecodeStatus::Ok) {
        reply.error = kParseError;
        return srvTypeRply(rq, reply);
    }
    if (prListNamesUs(rq, body.prList)) return {};
    if (hasMandatoryExtension(rq)) {
        reply.error = kOptionNotUnderstood;
    } else if (!scopesIntersect(body.scopes, rq.options.scopes)) {
        reply.error = kScopeNotSupported;
    }
    if (reply.error != kOk) return srvTypeRply(rq, reply);

    // Types in the order their first registration comes; each type is judged once per scope list.
    std::vector<std::string_view> listed;
    std::vector<std::pair<std::string_view, std::string_view>> refused;  // type and scopes
    auto among = [](const auto &list, auto matches) { return std::any_of(list.begin(), list.end(), matches); };
    for (const auto &entry : registry->entries) {
        const std::string &type = entry.second.serviceType, &scopes = entry.second.scopes;
        if (among(listed, [&](std::string_view t) { return equalsIgnoreCase(t, type); }) ||
            among(refused, [&](const auto &p) { return p.first == type && p.second == scopes; })) {
            continue;
        }
        if (!scopesIntersect(scopes, body.scopes) ||
            (!body.allAuthorities && !equalsIgnoreCase(namingAuthority(type), body.namingAuthority))) {
            refused.emplace_back(type, scopes);
            continue;
        }
        listed.push_back(type);
        if (!reply.types.empty()) reply.types += ',';
        reply.types += type;
    }
    return srvTypeRply(rq, std::move(reply));
}

}  // namespace

bool encodeOwnDAAdvert(uint16_t xid, const std::string &language, uint32_t bootTimestamp, std::string address,
                       uint16_t port, const std::string &scopes, const std::string &attributes,
                       std::vector<uint8_t> *out) {
    if (address.find(':') != std::string::npos) address = "[" + address + "]";
    if (port != 427) address += ":" + std::to_string(port);
    Header header;
    header.xid = xid;
    header.language = language.empty() ? "en" : language;
    slpv2::DAAdvert advert;
    advert.bootTimestamp = bootTimestamp;
    advert.url = "service:directory-agent://" + address;
    advert.scopes = scopes;
    advert.attributes = attributes;
    return slpv2::encodeDAAdvert(header, advert, out);
}

Outcome handleMessage(Registry *registry, const uint8_t *data, size_t size, int64_t nowMs,
                      const HandlerOptions &options) {
    Outcome outcome;
    expireRegistrations(registry, nowMs, &outcome.lines);
    Request rq{data, size, Header{}, nowMs, options};
    if (slpv2::decodeHeader(data, size, &rq.header) != DecodeStatus::Ok) return outcome;
    switch (rq.header.function) {
    case slpv2::Function::SrvReg:
    case slpv2::Function::SrvDeReg:
        // A service agent's services are this host's: a station on the LAN may look, not change
        // them. A DA takes them from its networks, over TCP: only a TCP peer's address is proven.
        if (!options.local && !options.directoryAgent) {
            if (!rq.multicast()) outcome.reply = ack(rq, kMessageNotSupported);
        } else if (!options.local && (options.datagramMtu != 0 || !options.registeringNetwork)) {
            outcome.refusal = options.datagramMtu != 0 ? Refusal::Datagram : Refusal::Network;
            if (!rq.multicast()) outcome.reply = ack(rq, kAuthenticationFailed);
        } else if (rq.header.function == slpv2::Function::SrvReg) {
            outcome.reply = onSrvReg(registry, rq, &outcome);
        } else {
            outcome.reply = onSrvDeReg(registry, rq, &outcome.lines);
        }
        break;
    case slpv2::Function::SrvRqst:
        outcome.reply = onSrvRqst(registry, rq);
        break;
    case slpv2::Function::AttrRqst:
        outcome.reply = onAttrRqst(registry, rq);
        break;
    case slpv2::Function::SrvTypeRqst:
        outcome.reply = onSrvTypeRqst(registry, rq);
        break;
    default:
        break;
    }
    return outcome;
}

}  // namespace slpagent
