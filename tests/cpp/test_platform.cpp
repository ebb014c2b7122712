// The platform seam, on the system the tests run on (Linux; Windows under Wine): a thread's stack
// bounds and the pages of it in use, and decimal numbers read whatever the process's locale.
#include "core/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <string>

#include "on_stack.h"

namespace {

using deko::platform::StackBounds;
using deko::testing::on_stack;

std::uintptr_t address_of(const volatile void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// Takes `bytes` of stack below the caller, then returns the deepest address it wrote.
#ifdef _MSC_VER
__declspec(noinline)
#else
__attribute__((noinline))
#endif
std::uintptr_t go_down(std::size_t bytes) {
    volatile char buffer[2048];
    buffer[0] = 1;
    std::uintptr_t deepest = bytes > sizeof buffer ? go_down(bytes - sizeof buffer) : address_of(&buffer[0]);
    buffer[sizeof buffer - 1] = buffer[0];
    return std::min(deepest, address_of(&buffer[0]));
}

TEST(PlatformStack, BoundsHoldTheThreadsFramesAndMatchItsSize) {
    const std::size_t page = deko::platform::page_size();
    EXPECT_GE(page, 4096u);
    EXPECT_EQ(page & (page - 1), 0u);
    for (std::size_t size : {std::size_t{1} << 20, std::size_t{4} << 20}) {
        on_stack(size, [&] {
            int local = 0;
            std::optional<StackBounds> bounds = deko::platform::thread_stack_bounds();
            ASSERT_TRUE(bounds);
            EXPECT_LT(bounds->low, address_of(&local));
            EXPECT_GT(bounds->high, address_of(&local));
            // The whole stack but its guard (and on Windows the pages kept for a stack overflow); glibc
            // may hand a new thread a larger stack that an ended thread left (up to four times the size).
            EXPECT_LE(bounds->high - bounds->low, 4 * size) << size;
            EXPECT_GE(bounds->high - bounds->low, size - (std::size_t{64} << 10)) << size;
            std::optional<StackBounds> again = deko::platform::thread_stack_bounds();
            ASSERT_TRUE(again);
            EXPECT_EQ(again->low, bounds->low);
            EXPECT_EQ(again->high, bounds->high);
        });
    }
}

// The lowest page in use: at or below what the thread touched, and every page from it up usable.
TEST(PlatformStack, LowestPageInUseIsBelowWhatWasTouchedAndUsable) {
    on_stack(std::size_t{1} << 20, [] {
        const std::size_t page = deko::platform::page_size();
        StackBounds bounds = deko::platform::thread_stack_bounds().value();
        std::uintptr_t deepest = go_down(std::size_t{200} << 10);
        std::optional<std::uintptr_t> lowest = deko::platform::lowest_stack_page_in_use(bounds.low, bounds.high);
        ASSERT_TRUE(lowest);
        EXPECT_EQ(*lowest % page, 0u);
        EXPECT_GE(*lowest, bounds.low);
        EXPECT_LE(*lowest, deepest & ~(page - 1));
        // Below the frames, from that page up: writing there must not fault (a reserved page or a
        // guard page would).
        int here = 0;
        for (std::uintptr_t at = *lowest; at + page < address_of(&here) - 4096; at += page)
            *reinterpret_cast<volatile char*>(at) = 0;
        // A range with no page in use in it.
        EXPECT_FALSE(deko::platform::lowest_stack_page_in_use(bounds.low, bounds.low + page / 2));
    });
}

#ifndef _WIN32
// Pages of the stack that no frame has touched are not in use, wherever they are mapped. (Not run
// under Wine, whose thread stacks come with nearly all their pages resident.)
TEST(PlatformStack, UntouchedPagesAreNotInUse) {
    on_stack(std::size_t{1} << 20, [] {
        StackBounds bounds = deko::platform::thread_stack_bounds().value();
        std::optional<std::uintptr_t> lowest = deko::platform::lowest_stack_page_in_use(bounds.low, bounds.high);
        ASSERT_TRUE(lowest);
        EXPECT_GT(*lowest, bounds.low + (std::size_t{512} << 10));
    });
}
#endif

#ifdef _WIN32
// Gives back (decommits) the pages of the current thread's stack from its low end up to 16 pages
// below the caller, and makes the page above them its guard page, as Windows leaves a stack that
// has not grown that far (Wine commits a whole stack at once). Returns the guard page.
std::uintptr_t leave_stack_ungrown(const StackBounds& bounds) {
    const std::size_t page = deko::platform::page_size();
    int here = 0;
    std::uintptr_t guard = (address_of(&here) & ~(page - 1)) - 16 * page;
    EXPECT_TRUE(VirtualFree(reinterpret_cast<void*>(bounds.low), guard - bounds.low, MEM_DECOMMIT));
    DWORD was;
    EXPECT_TRUE(VirtualProtect(reinterpret_cast<void*>(guard), page, PAGE_READWRITE | PAGE_GUARD, &was));
    return guard;
}

TEST(PlatformStack, ReservedAndGuardPagesAreNotInUse) {
    on_stack(std::size_t{1} << 20, [] {
        StackBounds bounds = deko::platform::thread_stack_bounds().value();
        std::uintptr_t guard = leave_stack_ungrown(bounds);
        EXPECT_EQ(deko::platform::lowest_stack_page_in_use(bounds.low, bounds.high),
                  guard + deko::platform::page_size());
    });
}
#endif

// Sets a locale whose decimal point is a comma for the test's length, if the system has one.
class CommaLocale : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = std::setlocale(LC_ALL, nullptr);
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "German_Germany.1252", "de-DE"})
            if (std::setlocale(LC_ALL, name) && std::localeconv()->decimal_point[0] == ',') return;
        std::setlocale(LC_ALL, saved_.c_str());
        GTEST_SKIP() << "no locale with a decimal comma on this system";
    }
    void TearDown() override { std::setlocale(LC_ALL, saved_.c_str()); }
    std::string saved_;
};

TEST_F(CommaLocale, DecimalPointIsAPointWhateverTheLocale) {
    char* end = nullptr;
    const char* text = "1.5e1";
    EXPECT_EQ(deko::platform::strtod_c(text, &end), 15.0);
    EXPECT_EQ(end, text + 5);
}

struct Read {
    const char* text;
    double value;
    std::size_t used;
};

TEST(PlatformDecimal, ReadsAsStrtodCorrectlyRounded) {
    const double huge = HUGE_VAL;
    for (const Read& r : {
             Read{"1.5", 1.5, 3}, {"+7", 7.0, 2}, {"-0.25", -0.25, 5}, {"12abc", 12.0, 2}, {"5.", 5.0, 2},
             {".5e1", 5.0, 4}, {"1e", 1.0, 1},
             // Halfway between two doubles, then just past it: a strtod that keeps too few digits
             // or rounds twice gets one of them wrong.
             {"0.500000000000000166533453693773481063544750213623046875", 0.5000000000000002220446049250313, 56},
             {"9007199254740993", 9007199254740992.0, 16},
             {"9007199254740993.0000000000000000000001", 9007199254740994.0, 39},
             // Out of range: too large, too small, by their leading digit and exponent.
             {"1e400", huge, 5}, {"-123.4e400", -huge, 10}, {"1e-400", 0.0, 6}, {"-0.0001e-330", -0.0, 12},
             {"100000000000e-335", 0.0, 17}, {"10000e305", huge, 9}, {"1000e305", 1e308, 8},
             // Nothing read.
             {"", 0.0, 0}, {"+-1", 0.0, 0}, {"-", 0.0, 0}, {"e5", 0.0, 0}, {".", 0.0, 0}}) {
        char* end = nullptr;
        double value = deko::platform::strtod_c(r.text, &end);
        EXPECT_EQ(value, r.value) << r.text;
        EXPECT_EQ(std::signbit(value), std::signbit(r.value)) << r.text;
        EXPECT_EQ(static_cast<std::size_t>(end - r.text), r.used) << r.text;
    }
}

}  // namespace
