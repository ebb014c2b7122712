// Single-flight re-login (see relogin_gate.h).
#include "core/relogin_gate.h"

namespace deko {

void Flight::complete(bool ok) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (done_) return;
        done_ = true;
        ok_ = ok;
    }
    done_cv_.notify_all();
}

std::optional<bool> Flight::wait_for(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) return std::nullopt;
    return ok_;
}

ReloginGate::Decision ReloginGate::decide(const void* terminal, bool token_is_stale) {
    auto it = flights_.find(terminal);
    if (it != flights_.end()) return {Action::Wait, it->second};
    if (token_is_stale) return {Action::Resend, nullptr};
    auto flight = std::make_shared<Flight>();
    flights_.emplace(terminal, flight);
    return {Action::Login, flight};
}

bool ReloginGate::finish(const void* terminal, const std::shared_ptr<Flight>& flight) {
    auto it = flights_.find(terminal);
    if (it == flights_.end() || it->second != flight) return false;
    flights_.erase(it);
    return true;
}

void ReloginGate::abandon_all() {
    auto* forgotten = new std::unordered_map<const void*, std::shared_ptr<Flight>>();
    forgotten->swap(flights_);
}

}  // namespace deko
