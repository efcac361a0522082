// agent_cases: runs one case file of slp-agent requests (notation in agent-cases/README) against a
// fresh registry and prints every step with what the agent printed and its reply field by field.
#include "addresses.h"
#include "directory.h"
#include "handler.h"
#include "rate_limit.h"
#include "reg_file.h"
#include "slp_message.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

using namespace slpagent;
using Bytes = std::vector<uint8_t>;
using Fields = std::map<std::string, std::string>;

namespace {

const std::string kKeys = " since zone fill rates seed from sources count every reply work start counted file url pad attrs life scopes lang pid type tags pred pr auth mcast flags patch cut hex pids "
                          "scopes-served sa-attrs own received-on via-group remote outsider strict mtu now da boot port max-remote max-remote-bytes max-bytes ";
const std::map<int, std::string> kErrors = {
    {0, "OK"}, {1, "LANGUAGE_NOT_SUPPORTED"}, {2, "PARSE_ERROR"}, {3, "INVALID_REGISTRATION"}, {4, "SCOPE_NOT_SUPPORTED"},
    {7, "AUTHENTICATION_FAILED"}, {10, "INTERNAL_ERROR"}, {12, "OPTION_NOT_UNDERSTOOD"}, {13, "INVALID_UPDATE"}, {14, "MESSAGE_NOT_SUPPORTED"}};

// Long text shows its start and its size in bytes, so long URLs make short expectations.
std::string clip(const std::string &s) {
    return s.size() <= 1000 ? s : s.substr(0, 40) + "...[" + std::to_string(s.size()) + " bytes]";
}

std::string quote(const std::string &s) { return (std::ostringstream() << std::quoted(clip(s))).str(); }

std::string error(uint16_t code) { return kErrors.count(code) ? kErrors.at(code) : std::to_string(code); }

// Splits `verb key=value key="quoted value"` into the verb and its fields.
std::string parse(const std::string &line, Fields *fields) {
    std::istringstream in(line);
    std::string verb, key, v;
    in >> verb;
    while (in >> std::ws && std::getline(in, key, '=')) {
        if (kKeys.find(" " + key + " ") == std::string::npos) throw std::runtime_error("unknown field " + key);
        v.clear();
        if (in.peek() == '"') in >> std::quoted(v);
        else in >> v;
        (*fields)[key] = v;
    }
    return verb;
}

std::vector<std::string> list(const std::string &s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string item; std::getline(in, item, ',');) out.push_back(item);
    return out;
}

// Applies the fields that are options of how a message arrives and when.
void setOptions(const Fields &f, HandlerOptions *o, int64_t *nowMs) {
    for (const auto &[key, v] : f) {
        if (key == "scopes-served") o->scopes = v;
        if (key == "sa-attrs") o->saAttributes = v;
        if (key == "own") o->ownAddresses = list(v);
        if (key == "received-on") o->receivedOn = v;
        if (key == "via-group") o->viaMulticast = v == "1";
        if (key == "remote") o->local = v != "1";
        if (key == "outsider") o->registeringNetwork = v != "1";
        if (key == "strict") o->strictLifetimes = v == "1";
        if (key == "mtu") o->datagramMtu = std::stoul(v);
        if (key == "now") *nowMs = std::stoll(v);
        if (key == "da") o->directoryAgent = v == "1";
        if (key == "boot") o->bootTimestamp = uint32_t(std::stoul(v));
        if (key == "port") o->port = uint16_t(std::stoul(v));
        if (key == "max-remote") o->maxRemoteRegistrations = std::stoul(v);
        if (key == "max-remote-bytes") o->maxRemoteBytes = std::stoul(v);
        if (key == "max-bytes") o->maxRegistrationBytes = std::stoul(v);
    }
}

// The message a step sends: encoded from its fields (unset ones at their defaults), then patched or cut.
Bytes encode(const std::string &verb, Fields f) {
    for (const auto &[key, v] : Fields{{"lang", "en"}, {"scopes", "DEFAULT"}, {"life", "65535"}, {"pid", "0"},
                                       {"cut", "0"}, {"flags", verb == "reg" ? "4000" : "0"}})
        f.emplace(key, v);
    if (const std::string p = f["pad"]; !p.empty()) f[p.substr(0, p.find(':'))].resize(std::stoul(p.substr(p.find(':') + 1)), 'h');
    const std::string url = f["url"];
    slpv2::Header h{{}, 0, uint16_t(std::stoul(f["flags"], nullptr, 16) | (f.count("mcast") ? slpv2::kFlagRequestMcast : 0)), 0, 0x1234, f["lang"]};
    const std::string &scopes = f["scopes"], &pr = f["pr"];
    const uint32_t pid = std::stoul(f["pid"]);
    Bytes out;
    const bool ok =
        verb == "reg" ? slpv2::encodeSrvReg(h, {{uint16_t(std::stoul(f["life"])), url},
                        f.count("type") ? f["type"] : url.substr(0, url.find("://")), scopes, f["attrs"], pid != 0, pid}, &out)
        : verb == "dereg" ? slpv2::encodeSrvDeReg(h, {scopes, {0, url}, f["tags"]}, &out)
        : verb == "srv"   ? slpv2::encodeSrvRqst(h, {pr, f["type"], scopes, f["pred"], ""}, &out)
        : verb == "attr"  ? slpv2::encodeAttrRqst(h, {pr, url, scopes, f["tags"], ""}, &out)
        : verb == "types" ? slpv2::encodeSrvTypeRqst(h, {pr, !f.count("auth"), f["auth"], scopes}, &out)
                          : verb == "raw";
    if (!ok) throw std::runtime_error("cannot send " + verb);
    for (size_t i = 0; verb == "raw" && i + 1 < f["hex"].size(); i += 2) out.push_back(uint8_t(std::stoul(f["hex"].substr(i, 2), nullptr, 16)));
    if (const std::string p = f["patch"]; !p.empty()) out.at(std::stoul(p)) = uint8_t(std::stoul(p.substr(p.find(':') + 1), nullptr, 16));
    out.resize(out.size() - std::stoul(f["cut"]));
    return out;
}

// The reply, field by field; one cut to a datagram shows the Length it claims and what came.
void render(Bytes r, std::ostream &out) {
    const size_t claimed = r.size() < 5 ? 0 : size_t{r[2]} << 16 | size_t{r[3]} << 8 | r[4];
    if (claimed > r.size()) r[2] = uint8_t(r.size() >> 16), r[3] = uint8_t(r.size() >> 8), r[4] = uint8_t(r.size());
    slpv2::Header h;
    const uint8_t *d = r.data();
    const auto ok = slpv2::DecodeStatus::Ok;
    auto as = [&](auto decode, auto body) { return decode(d, r.size(), &h, &body) == ok ? std::optional(body) : std::nullopt; };
    if (r.empty() || slpv2::decodeHeader(d, r.size(), &h) != ok) return void(out << (r.empty() ? "  no reply\n" : "  bad header\n"));
    char head[80];
    std::snprintf(head, sizeof head, "  fn=%d xid=%04x flags=%04x length=%zu lang=", int(h.function), h.xid, h.flags, r.size());
    if (claimed > r.size()) std::snprintf(head, sizeof head, "  fn=%d xid=%04x flags=%04x length=%zu sent=%zu lang=", int(h.function), h.xid, h.flags, claimed, r.size());
    out << head << h.language;
    if (auto ack = as(slpv2::decodeSrvAck, slpv2::SrvAck{})) out << " SrvAck " << error(ack->error);
    else if (auto attr = as(slpv2::decodeAttrRply, slpv2::AttrRply{}))
        out << " AttrRply " << error(attr->error) << " attrs=" << quote(attr->attributes);
    else if (auto types = as(slpv2::decodeSrvTypeRply, slpv2::SrvTypeRply{}))
        out << " SrvTypeRply " << error(types->error) << " types=" << quote(types->types);
    else if (auto da = as(slpv2::decodeDAAdvert, slpv2::DAAdvert{}))
        out << " DAAdvert boot=" << da->bootTimestamp << " url=" << quote(da->url) << " scopes=" << quote(da->scopes) << " attrs=" << quote(da->attributes);
    else if (auto sa = as(slpv2::decodeSAAdvert, slpv2::SAAdvert{}))
        out << " SAAdvert url=" << quote(sa->url) << " scopes=" << quote(sa->scopes) << " attrs=" << quote(sa->attributes);
    else if (auto rply = as(slpv2::decodeSrvRply, slpv2::SrvRply{})) {
        out << " SrvRply " << error(rply->error) << " urls=" << rply->urls.size();
        for (const auto &e : rply->urls) out << "\n    " << e.lifetime << " " << quote(e.url);
    } else out << " undecodable";
    out << "\n";
}

}  // namespace

int main(int argc, char **argv) {
    std::ifstream in(argc == 2 ? argv[1] : "");
    if (!in) return std::cerr << "usage: agent_cases CASE-FILE\n", 2;
    Registry registry;
    HandlerOptions options;
    options.registeringNetwork = true;  // a remote peer is from the DA's networks unless outsider=1
    int64_t nowMs = 0;
    std::vector<Registration> applied;  // the registration file's entries as last applied
    ReplyBudget budget;
    Directories dirs;  // the DAs a service agent registers with
    const std::string folder = std::string(argv[1]).substr(0, std::string(argv[1]).rfind('/') + 1);
    for (std::string line; std::getline(in, line);) {
        std::cout << (line.empty() || line[0] == '#' ? "" : "> ") << line << "\n";
        Fields f;
        const std::string verb = line.empty() || line[0] == '#' ? "" : parse(line, &f);
        HandlerOptions o = options;  // a step's own options hold for that step alone
        int64_t at = nowMs;
        setOptions(f, verb == "opt" ? &options : &o, verb == "opt" ? &nowMs : &at);
        if (verb == "exited") {
            const std::string gone = "," + f["pids"] + ",";
            std::vector<std::string> lines;
            dropExitedProcesses(&registry, [&](uint32_t p) { return gone.find("," + std::to_string(p) + ",") == std::string::npos; }, &lines);
            for (const std::string &l : lines) std::cout << "  | " << clip(l) << "\n";
        } else if (verb == "registry") {
            for (const auto &[key, r] : registry.entries)
                std::cout << "  " << quote(r.url) << " " << r.language << " " << r.serviceType << " scopes=" << quote(r.scopes)
                          << " life=" << r.lifetime << (r.permanent ? " permanent" : "") << " pid=" << r.processId
                          << " attrs=" << quote(r.attributes) << (r.remote ? " remote" : "") << "\n";
        } else if (verb == "regfile") {
            std::ifstream file(folder + f["file"]);
            std::vector<std::string> errors, lines;
            auto entries = parseRegistrationFile({std::istreambuf_iterator<char>(file), {}}, f["file"], o.scopes, &errors);
            applyRegistrationFile(&registry, applied, entries, o.strictLifetimes, at, &lines);
            applied = std::move(entries);
            for (const std::string &l : errors) std::cout << "  ! " << l << "\n";
            for (const std::string &l : lines) std::cout << "  | " << l << "\n";
        } else if (verb == "budget") {
            const std::vector<std::string> r = list(f.count("rates") ? f["rates"] : "8192,262144,100");
            const RateLimits limits{uint32_t(std::stoul(r.at(0))), uint32_t(std::stoul(r.at(1))), uint32_t(std::stoul(r.at(2)))};
            initReplyBudget(&budget, limits, std::stoul(f.count("seed") ? f["seed"] : "1"), 0);
        } else if (verb == "flood") {
            for (const auto &[key, v] : Fields{{"every", "0"}, {"start", "0"}, {"counted", "0"}, {"sources", "0"}, {"work", "0"}}) f.emplace(key, v);
            const int64_t every = std::stoll(f["every"]), start = std::stoll(f["start"]), counted = std::stoll(f["counted"]);
            const size_t reply = std::stoul(f["reply"]), sources = std::stoul(f["sources"]);
            size_t admitted[3] = {}, bytes = 0;  // by Admission
            for (int64_t i = 0, count = std::stoll(f["count"]); i < count; ++i) {
                Address from;
                if (!parseAddress(sources ? f["from"] + std::to_string(i % sources) : f["from"], 427, &from)) throw std::runtime_error("bad from");
                const int64_t us = start + i * every;
                const Admission a = admitReply(&budget, from.sa(), us / 1000);
                if (a != Admission::Drop) chargeWork(&budget, from.sa(), std::stoll(f["work"]), us / 1000);
                if (a == Admission::Send) chargeReply(&budget, from.sa(), reply, us / 1000);
                if (us < counted) continue;
                admitted[int(a)]++;
                bytes += a == Admission::Send ? reply : a == Admission::Slip ? 16 : 0;
            }
            std::cout << "  replies=" << admitted[0] << " slips=" << admitted[1] << " dropped=" << admitted[2] << " bytes=" << bytes
                      << "; budget slipped=" << budget.slipped << " dropped=" << budget.dropped << "\n";
        } else if (verb == "da-add") {
            std::cout << (addConfiguredDa(&dirs, f["url"]) ? "  taken\n" : "  refused\n");
        } else if (verb == "da-advert" || verb == "da-step") {
            std::vector<std::string> lines;
            const bool fill = f.count("fill") != 0;  // adverts from `from` 1, 2, ... until the list is full
            for (int i = 1; verb == "da-advert" && (fill ? dirs.agents.size() < kMaxDirectoryAgents : i == 1); ++i) {
                const std::string from = f["from"] + (fill ? std::to_string(i) : "");
                const slpv2::DAAdvert advert{0, uint32_t(std::stoul(f["boot"])), "service:directory-agent://" + from, "DEFAULT", "", ""};
                Bytes m;
                if (!slpv2::encodeDAAdvert({}, advert, &m)) throw std::runtime_error("cannot send the DAAdvert");
                takeDaAdvert(&dirs, m.data(), m.size(), from, uint32_t(std::stoul(f.count("zone") ? f["zone"] : "0")), at, &lines);
            }
            if (verb == "da-step") stepDirectories(&dirs, Registry{}, at, &lines);  // nothing to register: no traffic
            for (const std::string &l : lines) std::cout << "  | " << l << "\n";
        } else if (verb == "da-silent") {
            dirs.agents.at(f["from"]).silentSinceMs = std::stoll(f["since"]);
        } else if (verb == "das") {
            for (const auto &[address, da] : dirs.agents)
                std::cout << "  " << address << (da.configured ? " configured" : "") << " zone="
                          << (da.peer.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 &>(da.peer).sin6_scope_id : 0)
                          << " silent-since=" << (da.silentSinceMs == INT64_MAX ? "never" : std::to_string(da.silentSinceMs)) << "\n";
            const int64_t next = nextDirectoryDeadline(dirs, at);
            std::cout << "  next step " << (next == INT64_MAX ? "never" : std::to_string(next)) << "\n";
        } else if (verb == "regpath") {
            std::cout << "  path " << quote(registrationFilePath(f["url"])) << "\n";
        } else if (!verb.empty() && verb != "opt") {
            const Bytes m = encode(verb, f);
            const Outcome outcome = handleMessage(&registry, m.data(), m.size(), at, o);
            for (const std::string &l : outcome.lines) std::cout << "  | " << clip(l) << "\n";
            if (outcome.refusal != Refusal::None)
                std::cout << "  refused " << (const char *[]){"", "by UDP", "from outside", "over the size cap"}[int(outcome.refusal)] << "\n";
            render(outcome.reply, std::cout);
        }
    }
}
