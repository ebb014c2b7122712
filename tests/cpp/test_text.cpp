// The text helpers emulate Python's str.replace(x, ""). Expected values below were produced
// by /usr/bin/python3 with the same inputs.
#include "core/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    std::string text;
    std::string arg;  // needle / character set; unused for the fixed-purpose functions
    std::string expected;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << '"' << c.text << "\" / \"" << c.arg << '"';
}

// ---- remove_all: text.replace(needle, "") ----
class RemoveAll : public testing::TestWithParam<Case> {};

TEST_P(RemoveAll, MatchesPythonReplace) {
    EXPECT_EQ(deko::remove_all(GetParam().text, GetParam().arg), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoveAll,
    testing::Values(
        Case{"aaaa", "aa", ""},          // non-overlapping
        Case{"aaa", "aa", "a"},          // leftmost match wins, the rest stays
        Case{"abababa", "aba", "b"},     // not "" nor "bb": scanning resumes after a match
        Case{"xaax", "a", "xx"},         // adjacent matches
        Case{"<</p>p>", "</p>", "<p>"},  // removal is one pass: the joined text stays
        Case{"abc", "abc", ""}, Case{"abc", "abcd", "abc"}, Case{"", "a", ""},
        Case{"abc", "", "abc"},  // Python: "abc".replace("", "") == "abc"
        Case{"a-b-", "-", "ab"}, Case{"-ab", "-", "ab"},
        Case{"Ü€😀 a Ü", "a", "Ü€😀  Ü"}));

// ---- remove_chars: every character of the set removed ----
class RemoveChars : public testing::TestWithParam<Case> {};

TEST_P(RemoveChars, RemovesEveryListedCharacter) {
    EXPECT_EQ(deko::remove_chars(GetParam().text, GetParam().arg), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoveChars,
    testing::Values(Case{"X1.5-G 2", ". -", "X15G2"}, Case{"abc", "", "abc"},
                    Case{"...", ".", ""}, Case{"", ".", ""},
                    Case{"Ü.€-😀", ".-", "Ü€😀"},  // multibyte sequences stay intact
                    Case{std::string("a\0b", 3), std::string("\0", 1), "ab"}));

// ---- clean_product_code: .replace(".", "").replace(" ", "").replace("-", "") ----
class CleanProductCode : public testing::TestWithParam<Case> {};

TEST_P(CleanProductCode, MatchesPython) {
    EXPECT_EQ(deko::clean_product_code(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CleanProductCode,
    testing::Values(Case{"X1.5-G 2", "", "X15G2"}, Case{"..- -.", "", ""},
                    Case{"ABC", "", "ABC"},
                    Case{"A\tB_C/D,E", "", "A\tB_C/D,E"},  // only '.', ' ', '-'
                    Case{"Paket-Ü 1.5", "", "PaketÜ15"}));

// ---- strip_offer_tags: .replace("<div>","").replace("</div>","")
//                        .replace("<p>","").replace("</p>","") ----
class StripOfferTags : public testing::TestWithParam<Case> {};

TEST_P(StripOfferTags, MatchesPythonChainedReplace) {
    EXPECT_EQ(deko::strip_offer_tags(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StripOfferTags,
    testing::Values(
        Case{"<p>Kuota <div>10GB</div></p>", "", "Kuota 10GB"},
        // Order matters: a tag formed by an earlier removal is removed only by a later step.
        Case{"<</p>p>", "", "<p>"},             // "</p>" is last: "<p>" survives
        Case{"<<p>/p>", "", ""},                // "<p>" before "</p>": both go
        Case{"<di<p>v>x</div>", "", "<div>x"},  // "<div>" formed after its step
        Case{"<p<div>>a</p<div>>", "", "a"},    // "<p>", "</p>" formed before their steps
        Case{"<</div>div>", "", "<div>"}, Case{"<div><</div>/div>", "", "</div>"},
        // Only lower-case tags, only these four.
        Case{"<P>A</P><br>", "", "<P>A</P><br>"}, Case{"<DIV>x</Div>", "", "<DIV>x</Div>"},
        Case{"<span>a</span><p >b", "", "<span>a</span><p >b"},
        Case{"Kuota <p>Ü 10GB € 😀</p>", "", "Kuota Ü 10GB € 😀"}, Case{"", "", ""}));

}  // namespace
