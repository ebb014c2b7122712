// Single-flight re-login per terminal.
//
// When a request meets an expired session, its thread asks the gate what to do:
//   - Login:  no login is running for the terminal and the token it sent is still the
//             current one; this thread logs in and must call finish() afterwards.
//   - Wait:   another thread is logging in; wait() on the returned flight (without holding
//             any interpreter lock) and resend once if that login succeeded.
//   - Resend: a newer token has been set since the request was sent; resend once now.
//
// decide() and finish() touch the registry and must be called under one external lock
// (in the module: the interpreter lock). Flight::wait() and Flight::complete() use the
// flight's own lock and must be called without the external lock held.
#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace deko {

class Flight {
public:
    // Records the login's outcome and wakes every waiter. Idempotent: the first call wins.
    void complete(bool ok);
    // Blocks until complete() and returns its outcome.
    bool wait();

private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    bool ok_ = false;
};

class ReloginGate {
public:
    enum class Action { Login, Wait, Resend };
    struct Decision {
        Action action;
        std::shared_ptr<Flight> flight;  // set for Login and Wait
    };

    // `token_is_stale`: the terminal now holds a non-empty token other than the one sent.
    Decision decide(const void* terminal, bool token_is_stale);

    // Ends the leader's flight: removes it from the registry. The leader then calls
    // flight->complete(ok) without the external lock.
    void finish(const void* terminal, const std::shared_ptr<Flight>& flight);

    size_t flights_in_progress() const { return flights_.size(); }

private:
    std::unordered_map<const void*, std::shared_ptr<Flight>> flights_;
};

}  // namespace deko
