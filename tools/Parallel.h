#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Zelm::Tool {

// Runs task(0) ... task(count - 1) on up to `maxThreads` threads and waits for
// all of them. The first exception a task throws is rethrown afterwards.
inline void runInParallel(std::size_t count, std::size_t maxThreads,
                          const std::function<void(std::size_t)>& task) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    const auto worker = [&] {
        for (std::size_t i = next++; i < count; i = next++) {
            try {
                task(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failureMutex);
                if (!failure) failure = std::current_exception();
            }
        }
    };
    std::vector<std::thread> threads;
    const std::size_t threadCount = std::min(count, std::max<std::size_t>(maxThreads, 1));
    for (std::size_t t = 0; t < threadCount; ++t) {
        threads.emplace_back(worker);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace Zelm::Tool
