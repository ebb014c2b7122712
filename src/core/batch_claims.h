// Which history entries a connection has already used to settle a purchase, by batch id: one
// entry settles one purchase. The most recent claims are kept (a bounded number), the oldest
// forgotten first. Not thread-safe: the caller serialises (the module holds the GIL throughout a
// claim, so that checking and remembering are one step).
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace deko {

class BatchClaims {
public:
    static constexpr std::size_t kDefaultCapacity = 100000;

    enum class Outcome {
        PassedOver,    // another record settled from this batch: the entry is not for this record
        Claimed,       // newly claimed for this record
        ClaimedAgain,  // already claimed, by this very record (its serial number is the batch id)
    };

    explicit BatchClaims(std::size_t capacity = kDefaultCapacity) : capacity_(capacity ? capacity : 1) {}

    // Claims `batch` for a record whose serial number is `serial` (nothing when it is not a text).
    Outcome claim(std::string_view batch, std::optional<std::string_view> serial);

    // Undoes a claim whose record could not be written, unless the batch already was that record's
    // serial number.
    void undo(const std::string& batch, Outcome claimed, std::optional<std::string_view> serial);

    bool remembers(std::string_view batch) const { return seq_of_.count(std::string(batch)) != 0; }
    std::size_t size() const { return seq_of_.size(); }

private:
    std::size_t capacity_;
    std::uint64_t next_seq_ = 0;
    std::unordered_map<std::string, std::uint64_t> seq_of_;   // batch id -> when it was claimed
    std::deque<std::pair<std::string, std::uint64_t>> order_;  // claims, oldest first (some since undone)
};

}  // namespace deko
