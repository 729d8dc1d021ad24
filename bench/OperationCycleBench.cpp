// Cost of one completed discovery operation on the operation base (start,
// service thread, one completing reply, tear-down, join), against the bare
// minimum any bounded operation pays: starting a thread that signals a
// semaphore, waiting for the signal and joining the thread. The DNS-SD side is
// the scripted double, so the ratio measures the engine's own overhead.
//
// Usage: operation_cycle_bench [iterations]   (default 2000)

#include "engine/MDNSBase_impl.h"

#include <zelm/Semaphore.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "ScriptedDnsSd.h"

namespace {

using Clock = std::chrono::steady_clock;

class CompletingOperation : public Zelm::MDNS::Apple::MDNSBase_impl {
public:
    bool runOnce() {
        Zelm::Test::Double::onStart("DNSServiceBrowse", {Zelm::Test::browseReply("x", 0)});
        lastError = DNSServiceBrowse(&sdRef, 0, 0, "_bench._tcp", "", &CompletingOperation::reply, this);
        return lastError == kDNSServiceErr_NoError && performService(60000);
    }

private:
    static void reply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*, const char*,
                      const char*, void* context) {
        auto* self = static_cast<CompletingOperation*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->cleanup();
        self->semaphore.signal();
    }
};

double medianMicros(int iterations, const std::function<void()>& body) {
    std::vector<double> samples;
    samples.reserve(iterations);
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        body();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;

    const double baseline = medianMicros(iterations, [] {
        Zelm::Semaphore done(0);
        std::thread worker([&] { done.signal(); });
        done.wait_for_milliseconds(60000);
        worker.join();
    });

    CompletingOperation operation;
    bool allCompleted = true;
    const double cycle =
        medianMicros(iterations, [&] { allCompleted = operation.runOnce() && allCompleted; });
    Zelm::Test::Double::reset();

    std::printf("baseline thread+semaphore cycle: %8.1f us (median of %d)\n", baseline, iterations);
    std::printf("completed operation cycle:       %8.1f us (median of %d)\n", cycle, iterations);
    std::printf("ratio operation/baseline:        %8.2f\n", cycle / baseline);
    if (!allCompleted) {
        std::printf("some operations did not complete\n");
        return 1;
    }
    return 0;
}
