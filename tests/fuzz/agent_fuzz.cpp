// fuzz_slp_agent: slp-agent's request handling and its readers of stored attribute lists.
//
// Input starting with byte 2 (the SLP version) is a stream of messages framed by their Length
// fields, handled in turn against one registry that already holds lists with unbalanced
// parentheses, so registrations and lookups meet. Other input is "filter NUL attribute-list",
// evaluated (a list that matches must have a signature that may match) and tag-filtered directly.
#include "attributes.h"
#include "handler.h"
#include "predicate.h"
#include "slp_message.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Lists with unbalanced parentheses, registered by processes that live on (even pids) or exit.
void seed(slpagent::Registry *registry) {
    const char *const wbem = "(template-type=wbem),(template-url-syntax=(https://192.0.2.10:5989),"
                             "(service-location-tcp=(https://192.0.2.10:5989)";
    const slpagent::Registration entries[] = {
        {"service:wbem:https://192.0.2.10:5989", "en", "service:wbem:https", "DEFAULT", wbem, 65535, 30000, true, 100},
        {"service:io-device.3873:59://10.20.30.40", "en", "service:io-device.3873:59", "DEFAULT", "(a=1),(b=2,3),kw",
         30, 30000, false, 101},
        {"service:x://h", "en", "service:x", "DEFAULT", "((((", 30, 30000, false, 102}};
    for (const slpagent::Registration &r : entries) slpagent::storeRegistration(registry, r);
}

// A datagram fits the MTU; one cut to it says so (OVERFLOW) and gives the whole reply's Length.
void checkReply(std::vector<uint8_t> reply, const uint8_t *request, size_t maxSize) {
    if (reply.empty()) return;
    if (maxSize != 0 && reply.size() > maxSize) abort();
    const size_t length = (size_t{reply[2]} << 16) | (size_t{reply[3]} << 8) | reply[4];
    if (length != reply.size()) {
        if (maxSize == 0 || length < reply.size() || (reply[5] & 0x80) == 0) abort();
        reply[2] = uint8_t(reply.size() >> 16), reply[3] = uint8_t(reply.size() >> 8), reply[4] = uint8_t(reply.size());
    }
    slpv2::Header h;
    if (slpv2::decodeHeader(reply.data(), reply.size(), &h) != slpv2::DecodeStatus::Ok) abort();
    if (reply[10] != request[10] || reply[11] != request[11]) abort();  // XID copied
}

void handleStream(const uint8_t *data, size_t size) {
    slpagent::Registry registry;
    seed(&registry);
    slpagent::HandlerOptions options;
    int64_t nowMs = 0;
    while (size >= 5) {
        size_t length = (size_t{data[2]} << 16) | (size_t{data[3]} << 8) | data[4];
        if (length < 5 || length > size) length = size;
        // Odd XIDs travel as datagrams, so OVERFLOW marking is exercised too.
        options.datagramMtu = (length > 11 && (data[11] & 1)) ? slpagent::kDatagramMtu : 0;
        options.strictLifetimes = length > 11 && (data[11] & 2);
        // XID bits 2 and 3: a DA, a remote peer; a low cap on what remote peers hold.
        options.directoryAgent = length > 11 && (data[11] & 4);
        options.local = !(length > 11 && (data[11] & 8));
        options.maxRemoteRegistrations = 4;
        options.maxRemoteBytes = 300;
        slpagent::Outcome outcome = slpagent::handleMessage(&registry, data, length, nowMs, options);
        checkReply(outcome.reply, data, options.datagramMtu);
        size_t remote = 0, bytes = 0;
        for (const auto &entry : registry.entries) {
            // Each key views its own registration's URL and language, never a copy gone since.
            if (entry.first.url.data() != entry.second.url.data() ||
                entry.first.language.data() != entry.second.language.data()) {
                abort();
            }
            remote += entry.second.remote;
            if (entry.second.remote) bytes += slpagent::registrationBytes(entry.second);
        }
        if (remote != registry.remoteCount || remote > 4 || bytes != registry.remoteBytes || bytes > 300) abort();
        size_t indexed = 0;  // every entry in its type family, once, at the place it knows
        for (const auto &[name, family] : registry.families) {
            for (size_t k = 0; k < family.size(); ++k, ++indexed) {
                if (family[k].entry->second.familySlot != k) abort();
            }
        }
        if (indexed != registry.entries.size()) abort();
        std::vector<std::string> lines;
        slpagent::dropExitedProcesses(
            &registry, [](uint32_t pid) { return pid % 2 == 0; }, &lines);
        nowMs += 7000;
        data += length;
        size -= length;
    }
}

void handleText(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    size_t nul = input.find('\0');
    std::string_view filter = input.substr(0, nul);
    std::string_view list = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
    slpagent::Predicate predicate;
    // A list's signature may rule it out only where evaluating the filter on it fails: the
    // signature makes no find answer other than reading every list would.
    if (slpagent::parsePredicate(filter, &predicate)) {
        for (std::string_view text : {list, filter}) {
            if (slpagent::predicateMatches(predicate, text) &&
                !slpagent::signatureMayMatch(predicate, slpagent::signatureOf(text))) {
                abort();
            }
        }
    }
    std::string filtered = slpagent::filterByTags(list, filter);
    if (filtered.size() > list.size()) abort();
    std::string merged;
    (void)slpagent::mergeAttributes(list, filter, &merged);
    (void)slpagent::removeTags(list, filter, &merged);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 0 && data[0] == slpv2::kVersion) {
        handleStream(data, size);
    } else {
        handleText(data, size);
    }
    return 0;
}
