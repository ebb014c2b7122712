// The text helpers emulate Python's str.replace(x, ""). Expected values below were produced
// by /usr/bin/python3 with the same inputs.
#include "core/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    std::string text, arg, expected;
};

TEST(Text, RemoveAllMatchesPythonReplace) {
    for (const Case& c : {Case{"aaaa", "aa", ""}, Case{"aaa", "aa", "a"},
                          Case{"abababa", "aba", "b"},  // scanning resumes after a match
                          Case{"aabb", "ab", "ab"},     // one pass: the joined text stays
                          Case{"abc", "abcd", "abc"}, Case{"", "a", ""},
                          Case{"abc", "", "abc"},  // Python: "abc".replace("", "") == "abc"
                          Case{"Ü€😀 a Ü", "a", "Ü€😀  Ü"}})
        EXPECT_EQ(deko::remove_all(c.text, c.arg), c.expected) << c.text << " / " << c.arg;
}

TEST(Text, RemoveCharsAndProductCodes) {
    EXPECT_EQ(deko::remove_chars("Ü.€-😀..", ".-"), "Ü€😀");  // multibyte sequences intact
    EXPECT_EQ(deko::remove_chars("abc", ""), "abc");
    EXPECT_EQ(deko::remove_chars(std::string("a\0b", 3), std::string("\0", 1)), "ab");
    // Byte values at the edges of the lookup words: 63/64, 127/128, 255.
    EXPECT_EQ(deko::remove_chars("?@x\x7f\x80y\xff", "?\x7f\xff"), "@x\x80y");
    EXPECT_EQ(deko::remove_chars("?@x\x7f\x80y\xff", "@\x80"), "?x\x7fy\xff");
    EXPECT_EQ(deko::clean_product_code("Paket-Ü 1.5"), "PaketÜ15");
    EXPECT_EQ(deko::clean_product_code("A\tB_C/D,E"), "A\tB_C/D,E");  // only '.', ' ', '-'
}

// .replace("<div>", "").replace("</div>", "").replace("<p>", "").replace("</p>", "")
TEST(Text, StripOfferTagsMatchesPythonChainedReplace) {
    for (const Case& c : {Case{"<p>Kuota <div>10GB € 😀</div></p>", "", "Kuota 10GB € 😀"},
                          // A tag formed by one step is removed only by a later step; these
                          // three pin the order of each neighbouring pair of steps.
                          Case{"<</div>div>", "", "<div>"}, Case{"</<p>div>", "", "</div>"},
                          Case{"<</p>p>", "", "<p>"},
                          // Only lower-case tags, only these four.
                          Case{"<P>A</P><DIV>x</Div><span>a</span><p >b", "",
                               "<P>A</P><DIV>x</Div><span>a</span><p >b"}})
        EXPECT_EQ(deko::strip_offer_tags(c.text), c.expected) << c.text;
}

}  // namespace
