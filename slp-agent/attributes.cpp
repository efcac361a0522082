#include "attributes.h"

#include "matching.h"

namespace slpagent {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

size_t skipBlanks(std::string_view s, size_t pos) {
    while (pos < s.size() && isBlank(s[pos])) ++pos;
    return pos;
}

std::vector<std::string_view> splitValues(std::string_view value) {
    std::vector<std::string_view> values;
    while (true) {
        size_t comma = value.find(',');
        values.push_back(trimBlanks(value.substr(0, comma)));
        if (comma == std::string_view::npos) return values;
        value.remove_prefix(comma + 1);
    }
}

// Reads one clean item starting at `pos` (blanks skipped); on success `pos` is just past it.
bool readCleanItem(std::string_view list, size_t *pos, AttrItem *item) {
    size_t start = skipBlanks(list, *pos);
    if (start >= list.size()) return false;
    if (list[start] != '(') {
        size_t end = list.find(',', start);
        if (end == std::string_view::npos) end = list.size();
        std::string_view word = trimBlanks(list.substr(start, end - start));
        if (word.empty() || word.find_first_of("()=") != std::string_view::npos) return false;
        *item = AttrItem{word, word, {}, true};
        *pos = end;
        return true;
    }
    size_t eq = list.find_first_of("=(),", start + 1);
    if (eq == std::string_view::npos || list[eq] != '=') return false;
    std::string_view tag = trimBlanks(list.substr(start + 1, eq - start - 1));
    size_t close = list.find_first_of("()", eq + 1);
    if (tag.empty() || close == std::string_view::npos || list[close] != ')') return false;
    *item =
        AttrItem{list.substr(start, close + 1 - start), tag, splitValues(list.substr(eq + 1, close - eq - 1)), false};
    *pos = skipBlanks(list, close + 1);
    return true;
}

std::string joinItems(const std::vector<std::string_view> &texts) {
    std::string out;
    for (std::string_view text : texts) {
        if (!out.empty()) out += ',';
        out.append(text);
    }
    return out;
}

}  // namespace

bool splitCleanly(std::string_view list, std::vector<AttrItem> *items) {
    items->clear();
    size_t pos = skipBlanks(list, 0);
    if (pos == list.size()) return true;
    while (true) {
        AttrItem item;
        if (!readCleanItem(list, &pos, &item)) return false;
        items->push_back(std::move(item));
        if (pos == list.size()) return true;
        if (list[pos] != ',') return false;
        ++pos;
    }
}

std::vector<AttrItem> parseLeniently(std::string_view list) {
    std::vector<AttrItem> items;
    size_t pos = 0;
    const size_t n = list.size();
    while (pos < n) {
        while (pos < n && (isBlank(list[pos]) || list[pos] == ',')) ++pos;
        if (pos == n) break;
        size_t start = pos;
        if (list[start] != '(') {
            size_t end = list.find(',', start);
            if (end == std::string_view::npos) end = n;
            std::string_view word = trimBlanks(list.substr(start, end - start));
            items.push_back(AttrItem{word, word, {}, true});
            pos = end;
            continue;
        }
        size_t j = list.find_first_of("=)", start + 1);
        if (j == std::string_view::npos || list[j] == ')') {
            size_t tagEnd = (j == std::string_view::npos) ? n : j;
            size_t end = (j == std::string_view::npos) ? n : j + 1;
            std::string_view tag = trimBlanks(list.substr(start + 1, tagEnd - start - 1));
            items.push_back(AttrItem{list.substr(start, end - start), tag, {}, true});
            pos = end;
            continue;
        }
        size_t end = n;
        for (size_t k = list.find(')', j + 1); k != std::string_view::npos; k = list.find(')', k + 1)) {
            size_t after = skipBlanks(list, k + 1);
            if (after == n || list[after] == ',') {
                end = k;
                break;
            }
        }
        std::string_view tag = trimBlanks(list.substr(start + 1, j - start - 1));
        size_t itemEnd = (end == n) ? n : end + 1;
        items.push_back(
            AttrItem{list.substr(start, itemEnd - start), tag, splitValues(list.substr(j + 1, end - j - 1)), false});
        pos = itemEnd;
    }
    return items;
}

std::string foldForCompare(std::string_view s) {
    s = trimBlanks(s);
    std::string out;
    out.reserve(s.size());
    bool inBlank = false;
    for (char c : s) {
        if (isBlank(c)) {
            inBlank = true;
            continue;
        }
        if (inBlank) out += ' ';
        inBlank = false;
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

bool wildcardMatch(std::string_view pattern, std::string_view text) {
    // Greedy match remembering the last '*': linear for the usual patterns, never recursive.
    size_t p = 0, t = 0;
    size_t starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool tagListSelects(std::string_view tagList, std::string_view tag) {
    const std::string folded = foldForCompare(tag);
    while (true) {
        size_t comma = tagList.find(',');
        std::string pattern = foldForCompare(tagList.substr(0, comma));
        if (!pattern.empty() && wildcardMatch(pattern, folded)) return true;
        if (comma == std::string_view::npos) return false;
        tagList.remove_prefix(comma + 1);
    }
}

std::string filterByTags(std::string_view list, std::string_view tagList) {
    std::vector<AttrItem> items;
    if (trimBlanks(tagList).empty() || !splitCleanly(list, &items)) return std::string(list);
    std::vector<std::string_view> kept;
    for (const AttrItem &item : items) {
        if (tagListSelects(tagList, item.tag)) kept.push_back(item.text);
    }
    return joinItems(kept);
}

bool removeTags(std::string_view list, std::string_view tagList, std::string *out) {
    std::vector<AttrItem> items;
    if (!splitCleanly(list, &items)) return false;
    std::vector<std::string_view> kept;
    for (const AttrItem &item : items) {
        if (!tagListSelects(tagList, item.tag)) kept.push_back(item.text);
    }
    *out = joinItems(kept);
    return true;
}

bool mergeAttributes(std::string_view base, std::string_view update, std::string *out) {
    std::vector<AttrItem> baseItems, updateItems;
    if (!splitCleanly(base, &baseItems) || !splitCleanly(update, &updateItems)) return false;
    std::vector<std::string_view> merged;
    std::vector<std::string> mergedTags;
    for (const AttrItem &item : baseItems) {
        merged.push_back(item.text);
        mergedTags.push_back(foldForCompare(item.tag));
    }
    for (const AttrItem &item : updateItems) {
        std::string tag = foldForCompare(item.tag);
        bool replaced = false;
        for (size_t i = 0; i < merged.size(); ++i) {
            if (mergedTags[i] == tag) {
                merged[i] = item.text;
                replaced = true;
            }
        }
        if (!replaced) {
            merged.push_back(item.text);
            mergedTags.push_back(std::move(tag));
        }
    }
    *out = joinItems(merged);
    return true;
}

}  // namespace slpagent
