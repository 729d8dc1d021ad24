// Memory that runs out at any one allocation of a start call, on the caller's
// thread or the backend's: the call succeeds or returns
// kDNSServiceErr_NoMemory, the process never aborts, and the next call works.
// The replacement malloc below counts every allocation of the process; the
// n-th one from the start of a call fails, for every n the call reaches.

#include "Sandbox.h"

#include <dns_sd.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

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

// A registration of this process in force, for the keep-alive's refresh.
DNSServiceRef registration = nullptr;
pid_t registeredBy = 0;
bool holdRegistration() {
    if (registeredBy == ::getpid()) return true;
    registeredBy = ::getpid();
    const std::string held = uniqueName("Zelm Alloc Held");
    return DNSServiceRegister(&registration, 0, 0, held.c_str(), kType, nullptr, nullptr, htons(7501), 0,
                              nullptr, ignoreReply, nullptr) == kDNSServiceErr_NoError &&
           DNSServiceProcessResult(registration) == kDNSServiceErr_NoError;  // the confirmation
}

// One call with its n-th allocation failing: its code, and whether it reached that allocation.
std::pair<DNSServiceErrorType, bool> failOnce(const Start& start, long n) {
    failureReached = false;
    DNSServiceRef ref = nullptr;
    allocationsUntilFailure = n;
    const DNSServiceErrorType code = start(&ref);
    allocationsUntilFailure = -1;
    if (code == kDNSServiceErr_NoError && ref != nullptr) DNSServiceRefDeallocate(ref);
    return {code, failureReached};
}

// The same in a child of its own, whose first call builds a new daemon link
// and whose exit() ends it, so that the failure may hit the link's set-up
// and its tear-down too. A child that does not exit counts as code 1.
std::pair<DNSServiceErrorType, bool> failOnceOnFreshLink(const Start& start, long n) {
    std::fflush(nullptr);
    constexpr DNSServiceErrorType kKinds[] = {kDNSServiceErr_NoError, kDNSServiceErr_NoMemory,
                                              kDNSServiceErr_Unknown};
    const pid_t child = ::fork();
    if (child == 0) {
        const auto [code, reached] = failOnce(start, n);
        std::exit(static_cast<int>(std::find(kKinds, kKinds + 2, code) - kKinds) | (reached ? 4 : 0));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status)) return {1, true};
    return {kKinds[WEXITSTATUS(status) & 3], (WEXITSTATUS(status) & 4) != 0};
}

// Fails the n-th allocation of `start` for n = 0, 1, ... until a call no
// longer reaches it. The codes seen, with how often.
std::map<DNSServiceErrorType, int> sweep(const Start& start, bool freshLink, long& allocations) {
    std::map<DNSServiceErrorType, int> codes;
    for (allocations = 0; allocations < kMostAllocations; ++allocations) {
        const auto [code, reached] =
            freshLink ? failOnceOnFreshLink(start, allocations) : failOnce(start, allocations);
        ++codes[code];
        if (!reached) break;
    }
    return codes;
}

// On the link already set up, and on a fresh link for every call.
class AllocationFailure : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Link, AllocationFailure, ::testing::Values(false, true));

TEST_P(AllocationFailure, EveryStartCallFailsCleanlyAtEveryAllocationAndRecovers) {
    ASSERT_TRUE(holdRegistration());
    struct Call {
        std::string name;
        Start start;
    };
    // The queries on the link, and in a unicast domain: the backend's own DNS
    // client, whose set-up reads the resolver's configuration (no server answers here).
    std::vector<Call> calls;
    for (const char* domain : {"local.", "zelm.test."}) {
        const bool link = std::strcmp(domain, "local.") == 0;
        const char* host = link ? "zelm-a.local." : "nobody.zelm.test.";
        const std::string kind = link ? "" : "unicast ";
        calls.push_back({kind + "browse", [domain](DNSServiceRef* ref) {
                             return DNSServiceBrowse(ref, 0, 0, kType, domain, ignoreReply, nullptr);
                         }});
        calls.push_back({kind + "resolve", [domain](DNSServiceRef* ref) {
                             return DNSServiceResolve(ref, 0, 0, "Nobody", kType, domain, ignoreReply,
                                                      nullptr);
                         }});
        calls.push_back({kind + "lookup", [host](DNSServiceRef* ref) {
                             return DNSServiceGetAddrInfo(ref, 0, 0, 0, host, ignoreReply, nullptr);
                         }});
    }
    calls.push_back({"register", [](DNSServiceRef* ref) {
                         static int round = 0;
                         char name[64];  // no allocation of the test's own within the sweep
                         std::snprintf(name, sizeof name, "Zelm Alloc %d-%d", static_cast<int>(::getpid()),
                                       ++round);
                         return DNSServiceRegister(ref, 0, 0, name, kType, nullptr, nullptr, htons(7500), 0,
                                                   nullptr, ignoreReply, nullptr);
                     }});
    calls.push_back({"update", [](DNSServiceRef*) {
                         // A child registers first, with memory to spare; the update's allocations are swept.
                         const long armed = allocationsUntilFailure.exchange(-1);
                         const bool held = holdRegistration();
                         allocationsUntilFailure = armed;
                         return held ? DNSServiceUpdateRecord(registration, nullptr, 0, 4, "\x03k=v", 0)
                                     : kDNSServiceErr_Unknown;
                     }});
    for (const auto& call : calls) {
        long allocations = 0;
        const auto codes = sweep(call.start, GetParam(), allocations);
        std::string seen;
        for (const auto& [code, count] : codes)
            seen += " " + std::to_string(code) + " x" + std::to_string(count);
        std::printf("allocation failure | %s%s | %ld allocations |%s\n", call.name.c_str(),
                    GetParam() ? " on a fresh link" : "", allocations, seen.c_str());
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
}

}  // namespace
