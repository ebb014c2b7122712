// Single-flight re-login per terminal.
//
// When a request meets an expired session, its thread asks the gate what to do:
//   - Login:  no login is running for the terminal and the token it sent is still the
//             current one; this thread logs in and must call finish() afterwards.
//   - Wait:   another thread is logging in; wait_for() the returned flight (without holding
//             any interpreter lock, in slices so that the waiter can handle signals) and
//             resend once if that login succeeded.
//   - Resend: a newer token has been set since the request was sent; resend once now.
//
// decide(), finish() and abandon_all() touch the registry and must be called under one
// external lock (in the module: the interpreter lock). Flight::wait_for() and
// Flight::complete() use the flight's own lock and must be called without the external lock.
#pragma once
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace deko {

class Flight {
public:
    // Records the login's outcome and wakes every waiter. Idempotent: the first call wins.
    void complete(bool ok);
    // The outcome once complete() has been called; nothing if it was not called within `limit`.
    std::optional<bool> wait_for(std::chrono::milliseconds limit);

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

    // Ends the leader's flight: removes it from the registry. Returns whether it was still
    // registered; if so, the leader then calls flight->complete(ok) without the external lock
    // (an abandoned flight has no waiters in this process).
    bool finish(const void* terminal, const std::shared_ptr<Flight>& flight);

    // Forgets every flight without ending or destroying it: for a process forked while logins
    // were in flight, whose leaders (and waiters) are not in the new process. The forgotten
    // flights are kept for the life of the process, as their locks may be held by threads
    // that no longer exist.
    void abandon_all();

    size_t flights_in_progress() const { return flights_.size(); }

private:
    std::unordered_map<const void*, std::shared_ptr<Flight>> flights_;
};

}  // namespace deko
