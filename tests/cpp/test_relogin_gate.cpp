// Single-flight re-login. Every blocking step in these tests is bounded: a waiter that is
// never woken fails the test instead of hanging it (worker threads are detached and own
// their shared state, so a stuck worker cannot outlive what it uses).
#include "core/relogin_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using deko::Flight;
using deko::ReloginGate;
using Action = ReloginGate::Action;
using namespace std::chrono_literals;

constexpr auto kNoHang = 10s;     // generous bound for things that must happen
constexpr auto kStillBlocked = 50ms;  // how long a waiter is watched for not returning

// Runs flight->wait() on a detached thread; the future becomes ready when it returns.
std::future<bool> wait_async(std::shared_ptr<Flight> flight) {
    auto promise = std::make_shared<std::promise<bool>>();
    auto future = promise->get_future();
    std::thread([flight, promise] { promise->set_value(flight->wait()); }).detach();
    return future;
}

// ---- Decisions, one thread ----

TEST(ReloginGate, FirstExpiredRequestLogsInOthersWaitOnTheSameFlight) {
    ReloginGate gate;
    int terminal = 0;
    auto leader = gate.decide(&terminal, false);
    ASSERT_EQ(leader.action, Action::Login);
    ASSERT_TRUE(leader.flight);
    EXPECT_EQ(gate.flights_in_progress(), 1u);

    // While the login runs, every request waits, even one whose token is already stale
    // (the running login is about to replace the token anyway).
    for (bool stale : {false, true, false}) {
        auto d = gate.decide(&terminal, stale);
        EXPECT_EQ(d.action, Action::Wait) << "stale=" << stale;
        EXPECT_EQ(d.flight, leader.flight) << "stale=" << stale;
    }
    EXPECT_EQ(gate.flights_in_progress(), 1u);
}

TEST(ReloginGate, StaleTokenWithoutFlightResendsAndStartsNothing) {
    ReloginGate gate;
    int terminal = 0;
    auto d = gate.decide(&terminal, true);
    EXPECT_EQ(d.action, Action::Resend);
    EXPECT_FALSE(d.flight);
    EXPECT_EQ(gate.flights_in_progress(), 0u);
    // Nothing was registered: the next expired request with a current token logs in.
    EXPECT_EQ(gate.decide(&terminal, false).action, Action::Login);
}

TEST(ReloginGate, TerminalsHaveIndependentFlights) {
    ReloginGate gate;
    int a = 0, b = 0;
    auto login_a = gate.decide(&a, false);
    auto login_b = gate.decide(&b, false);
    ASSERT_EQ(login_a.action, Action::Login);
    ASSERT_EQ(login_b.action, Action::Login);
    EXPECT_NE(login_a.flight, login_b.flight);
    EXPECT_EQ(gate.flights_in_progress(), 2u);
    EXPECT_EQ(gate.decide(&b, true).action, Action::Wait);

    gate.finish(&a, login_a.flight);
    EXPECT_EQ(gate.flights_in_progress(), 1u);
    auto wait_b = gate.decide(&b, false);
    EXPECT_EQ(wait_b.action, Action::Wait);
    EXPECT_EQ(wait_b.flight, login_b.flight);
    EXPECT_EQ(gate.decide(&a, true).action, Action::Resend);
}

TEST(ReloginGate, AfterFinishTheNextExpiryLogsInWithANewFlight) {
    ReloginGate gate;
    int terminal = 0;
    auto first = gate.decide(&terminal, false);
    ASSERT_EQ(first.action, Action::Login);
    gate.finish(&terminal, first.flight);
    first.flight->complete(true);
    EXPECT_EQ(gate.flights_in_progress(), 0u);

    auto second = gate.decide(&terminal, false);
    ASSERT_EQ(second.action, Action::Login);
    EXPECT_NE(second.flight, first.flight);  // never re-join a finished flight
}

TEST(ReloginGate, FinishOnlyRemovesItsOwnFlight) {
    ReloginGate gate;
    int terminal = 0, other = 0;
    auto first = gate.decide(&terminal, false);
    gate.finish(&terminal, first.flight);
    auto second = gate.decide(&terminal, false);
    ASSERT_EQ(second.action, Action::Login);

    // A late or repeated finish of the old flight, or a finish for another terminal, must
    // not end the running one.
    gate.finish(&terminal, first.flight);
    gate.finish(&other, second.flight);
    gate.finish(&terminal, nullptr);
    EXPECT_EQ(gate.flights_in_progress(), 1u);
    auto d = gate.decide(&terminal, false);
    EXPECT_EQ(d.action, Action::Wait);
    EXPECT_EQ(d.flight, second.flight);
}

// ---- Flight ----

class FlightOutcome : public testing::TestWithParam<bool> {};

TEST_P(FlightOutcome, FirstCompleteWins) {
    const bool ok = GetParam();
    auto flight = std::make_shared<Flight>();
    flight->complete(ok);
    flight->complete(!ok);
    flight->complete(!ok);
    auto f = wait_async(flight);
    ASSERT_EQ(f.wait_for(kNoHang), std::future_status::ready);
    EXPECT_EQ(f.get(), ok);
    EXPECT_EQ(flight->wait(), ok);  // and stays so for later waiters
}

TEST_P(FlightOutcome, WaitBlocksUntilComplete) {
    const bool ok = GetParam();
    auto flight = std::make_shared<Flight>();
    auto f1 = wait_async(flight);
    auto f2 = wait_async(flight);
    EXPECT_EQ(f1.wait_for(kStillBlocked), std::future_status::timeout);
    EXPECT_EQ(f2.wait_for(0s), std::future_status::timeout);
    flight->complete(ok);
    ASSERT_EQ(f1.wait_for(kNoHang), std::future_status::ready);
    ASSERT_EQ(f2.wait_for(kNoHang), std::future_status::ready);
    EXPECT_EQ(f1.get(), ok);
    EXPECT_EQ(f2.get(), ok);
}

// ---- Concurrency: many requests meet an expired session at once ----

struct Round {
    int terminals;
    int threads_per_terminal;
    bool ok_of_even_terminals;  // odd terminals get the opposite outcome
};

std::ostream& operator<<(std::ostream& os, const Round& r) {
    return os << r.terminals << "x" << r.threads_per_terminal << " ok=" << r.ok_of_even_terminals;
}

struct Seen {
    Action action;
    bool outcome;  // the leader's login result, or what the waiter observed
};

// Everything the detached workers touch; kept alive by each of them.
struct Shared {
    explicit Shared(int terminal_count)
        : terminals(terminal_count), waiters_returned(terminal_count) {}
    ReloginGate gate;
    std::mutex external;  // the "interpreter lock"
    std::vector<int> terminals;
    std::mutex progress_mutex;
    std::condition_variable progress_cv;
    int decided = 0;
    std::vector<std::atomic<int>> waiters_returned;  // per terminal
    std::atomic<bool> waiter_returned_early{false};
    std::atomic<bool> go{false};
};

class ReloginConcurrency : public testing::TestWithParam<Round> {};

TEST_P(ReloginConcurrency, ExactlyOneLoginPerTerminalAndAllWaitersSeeItsOutcome) {
    const Round r = GetParam();
    const int total = r.terminals * r.threads_per_terminal;
    for (int round = 0; round < 20; ++round) {
        auto shared = std::make_shared<Shared>(r.terminals);

        std::vector<std::future<Seen>> results;
        for (int i = 0; i < total; ++i) {
            const int t = i % r.terminals;
            const bool ok = (t % 2 == 0) == r.ok_of_even_terminals;
            auto promise = std::make_shared<std::promise<Seen>>();
            results.push_back(promise->get_future());
            std::thread([shared, promise, t, ok, total] {
                while (!shared->go.load()) std::this_thread::yield();
                const void* terminal = &shared->terminals[t];
                ReloginGate::Decision d;
                {
                    std::lock_guard<std::mutex> lock(shared->external);
                    d = shared->gate.decide(terminal, false);
                }
                {
                    std::lock_guard<std::mutex> lock(shared->progress_mutex);
                    ++shared->decided;
                }
                shared->progress_cv.notify_all();
                if (d.action == Action::Login) {
                    // "Log in" only once every request has met the expired session, so all
                    // of them overlap this flight. Then check nobody got past wait() early.
                    {
                        std::unique_lock<std::mutex> lock(shared->progress_mutex);
                        shared->progress_cv.wait_for(lock, kNoHang,
                                                     [&] { return shared->decided == total; });
                    }
                    std::this_thread::sleep_for(5ms);
                    if (shared->waiters_returned[t].load() != 0)
                        shared->waiter_returned_early.store(true);
                    {
                        std::lock_guard<std::mutex> lock(shared->external);
                        shared->gate.finish(terminal, d.flight);
                    }
                    d.flight->complete(ok);
                    promise->set_value({Action::Login, ok});
                } else if (d.action == Action::Wait) {
                    const bool seen = d.flight->wait();
                    ++shared->waiters_returned[t];
                    promise->set_value({Action::Wait, seen});
                } else {
                    promise->set_value({d.action, false});
                }
            }).detach();
        }
        shared->go.store(true);

        std::vector<int> logins(r.terminals, 0);
        for (int i = 0; i < total; ++i) {
            const int t = i % r.terminals;
            const bool ok = (t % 2 == 0) == r.ok_of_even_terminals;
            ASSERT_EQ(results[i].wait_for(kNoHang), std::future_status::ready)
                << "round " << round << ": thread " << i << " is stuck";
            const Seen seen = results[i].get();
            ASSERT_NE(seen.action, Action::Resend) << "round " << round;
            if (seen.action == Action::Login) ++logins[t];
            EXPECT_EQ(seen.outcome, ok) << "round " << round << ", thread " << i;
        }
        for (int t = 0; t < r.terminals; ++t)
            EXPECT_EQ(logins[t], 1) << "round " << round << ", terminal " << t;
        EXPECT_FALSE(shared->waiter_returned_early.load()) << "round " << round;
        std::lock_guard<std::mutex> lock(shared->external);
        EXPECT_EQ(shared->gate.flights_in_progress(), 0u) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Outcomes, FlightOutcome, testing::Bool());

INSTANTIATE_TEST_SUITE_P(Rounds, ReloginConcurrency,
                         testing::Values(Round{1, 16, true}, Round{1, 16, false},
                                         Round{3, 6, true}, Round{3, 6, false}));

}  // namespace
