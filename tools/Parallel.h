#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <future>
#include <vector>

namespace Zelm::Tool {

// Runs task(0) ... task(count - 1) on up to `maxThreads` threads and waits for
// all of them. The first exception a task throws is rethrown afterwards.
inline void runInParallel(std::size_t count, std::size_t maxThreads,
                          const std::function<void(std::size_t)>& task) {
    std::atomic<std::size_t> next{0};
    std::vector<std::future<void>> workers;
    for (std::size_t t = 0; t < std::min(count, std::max<std::size_t>(maxThreads, 1)); ++t) {
        workers.push_back(std::async(std::launch::async, [&] {
            for (std::size_t i = next++; i < count; i = next++) task(i);
        }));
    }
    for (std::future<void>& worker : workers) worker.wait();
    for (std::future<void>& worker : workers) worker.get();
}

}  // namespace Zelm::Tool
