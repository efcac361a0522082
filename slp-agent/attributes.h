// attributes.h: reading stored attribute lists without ever changing or rejecting them.
//
// The agent keeps every attribute list byte for byte as registered. These helpers look into a
// list only to filter by tag, to merge an incremental update, or to evaluate a search filter;
// none of them fails on lists that break the attribute grammar (unbalanced parentheses,
// unescaped reserved characters, ...).
#ifndef ORVAD_SLP_AGENT_ATTRIBUTES_H
#define ORVAD_SLP_AGENT_ATTRIBUTES_H

#include <string>
#include <string_view>
#include <vector>

namespace slpagent {

// One item of an attribute list. Views point into the list the item was read from.
struct AttrItem {
    std::string_view text;                 // the item as written, parentheses included
    std::string_view tag;                  // without outer blanks
    std::vector<std::string_view> values;  // raw values, escapes kept; empty for a keyword
    bool keyword = false;
};

// Splits `list` into items when its structure is clean: items `(tag=values)` or bare keywords
// separated by commas, no parenthesis inside a tag or value, no empty item or tag. An empty or
// blank list gives no items. Returns false when the list is not clean; `items` is then meaningless.
bool splitCleanly(std::string_view list, std::vector<AttrItem> *items);

// Best-effort reading of any list, for filter evaluation; never fails. An item opened with '('
// takes its tag up to the first '=' and its value up to the first ')' that is followed by a
// comma or the end of the list, so a stray '(' in one value does not swallow the items after it.
std::vector<AttrItem> parseLeniently(std::string_view list);

// Comparison form: ASCII lower case, outer blanks dropped, inner runs of blanks folded to one.
std::string foldForCompare(std::string_view s);

// Glob match where '*' stands for any run of characters; both sides already folded.
bool wildcardMatch(std::string_view pattern, std::string_view text);

// Whether the comma-separated tag-list (patterns with '*') selects `tag`.
bool tagListSelects(std::string_view tagList, std::string_view tag);

// The items of `list` that the tag-list selects, joined by ',' exactly as written. Returns
// `list` unchanged when the tag-list is empty or the list does not split cleanly.
std::string filterByTags(std::string_view list, std::string_view tagList);

// `list` without the items the tag-list selects. Returns false when `list` is not clean.
bool removeTags(std::string_view list, std::string_view tagList, std::string *out);

// An incremental update: items of `update` replace the items of `base` with the same tag, new
// tags are appended. Returns false when either list is not clean.
bool mergeAttributes(std::string_view base, std::string_view update, std::string *out);

}  // namespace slpagent

#endif
