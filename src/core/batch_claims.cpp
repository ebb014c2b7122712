#include "core/batch_claims.h"

namespace deko {

BatchClaims::Outcome BatchClaims::claim(std::string_view batch, std::optional<std::string_view> serial) {
    std::string key(batch);
    if (seq_of_.count(key)) return serial && *serial == batch ? Outcome::ClaimedAgain : Outcome::PassedOver;
    std::uint64_t seq = next_seq_++;
    seq_of_.emplace(key, seq);
    order_.emplace_back(std::move(key), seq);
    // The oldest claims go first.
    while (seq_of_.size() > capacity_) {
        auto found = seq_of_.find(order_.front().first);
        if (found != seq_of_.end() && found->second == order_.front().second) seq_of_.erase(found);
        order_.pop_front();
    }
    // Claims undone since leave their place in the order behind: dropped now and then.
    if (order_.size() > 2 * capacity_) {
        std::deque<std::pair<std::string, std::uint64_t>> live;
        for (auto& claimed : order_) {
            auto found = seq_of_.find(claimed.first);
            if (found != seq_of_.end() && found->second == claimed.second) live.push_back(std::move(claimed));
        }
        order_.swap(live);
    }
    return Outcome::Claimed;
}

void BatchClaims::undo(const std::string& batch, Outcome claimed, std::optional<std::string_view> serial) {
    if (claimed == Outcome::Claimed && !(serial && *serial == batch)) seq_of_.erase(batch);
}

}  // namespace deko
