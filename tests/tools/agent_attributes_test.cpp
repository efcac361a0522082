// Reading stored attribute lists and evaluating search filters over them.
#include "attributes.h"
#include "predicate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace slpagent {
namespace {

std::vector<std::string> tags(const std::vector<AttrItem> &items) {
    std::vector<std::string> out;
    for (const AttrItem &item : items) out.emplace_back(item.tag);
    return out;
}

TEST(AttributeListTest, CleanSplitAcceptsOnlyWellFormedStructure) {
    const struct {
        const char *list;
        bool clean;
        std::vector<std::string> tags;
    } cases[] = {
        {"", true, {}},
        {"(a=1),(b=2,3), kw ,(c = x y )", true, {"a", "b", "kw", "c"}},
        {"(x=)", true, {"x"}},
        {"(a=(https://h:1)", false, {}},
        {"(a=1),", false, {}},
        {"(a=1),,(b=2)", false, {}},
        {"(a=1)x", false, {}},
        {"()", false, {}},
        {"(a=1", false, {}},
        {"k=v", false, {}},
    };
    for (const auto &c : cases) {
        std::vector<AttrItem> items;
        EXPECT_EQ(splitCleanly(c.list, &items), c.clean) << c.list;
        if (c.clean) {
            EXPECT_EQ(tags(items), c.tags) << c.list;
        }
    }
}

TEST(AttributeListTest, LenientReadingKeepsItemsAfterAStrayParenthesis) {
    const struct {
        const char *list;
        std::vector<std::string> tags;
    } cases[] = {
        {"(template-type=wbem),(template-url-syntax=(https://192.0.2.10:5989),"
         "(service-location-tcp=(https://192.0.2.10:5989)",
         {"template-type", "template-url-syntax", "service-location-tcp"}},
        {"((((", {"((("}},
        {"(a=1,(b=2", {"a"}},
        {"(kw),x,,(", {"kw", "x", ""}},
        {")))=,(=)", {")))=", ""}},
    };
    for (const auto &c : cases) EXPECT_EQ(tags(parseLeniently(c.list)), c.tags) << c.list;
}

TEST(AttributeListTest, WildcardsAndFoldedComparison) {
    EXPECT_TRUE(tagListSelects("loc*", "Location"));
    EXPECT_TRUE(tagListSelects("x, *bob*", "my bob tag"));
    EXPECT_TRUE(tagListSelects("service  id", " Service id "));
    EXPECT_FALSE(tagListSelects("loc", "location"));
    EXPECT_FALSE(tagListSelects("", "a"));
    EXPECT_TRUE(wildcardMatch("a*b*c", "axxbyyc"));
    EXPECT_FALSE(wildcardMatch("a*b*c", "axxbyy"));
}

TEST(PredicateTest, MalformedFiltersAreRejected) {
    const char *bad[] = {"(", ")", "(a=1", "(&)", "(!(a=1)(b=2))", "(a~1)", "((a=1))",
                         "(a=1)(b=2)", "(=1)", "(a=(b))", "x", "(a=1))"};
    for (const char *filter : bad) {
        Predicate p;
        EXPECT_FALSE(parsePredicate(filter, &p)) << filter;
    }
    Predicate p;
    EXPECT_TRUE(parsePredicate("  ", &p));
    EXPECT_TRUE(predicateMatches(p, "((("));
}

TEST(PredicateTest, ComparesIntegersAsNumbersAndTextFolded) {
    const struct {
        const char *list;
        const char *filter;
        bool matches;
    } cases[] = {
        {"(x=10)", "(x>=9)", true},
        {"(x=10)", "(x=010)", true},
        {"(x=abc)", "(x>=abd)", false},
        {"(x=a\\2Cb)", "(x=a\\2cb)", true},
        {"(x=Hello  World)", "(x=hello world)", true},
        {"(x=Hello World)", "(x~=helloworld)", true},
        {"(x=abc),flag", "(flag=*)", true},
        {"(x=abc),flag", "(flag=abc)", false},
        {"(x=abc)", "(!(x=abc))", false},
        {"(a=(b=(c=1", "(a=*)", true},
    };
    for (const auto &c : cases) {
        Predicate p;
        ASSERT_TRUE(parsePredicate(c.filter, &p)) << c.filter;
        EXPECT_EQ(predicateMatches(p, c.list), c.matches) << c.list << " " << c.filter;
    }
}

}  // namespace
}  // namespace slpagent
