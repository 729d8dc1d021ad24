#include "Resolve_impl.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

namespace {

using namespace Zelm::Test;
using Zelm::MDNS::Apple::Resolve_impl;

// The component's fixed time-out; an answered call must end well before it.
constexpr std::chrono::milliseconds kTimeOut(4000);

Zelm::Error resolveX(Resolve_impl& resolve) {
    return resolve.resolveService("x", "_ipp._tcp.", "local.", 0, 0);
}

// The first reply without MoreComing ends the call at once and is the answer;
// a failed start afterwards clears it.
TEST(Resolve, AnswerEndsTheCallAtOnceWithRawTxtAndHostOrderPortUntilAFailedStart) {
    // A value holding a zero byte, and an empty string inside the record.
    const std::string txt("\x04k=\0v\0\x03x=1", 10);
    Double::onStart("DNSServiceResolve",
                    {resolveReply("first", "first.local.", 1, "\x01a", kDNSServiceFlagsMoreComing),
                     resolveReply("Printer._ipp._tcp.local.", "printer.local.", 8080, txt),
                     resolveReply("third", "third.local.", 3, "\x01c")});
    Resolve_impl resolve;
    const auto begin = std::chrono::steady_clock::now();

    expectError(resolve.resolveService("Printer", "_ipp._tcp.", nullptr, 2, kDNSServiceFlagsUnique),
                kDNSServiceErr_NoError, Zelm::Error::Discovery);

    EXPECT_LT(std::chrono::steady_clock::now() - begin, kTimeOut / 4);
    EXPECT_EQ(resolve.getPort(), 8080);
    EXPECT_EQ(resolve.getTxtRecord(), txt);
    EXPECT_EQ(resolve.getHosttarget(), "printer.local.");
    EXPECT_EQ(resolve.getFullname(), "Printer._ipp._tcp.local.");
    EXPECT_TRUE(resolve.isInitialized());
    EXPECT_EQ(Double::calls("DNSServiceRefDeallocate").size(), 1u);
    // The caller's null domain goes on unchanged.
    EXPECT_EQ(Double::calls("DNSServiceResolve").at(0).args,
              "flags=32 if=2 name=Printer type=_ipp._tcp. domain=(null)");

    // A failed start clears that answer and returns its code silently.
    Double::failNextStart("DNSServiceResolve", kDNSServiceErr_BadParam);
    CoutCapture capture;
    expectError(resolveX(resolve), kDNSServiceErr_BadParam, Zelm::Error::Service);
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(resolve.getHosttarget() + resolve.getTxtRecord() + resolve.getFullname(), "");
    EXPECT_EQ(resolve.getPort(), 0);
    EXPECT_FALSE(resolve.isInitialized());
}

// Without an answer the call reports NotInitialized, whatever ended it; an
// answer followed by a failing DNSServiceProcessResult reports that failure.
// Only a call its reply completed stays initialized.
TEST(Resolve, OutcomeFollowsTheStoredAnswerThenTheLastFailure) {
    const struct {
        DNSServiceErrorType code;
        bool initialized;
        const char *host, *lines;
        Reply reply, then{};
    } cases[] = {{kDNSServiceErr_NotInitialized, true, "", "mDNS error: -65548: MDNS name conflict.\n",
                  resolveReply("", "", 0, "", 0, kDNSServiceErr_NameConflict)},
                 {kDNSServiceErr_NotInitialized, false, "",
                  "mDNS error: -65563: MDNS background daemon not running.\n",
                  processFailure(kDNSServiceErr_ServiceNotRunning)},
                 {kDNSServiceErr_Refused, false, "a.local.", "mDNS error: -65553: MDNS refused.\n",
                  resolveReply("A._ipp._tcp.local.", "a.local.", 631, "", kDNSServiceFlagsMoreComing),
                  processFailure(kDNSServiceErr_Refused)}};
    for (const auto& c : cases) {
        Double::onStart("DNSServiceResolve", {c.reply, c.then});
        Prompt<Resolve_impl> resolve;
        CoutCapture capture;
        expectError(resolveX(resolve), c.code, Zelm::Error::Service);
        EXPECT_EQ(resolve.getHosttarget(), c.host);
        EXPECT_EQ(capture.text(), c.lines);
        EXPECT_EQ(resolve.isInitialized(), c.initialized) << c.lines;
    }
}

TEST(Resolve, SecondResolveWhileOneRunsIsRefusedAndChangesNothing) {
    Gate gate;
    Double::onStart("DNSServiceResolve",
                    {gate.hold(resolveReply("A._ipp._tcp.local.", "a.local.", 631, ""))});
    Resolve_impl resolve;
    Zelm::Error first;
    std::thread firstThread([&] { first = resolve.resolveService("A", "_ipp._tcp.", "local.", 0, 0); });
    gate.reached.get_future().wait();
    const Zelm::Error busy = resolve.resolveService("B", "_ipp._tcp.", "local.", 0, 0);
    gate.released.set_value();
    firstThread.join();

    expectBusy(busy);
    EXPECT_EQ(Double::calls("DNSServiceResolve").size(), 1u);
    EXPECT_TRUE(first.ok());
    EXPECT_EQ(resolve.getHosttarget(), "a.local.");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A service thread that cannot start (no address space for its stack) is a
// shortage of resources, reported as such, not as an unanswered request.
TEST(Resolve, ServiceThreadThatCannotStartIsNoMemory) {
    const pid_t child = ::fork();
    if (child == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t room = static_cast<rlim_t>(pages * ::sysconf(_SC_PAGESIZE)) + 128 * 1024;
        const rlimit limit{room, room};
        Resolve_impl resolve;
        ::setrlimit(RLIMIT_AS, &limit);
        if (::mmap(nullptr, 256 * 1024, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) !=
            MAP_FAILED) {
            ::_exit(77);  // the limit does not bite here (an emulator keeps its own address space)
        }
        const Zelm::Error error = resolveX(resolve);
        ::_exit(error.code() == static_cast<unsigned>(kDNSServiceErr_NoMemory) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no way to run out of address space here";
    }
    EXPECT_EQ(status, 0) << "the child's resolve did not end with kDNSServiceErr_NoMemory";
}
#endif

}  // namespace
