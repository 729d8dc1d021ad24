#pragma once

// Helpers that plug-in and backend samples share.

#include "ProcessStats.h"
#include "Stopwatch.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <unordered_set>

namespace Zelm::Bench {

// Peak threads, memory and bus connections while `running` is true, sampled
// every 250 ms on a thread of its own; reported as growth over `idle`.
class PeakWatcher {
public:
    PeakWatcher() : idle_(currentProcessStats()), idleConnections_(busConnectionsOfThisProcess()) {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                sample();
                for (int i = 0; i < 25 && !stop_.load(); ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
        });
    }
    PeakWatcher(const PeakWatcher&) = delete;
    PeakWatcher& operator=(const PeakWatcher&) = delete;
    ~PeakWatcher() { finish(); }

    void finish() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
    }

    // Growth per operation for `count` operations; the watcher's own thread
    // is taken out of the thread count.
    nlohmann::json report(int count) const {
        const double n = count;
        return {{"threads_per_op", (peak_.threads - 1 - idle_.threads) / n},
                {"rss_kb_per_op", (peak_.rssKb - idle_.rssKb) / n},
                {"vsz_kb_per_op", (peak_.vszKb - idle_.vszKb) / n},
                {"peak_threads", peak_.threads - 1},
                {"daemon_connections", peakConnections_ - std::max(idleConnections_, 0)}};
    }

private:
    void sample() {
        const ProcessStats now = currentProcessStats();
        peak_.threads = std::max(peak_.threads, now.threads);
        peak_.rssKb = std::max(peak_.rssKb, now.rssKb);
        peak_.vszKb = std::max(peak_.vszKb, now.vszKb);
        peakConnections_ = std::max(peakConnections_, busConnectionsOfThisProcess());
    }

    ProcessStats idle_;
    int idleConnections_;
    ProcessStats peak_;
    int peakConnections_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// First-arrival times of distinct browse results, relative to `start`.
struct Arrivals {
    Clock::time_point start = Clock::now();
    std::unordered_set<std::string> names;
    double lastMs = 0;

    void add(const std::string& name) {
        if (names.insert(name).second) {
            lastMs = millisSince(start);
        }
    }
};

}  // namespace Zelm::Bench
