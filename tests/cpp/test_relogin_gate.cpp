// Single-flight re-login. Every blocking step in these tests is bounded: a waiter that is
// never woken fails the test instead of hanging it (worker threads are detached and own
// their shared state, so a stuck worker cannot outlive what it uses).
#include "core/relogin_gate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using deko::Flight;
using deko::ReloginGate;
using Action = ReloginGate::Action;
using namespace std::chrono_literals;

constexpr auto kNoHang = 10s;  // generous bound for things that must happen

TEST(ReloginGate, DecisionsAndFinish) {
    ReloginGate gate;
    int a = 0, b = 0;
    // A stale token and no login running: resend, and register nothing.
    EXPECT_EQ(gate.decide(&a, true).action, Action::Resend);
    EXPECT_EQ(gate.flights_in_progress(), 0u);
    auto login_a = gate.decide(&a, false), login_b = gate.decide(&b, false);
    ASSERT_EQ(login_a.action, Action::Login);
    ASSERT_EQ(login_b.action, Action::Login);
    EXPECT_NE(login_a.flight, login_b.flight);
    // While a login runs, every request waits on it, even one whose token is already stale
    // (the running login is about to replace the token anyway).
    for (bool stale : {false, true}) {
        auto d = gate.decide(&a, stale);
        EXPECT_EQ(d.action, Action::Wait);
        EXPECT_EQ(d.flight, login_a.flight);
    }
    EXPECT_TRUE(gate.finish(&a, login_a.flight));
    EXPECT_EQ(gate.decide(&b, true).flight, login_b.flight);
    // The next expiry starts a new flight; neither a late finish of the old one nor a
    // finish with another terminal's flight may end it.
    auto again = gate.decide(&a, false);
    ASSERT_EQ(again.action, Action::Login);
    EXPECT_NE(again.flight, login_a.flight);
    EXPECT_FALSE(gate.finish(&a, login_a.flight));
    EXPECT_FALSE(gate.finish(&b, again.flight));
    EXPECT_EQ(gate.flights_in_progress(), 2u);
    EXPECT_EQ(gate.decide(&a, false).flight, again.flight);
    // A forked process forgets every flight, but keeps them alive (their locks may be held by
    // threads it does not have): the next expiry starts a new login.
    std::weak_ptr<Flight> forgotten = again.flight;
    again.flight.reset();
    login_b.flight.reset();
    gate.abandon_all();
    EXPECT_EQ(gate.flights_in_progress(), 0u);
    EXPECT_FALSE(forgotten.expired());
    EXPECT_EQ(gate.decide(&a, false).action, Action::Login);
}

// Waits for the flight's outcome, in the short slices in which the module waits.
bool wait(Flight& flight) {
    for (auto limit = std::chrono::steady_clock::now() + kNoHang; std::chrono::steady_clock::now() < limit;)
        if (auto ok = flight.wait_for(20ms)) return *ok;
    ADD_FAILURE() << "flight never completed";
    return false;
}

std::future<bool> wait_async(std::shared_ptr<Flight> flight) {
    auto promise = std::make_shared<std::promise<bool>>();
    auto future = promise->get_future();
    std::thread([flight, promise] { promise->set_value(wait(*flight)); }).detach();
    return future;
}

TEST(Flight, WaitBlocksUntilTheFirstCompleteAndWakesEveryWaiter) {
    for (bool ok : {false, true}) {
        auto flight = std::make_shared<Flight>();
        std::future<bool> waiters[] = {wait_async(flight), wait_async(flight)};
        EXPECT_EQ(waiters[0].wait_for(50ms), std::future_status::timeout);
        EXPECT_EQ(flight->wait_for(1ms), std::nullopt);
        flight->complete(ok);
        flight->complete(!ok);
        for (auto& w : waiters) {
            ASSERT_EQ(w.wait_for(kNoHang), std::future_status::ready);
            EXPECT_EQ(w.get(), ok);
        }
        EXPECT_EQ(flight->wait_for(0ms), ok);  // and stays so for later waiters
    }
}

// Everything the detached workers touch; kept alive by each of them.
struct Shared {
    ReloginGate gate;
    std::mutex external;  // the "interpreter lock"
    std::condition_variable decided_cv;
    int decided = 0;
    int terminals[3] = {};
};

// Many requests meet an expired session at once; the terminals' logins differ in outcome.
TEST(ReloginGate, ExactlyOneLoginPerTerminalAndAllWaitersSeeItsOutcome) {
    constexpr int kThreads = 18;
    for (int round = 0; round < 40; ++round) {
        const int terminals = round % 2 ? 3 : 1;
        auto s = std::make_shared<Shared>();
        std::vector<std::future<std::pair<Action, bool>>> results;
        for (int i = 0; i < kThreads; ++i) {
            const int t = i % terminals;
            const bool ok = (t + round / 2) % 2 == 0;
            auto promise = std::make_shared<std::promise<std::pair<Action, bool>>>();
            results.push_back(promise->get_future());
            std::thread([s, promise, t, ok] {
                std::unique_lock<std::mutex> lock(s->external);
                const auto d = s->gate.decide(&s->terminals[t], false);
                ++s->decided;
                s->decided_cv.notify_all();
                if (d.action != Action::Login) {
                    lock.unlock();
                    return promise->set_value({d.action, d.flight && wait(*d.flight)});
                }
                // "Log in" only once every request has met the expired session, so that all
                // of them overlap this flight.
                s->decided_cv.wait_for(lock, kNoHang, [&] { return s->decided == kThreads; });
                s->gate.finish(&s->terminals[t], d.flight);
                lock.unlock();
                d.flight->complete(ok);
                promise->set_value({Action::Login, ok});
            }).detach();
        }
        int logins[3] = {};
        for (int i = 0; i < kThreads; ++i) {
            ASSERT_EQ(results[i].wait_for(kNoHang), std::future_status::ready)
                << "round " << round << ": thread " << i << " is stuck";
            const auto [action, seen] = results[i].get();
            EXPECT_NE(action, Action::Resend) << "round " << round;
            logins[i % terminals] += action == Action::Login;
            EXPECT_EQ(seen, (i % terminals + round / 2) % 2 == 0) << "round " << round;
        }
        for (int t = 0; t < terminals; ++t) EXPECT_EQ(logins[t], 1) << "round " << round;
        std::lock_guard<std::mutex> lock(s->external);
        EXPECT_EQ(s->gate.flights_in_progress(), 0u) << "round " << round;
    }
}

}  // namespace
