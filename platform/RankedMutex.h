#pragma once

#include <cassert>
#include <mutex>

namespace Zelm {

// A mutex with a place in a lock order: a thread may take it only while it
// holds no ranked mutex of the same or a higher rank. Debug builds check
// that on every lock and abort at the first inversion, which makes a
// deadlock that needs an unlucky interleaving show at the first run that
// takes the locks the wrong way round; release builds keep no record.
// Constant-initialised and trivially destructible, like std::mutex, so it
// may guard state that outlives static destruction. Use it with
// std::condition_variable_any.
class RankedMutex {
public:
    constexpr explicit RankedMutex(int rank) : rank_(rank) {}
    RankedMutex(const RankedMutex&) = delete;
    RankedMutex& operator=(const RankedMutex&) = delete;

    void lock() {
        assert(highestHeld() < rank_ && "lock order inverted");
        mutex_.lock();
        held(rank_, +1);
    }
    bool try_lock() {
        if (!mutex_.try_lock()) {
            return false;
        }
        held(rank_, +1);
        return true;
    }
    void unlock() {
        held(rank_, -1);
        mutex_.unlock();
    }

private:
#ifdef NDEBUG
    static int highestHeld() { return 0; }
    static void held(int, int) {}
#else
    // How many ranked mutexes of each rank this thread holds.
    static constexpr int kRanks = 8;
    static int (&counts())[kRanks] {
        thread_local int perRank[kRanks] = {};
        return perRank;
    }
    static int highestHeld() {
        for (int rank = kRanks - 1; rank > 0; --rank) {
            if (counts()[rank] > 0) {
                return rank;
            }
        }
        return 0;
    }
    static void held(int rank, int change) { counts()[rank] += change; }
#endif

    std::mutex mutex_;
    const int rank_;
};

// The backend's lock order, first to last (docs/ARCHITECTURE.md).
namespace LockRank {
constexpr int kSharedLink = 1;
constexpr int kEventLoop = 2;
constexpr int kLiveReferences = 3;
constexpr int kServiceNames = 4;
constexpr int kReplyQueue = 5;
}  // namespace LockRank

}  // namespace Zelm
