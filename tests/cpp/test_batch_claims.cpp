// One history entry settles one purchase: claims by batch id, re-claims by the record that holds
// the batch as its serial number, undoing a claim whose record could not be written, and the bound.
#include "core/batch_claims.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using deko::BatchClaims;
using Outcome = BatchClaims::Outcome;

TEST(BatchClaims, OneBatchSettlesOneRecord) {
    BatchClaims claims;
    EXPECT_EQ(claims.claim("B1", std::nullopt), Outcome::Claimed);
    EXPECT_EQ(claims.claim("B1", std::nullopt), Outcome::PassedOver);  // a record without a text serial
    EXPECT_EQ(claims.claim("B1", "B2"), Outcome::PassedOver);          // another record
    EXPECT_EQ(claims.claim("B1", "B1"), Outcome::ClaimedAgain);          // the record settled from it
    EXPECT_EQ(claims.claim(std::string("B1\0x", 4), "B1"), Outcome::Claimed);  // texts compared whole
    // A failed write gives back only a new claim of a record whose serial number it was not.
    claims.undo("B2", claims.claim("B2", "sn"), "sn");
    claims.undo("B3", claims.claim("B3", "B3"), "B3");
    claims.undo("B1", Outcome::ClaimedAgain, "B1");
    EXPECT_FALSE(claims.remembers("B2"));
    EXPECT_TRUE(claims.remembers("B3") && claims.remembers("B1"));
}

TEST(BatchClaims, KeepsTheMostRecentClaims) {
    BatchClaims claims(3);
    for (const char* batch : {"A", "B", "C", "D"}) claims.claim(batch, std::nullopt);
    EXPECT_FALSE(claims.remembers("A"));
    for (int i = 0; i < 20; ++i) {  // claims undone do not pile up
        std::string batch = "U" + std::to_string(i);
        claims.undo(batch, claims.claim(batch, std::nullopt), std::nullopt);
    }
    claims.claim("E", std::nullopt);
    claims.claim("F", std::nullopt);
    EXPECT_EQ(claims.size(), 3u);
    EXPECT_TRUE(claims.remembers("D") && claims.remembers("E") && claims.remembers("F"));
}

}  // namespace
