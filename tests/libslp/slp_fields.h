// slp_fields.h: equality of decoded SLPv2 records, field by field, for the codec tests and the
// codec fuzz targets. The encoders' outputs (Header::length, Header::nextExtension) are left out.
#ifndef ORVAD_TESTS_LIBSLP_SLP_FIELDS_H
#define ORVAD_TESTS_LIBSLP_SLP_FIELDS_H

#include "slp_message.h"

#include <tuple>

namespace slpv2 {

inline auto fields(const Header &m) { return std::tie(m.function, m.flags, m.xid, m.language); }
inline auto fields(const UrlEntry &m) { return std::tie(m.lifetime, m.url); }
inline auto fields(const SrvReg &m) {
    return std::tie(m.entry.lifetime, m.entry.url, m.serviceType, m.scopes, m.attributes, m.hasProcessId, m.processId);
}
inline auto fields(const SrvDeReg &m) { return std::tie(m.scopes, m.entry.lifetime, m.entry.url, m.tags); }
inline auto fields(const SrvAck &m) { return std::tie(m.error); }
inline auto fields(const SrvRqst &m) { return std::tie(m.prList, m.serviceType, m.scopes, m.predicate, m.spi); }
inline auto fields(const SrvRply &m) { return std::tie(m.error, m.urls); }
inline auto fields(const AttrRqst &m) { return std::tie(m.prList, m.urlOrType, m.scopes, m.tags, m.spi); }
inline auto fields(const AttrRply &m) { return std::tie(m.error, m.attributes); }
inline auto fields(const SrvTypeRqst &m) { return std::tie(m.prList, m.allAuthorities, m.namingAuthority, m.scopes); }
inline auto fields(const SrvTypeRply &m) { return std::tie(m.error, m.types); }
inline auto fields(const SAAdvert &m) { return std::tie(m.url, m.scopes, m.attributes); }
inline auto fields(const DAAdvert &m) {
    return std::tie(m.error, m.bootTimestamp, m.url, m.scopes, m.attributes, m.spi);
}
template <typename T> auto operator==(const T &a, const T &b) -> decltype(fields(a) == fields(b)) {
    return fields(a) == fields(b);
}

}  // namespace slpv2

#endif
