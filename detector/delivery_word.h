// The GUI thread's delivery under way, as one atomic word shared with the watchdog.
#pragma once

#include <atomic>
#include <cstdint>

// Layout of the word:
//
//   63     62     61     60 ........ 45  44 ................ 0
//   open   stuck  lag    generation      start (ms, collector's clock)
//
// - open: a delivery is under way. A closed word keeps the last generation.
// - stuck: the watchdog reported the delivery stuck. It is left alone until it closes, and
//   it never becomes a lag.
// - lag: the watchdog saw the delivery's stack still three times and dumped it; it is a lag
//   when it closes without being stuck.
// - generation: counts the deliveries opened (mod 2^16), so that two deliveries that start
//   in the same clock tick still differ.
// - start: 45 bits of milliseconds, over a thousand years of a monotonic clock.
//
// Writers: only the GUI thread opens and closes deliveries, and it exchanges the whole word,
// so closing reads the watchdog's marks of exactly the delivery it closes. The watchdog only
// marks or restarts a delivery, by compare-and-swap from the word it observed: when the
// delivery it judged has closed, or another one opened, in between, the swap fails and the
// watchdog's decision (a stuck report, a lag, a sample) is dropped rather than carried over
// to a delivery it never looked at. Relaxed ordering suffices: everything a tick needs is in
// the one word it read, and what start() wrote before the first delivery is published by
// the release of the first open (acquired by the tick's load).
class DeliveryWord
{
public:
    using Bits = std::uint64_t;

    static constexpr Bits kOpen = Bits{1} << 63;
    static constexpr Bits kStuck = Bits{1} << 62;
    static constexpr Bits kLag = Bits{1} << 61;
    static constexpr int kGenerationShift = 45;
    static constexpr Bits kGenerationMask = Bits{0xFFFF} << kGenerationShift;
    static constexpr Bits kStartMask = (Bits{1} << kGenerationShift) - 1;

    static constexpr bool isOpen(Bits word) { return (word & kOpen) != 0; }
    static constexpr bool isStuck(Bits word) { return (word & kStuck) != 0; }
    static constexpr bool isLag(Bits word) { return (word & kLag) != 0; }
    static constexpr long long startOf(Bits word)
    {
        return static_cast<long long>(word & kStartMask);
    }
    // Whether two words describe the same delivery (marks aside).
    static constexpr bool sameDelivery(Bits a, Bits b)
    {
        return ((a ^ b) & (kOpen | kGenerationMask | kStartMask)) == 0;
    }

    // GUI thread: opens the next delivery at `now` and returns the word it replaced.
    Bits open(long long now)
    {
        generation_ = (generation_ + (Bits{1} << kGenerationShift)) & kGenerationMask;
        return bits_.exchange(kOpen | generation_ | (static_cast<Bits>(now) & kStartMask),
                              std::memory_order_release);
    }
    // GUI thread: closes the delivery under way, if any, and returns the word it replaced.
    Bits close() { return bits_.exchange(generation_, std::memory_order_relaxed); }

    // Watchdog: the delivery as it is now.
    Bits load() const { return bits_.load(std::memory_order_acquire); }
    // Watchdog: sets `mark` (kStuck or kLag) on the delivery `observed` describes; false
    // when the word has changed since, and nothing is marked.
    bool mark(Bits observed, Bits mark)
    {
        return bits_.compare_exchange_strong(observed, observed | mark, std::memory_order_relaxed);
    }
    // Watchdog: measures the delivery `observed` describes afresh from `now`, marks cleared;
    // false when the word has changed since.
    bool restart(Bits observed, long long now)
    {
        const Bits restarted =
            (observed & (kOpen | kGenerationMask)) | (static_cast<Bits>(now) & kStartMask);
        return bits_.compare_exchange_strong(observed, restarted, std::memory_order_relaxed);
    }

private:
    std::atomic<Bits> bits_{0};
    // GUI thread only: the generation of the last delivery opened.
    Bits generation_ = 0;
};

static_assert(std::atomic<DeliveryWord::Bits>::is_always_lock_free,
              "the delivery word must be lock-free");
