// Text cleaning for catalogue records (see text.h).
#include "core/text.h"

#include <cstdint>

namespace deko {

namespace {

size_t remove_chars_into(std::string_view text, std::string_view chars, char* out) {
    // One bit per byte value: a test per character instead of a search of `chars`.
    uint64_t drop[4] = {0, 0, 0, 0};
    for (char c : chars) {
        auto b = static_cast<unsigned char>(c);
        drop[b >> 6] |= uint64_t{1} << (b & 63);
    }
    char* end = out;
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        *end = c;
        end += ((drop[b >> 6] >> (b & 63)) & 1) ^ 1;
    }
    return static_cast<size_t>(end - out);
}

}  // namespace

std::string remove_chars(std::string_view text, std::string_view chars) {
    std::string out(text.size(), '\0');
    out.resize(remove_chars_into(text, chars, &out[0]));
    return out;
}

std::string remove_all(std::string_view text, std::string_view needle) {
    if (needle.empty()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (size_t hit; (hit = text.find(needle, pos)) != std::string_view::npos;
         pos = hit + needle.size())
        out.append(text.substr(pos, hit - pos));
    out.append(text.substr(pos));
    return out;
}

size_t product_code_size(std::string_view text) {
    size_t kept = 0;
    for (char c : text) kept += !is_product_code_noise(static_cast<unsigned char>(c));
    return kept;
}

void clean_product_code_into(std::string_view text, char* out) {
    // Every byte is stored and only kept ones advance: no branch per character.
    for (char c : text) {
        *out = c;
        out += !is_product_code_noise(static_cast<unsigned char>(c));
    }
}

std::string clean_product_code(std::string_view code) {
    // Removing the three characters one after another or all at once gives the same text.
    std::string out(code.size(), '\0');
    clean_product_code_into(code, &out[0]);
    out.resize(product_code_size(code));
    return out;
}

std::string strip_offer_tags(std::string_view description) {
    std::string s(description);
    for (std::string_view tag : kOfferTags) s = remove_all(s, tag);
    return s;
}

}  // namespace deko
