// Text cleaning for catalogue records. Works on UTF-8 bytes: every needle is ASCII, so
// byte-wise removal gives the same result as removal on code points.
#pragma once
#include <string>
#include <string_view>

namespace deko {

// Every occurrence of each character of `chars` removed, in one pass.
std::string remove_chars(std::string_view text, std::string_view chars);

// The characters a product code loses: ".", " " and "-".
inline constexpr char kCodeNoise[] = {'.', ' ', '-'};
constexpr bool is_product_code_noise(unsigned char c) {
    return c == kCodeNoise[0] || c == kCodeNoise[1] || c == kCodeNoise[2];
}

// The tags an offer description loses, in the order they are removed (lower case only).
inline constexpr const char* kOfferTags[] = {"<div>", "</div>", "<p>", "</p>"};

// How many bytes of `text` a product code keeps.
size_t product_code_size(std::string_view text);

// The kept bytes of `text` written to `out`. Every byte is written before the next kept one
// overwrites it, so `out` needs room for the kept bytes plus one, or for text.size() bytes.
void clean_product_code_into(std::string_view text, char* out);

// Every non-overlapping occurrence of `needle` removed, scanning left to right.
std::string remove_all(std::string_view text, std::string_view needle);

// Product code as the host's product key: ".", " " and "-" removed.
std::string clean_product_code(std::string_view code);

// Offer description with kOfferTags removed, in that order. No other markup is touched.
std::string strip_offer_tags(std::string_view description);

}  // namespace deko
