// Memory that runs out at any one allocation of a start call, on the caller's
// thread or the backend's: the call succeeds or returns
// kDNSServiceErr_NoMemory, the process never aborts, and the next call works.
// The replacement malloc below counts every allocation of the process; the
// n-th one from the start of a call fails, for every n the call reaches.

#include "Sandbox.h"

#include <dns_sd.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* pointer, size_t size);

namespace {

std::atomic<long> allocationsUntilFailure{-1};  // -1: none fails
std::atomic<bool> failureReached{false};

bool failThisOne() {
    const bool armed = allocationsUntilFailure.load(std::memory_order_relaxed) >= 0;
    return armed && allocationsUntilFailure.fetch_sub(1) == 0 && (failureReached = true);
}

}  // namespace

extern "C" void* malloc(size_t size) { return failThisOne() ? nullptr : __libc_malloc(size); }
extern "C" void* calloc(size_t count, size_t size) {
    return failThisOne() ? nullptr : __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
    return failThisOne() ? nullptr : __libc_realloc(pointer, size);
}

namespace {

using namespace Zelm::Test;
constexpr const char* kType = "_zelmalloc._tcp";
constexpr long kMostAllocations = 20000;  // a sweep that never ends is a failure too

// Any reply function: the calls' replies do not matter here.
constexpr auto ignoreReply = [](auto...) {};

using Start = std::function<DNSServiceErrorType(DNSServiceRef*)>;

// Fails the n-th allocation of `start` for n = 0, 1, ... until a call no
// longer reaches it. The codes seen, with how often.
std::map<DNSServiceErrorType, int> sweep(const Start& start, long& allocations) {
    std::map<DNSServiceErrorType, int> codes;
    for (allocations = 0; allocations < kMostAllocations; ++allocations) {
        failureReached = false;
        DNSServiceRef ref = nullptr;
        allocationsUntilFailure = allocations;
        const DNSServiceErrorType code = start(&ref);
        allocationsUntilFailure = -1;
        ++codes[code];
        if (code == kDNSServiceErr_NoError) DNSServiceRefDeallocate(ref);
        if (!failureReached) break;
    }
    return codes;
}

TEST(AllocationFailure, EveryStartCallFailsCleanlyAtEveryAllocationAndRecovers) {
    // A registration in force, for the keep-alive's refresh.
    const std::string held = uniqueName("Zelm Alloc Held");
    DNSServiceRef registration = nullptr;
    ASSERT_EQ(DNSServiceRegister(&registration, 0, 0, held.c_str(), kType, nullptr, nullptr, htons(7501), 0,
                                 nullptr, ignoreReply, nullptr),
              kDNSServiceErr_NoError);
    ASSERT_EQ(DNSServiceProcessResult(registration), kDNSServiceErr_NoError);  // the confirmation
    const struct {
        const char* name;
        Start start;
    } calls[] = {
        {"browse",
         [](DNSServiceRef* ref) {
             return DNSServiceBrowse(ref, 0, 0, kType, "local.", ignoreReply, nullptr);
         }},
        {"resolve",
         [](DNSServiceRef* ref) {
             return DNSServiceResolve(ref, 0, 0, "Nobody", kType, "local.", ignoreReply, nullptr);
         }},
        {"lookup",
         [](DNSServiceRef* ref) {
             return DNSServiceGetAddrInfo(ref, 0, 0, 0, "zelm-a.local.", ignoreReply, nullptr);
         }},
        {"register",
         [](DNSServiceRef* ref) {
             static int round = 0;
             char name[64];  // no allocation of the test's own within the sweep
             std::snprintf(name, sizeof name, "Zelm Alloc %d-%d", static_cast<int>(::getpid()), ++round);
             return DNSServiceRegister(ref, 0, 0, name, kType, nullptr, nullptr, htons(7500), 0, nullptr,
                                       ignoreReply, nullptr);
         }},
        {"update",
         [registration](DNSServiceRef*) {
             return DNSServiceUpdateRecord(registration, nullptr, 0, 4, "\x03k=v", 0);
         }},
    };
    for (const auto& call : calls) {
        long allocations = 0;
        const auto codes = sweep(call.start, allocations);
        std::string seen;
        for (const auto& [code, count] : codes)
            seen += " " + std::to_string(code) + " x" + std::to_string(count);
        std::printf("allocation failure | %s | %ld allocations |%s\n", call.name, allocations, seen.c_str());
        EXPECT_LT(allocations, kMostAllocations) << call.name;
        for (const auto& [code, count] : codes) {
            EXPECT_TRUE(code == kDNSServiceErr_NoError || code == kDNSServiceErr_NoMemory)
                << call.name << ": " << code;
        }
        // And with memory back, the call works.
        DNSServiceRef ref = nullptr;
        EXPECT_EQ(call.start(&ref), kDNSServiceErr_NoError) << call.name;
        if (ref != nullptr) DNSServiceRefDeallocate(ref);
    }
    DNSServiceRefDeallocate(registration);
}

}  // namespace
