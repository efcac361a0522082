// matching.h: service types, naming authorities, scopes and languages as the agent compares them.
#ifndef ORVAD_SLP_AGENT_MATCHING_H
#define ORVAD_SLP_AGENT_MATCHING_H

#include <string>
#include <string_view>

namespace slpagent {

// The only scope this agent serves.
inline constexpr std::string_view kDefaultScope = "DEFAULT";

// ASCII case-insensitive equality.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

// ASCII case-insensitive order: as the lower-case copies compare.
bool lessIgnoreCase(std::string_view a, std::string_view b);

// `s` without leading and trailing blanks (space, tab, CR, LF).
std::string_view trimBlanks(std::string_view s);

// ASCII lower-case copy.
std::string toLower(std::string_view s);

// Whether `requested` (from a SrvRqst or AttrRqst) selects the registered type `registered`:
// a leading "service:" is ignored on both sides; a request without ':' names an abstract (or
// simple) type and is compared with the registered type's text before its first ':', otherwise
// the whole types are compared. Case-insensitive; the naming authority is part of the name.
bool typeMatches(std::string_view requested, std::string_view registered);

// What every type that typeMatches() pairs has in common: the name without "service:" up to its
// first ':', in lower case ("service:io-device.3873:59" and "service:IO-Device.3873" both give
// "io-device.3873").
std::string typeFamily(std::string_view type);

// Naming authority of a service type: the text after the last '.' of the name that follows
// "service:" and precedes the first ':'. Empty for IANA types.
std::string_view namingAuthority(std::string_view type);

// Whether the comma-separated scope list names `scope` (case-insensitive, outer blanks ignored).
bool scopeListHas(std::string_view list, std::string_view scope);

// Whether the two scope lists share a scope.
bool scopesIntersect(std::string_view a, std::string_view b);

// Language tags compare case-insensitively.
bool languageMatches(std::string_view a, std::string_view b);

}  // namespace slpagent

#endif
