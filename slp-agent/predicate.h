// predicate.h: LDAPv3 search filters (RFC 2254 string form, as SLPv2 uses them) evaluated over
// stored attribute lists.
//
// Evaluation reads the list with parseLeniently(), so it is safe on any stored text, including
// lists with unbalanced parentheses; a tag that cannot be found simply does not match.
#ifndef ORVAD_SLP_AGENT_PREDICATE_H
#define ORVAD_SLP_AGENT_PREDICATE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace slpagent {

// Deepest nesting of '(' accepted in a filter; deeper filters are a syntax error.
inline constexpr int kMaxPredicateDepth = 32;

struct PredicateNode {
    enum class Kind { And, Or, Not, Equal, Approx, GreaterEq, LessEq, Present, Substring };
    Kind kind = Kind::Present;
    std::string attribute;            // folded (foldForCompare)
    std::string value;                // unescaped and folded (Equal, Approx, GreaterEq, LessEq); opaque: its bytes
    bool opaque = false;              // Equal, GreaterEq, LessEq with an opaque (`\FF\XX...`) value
    std::vector<std::string> pieces;  // Substring: unescaped, folded text between the '*'s
    std::vector<size_t> children;     // And, Or, Not: indexes into Predicate::nodes
    uint64_t signature = 0;           // what signatureMayMatch() looks for: tag, or tag and value (=)
};

struct Predicate {
    std::vector<PredicateNode> nodes;  // empty = the empty filter, which matches everything
    size_t root = 0;
};

// Parses a filter such as "(&(template-type=wbem)(!(x<=3)))". Blank text gives the empty
// filter. Returns false on a syntax error or nesting beyond kMaxPredicateDepth.
[[nodiscard]] bool parsePredicate(std::string_view text, Predicate *out);

// What a filter can know of an attribute list without reading it: a Bloom filter of its folded
// tags, and of each tag with each of its values as = compares them (an integer, an opaque's
// bytes, or folded text). Built from the list as predicateMatches() reads it; all zero for a
// list without items.
struct AttrSignature {
    uint64_t bits[8] = {};
    bool empty() const { return (bits[0] | bits[1] | bits[2] | bits[3] | bits[4] | bits[5] | bits[6] | bits[7]) == 0; }
};
AttrSignature signatureOf(std::string_view attributeList);

// False only when no list with `signature` can satisfy the filter: its = items need a tag and
// value the list lacks, its other items a tag. The empty filter may match anything.
bool signatureMayMatch(const Predicate &predicate, const AttrSignature &signature);

// Whether the attribute list satisfies the filter. Integers compare as numbers; with =, <= and >=,
// opaques (`\FF\XX...`) compare by their bytes, unsigned, and never match a non-opaque;
// everything else compares case-insensitively with blanks folded. A multi-valued attribute
// matches when any value does.
bool predicateMatches(const Predicate &predicate, std::string_view attributeList);

}  // namespace slpagent

#endif
