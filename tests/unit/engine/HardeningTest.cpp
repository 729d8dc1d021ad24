#include "AddressInfo_impl.h"
#include "Browse_impl.h"
#include "ErrorLine.h"
#include "ServiceRegister_impl.h"

#include <poll.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <locale>
#include <new>
#include <vector>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

namespace {

using namespace Zelm::Test;
using namespace std::chrono_literals;

// Runs `call` on a thread of its own. A call still running after `limit`
// ends the process, so that a hang fails the suite instead of stalling CI.
template <typename Call>
auto returnsWithin(std::chrono::seconds limit, Call call) {
    auto result = std::async(std::launch::async, std::move(call));
    if (result.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "watchdog: a call did not return within %d s\n",
                     static_cast<int>(limit.count()));
        std::_Exit(1);
    }
    return result.get();
}

// Each of 4 callers' starts of `function` gets `reply`; the callers run
// `call(caller)` at once, `rounds` times over, while this thread runs
// `between(round)`.
void race(const char* function, const Reply& reply, int rounds, const std::function<void(int)>& call,
          const std::function<void(int)>& between = {}) {
    for (int i = 0; i < 4 * rounds; ++i) Double::onStart(function, {reply});
    returnsWithin(120s, [&] {
        for (int round = 0; round < rounds; ++round) {
            std::vector<std::thread> threads;
            for (int caller = 0; caller < 4; ++caller) threads.emplace_back(call, caller);
            if (between) between(round);
            for (auto& thread : threads) thread.join();
        }
        return true;
    });
}

// A browse reply naming the type its own request asked for, so that a caller
// can tell whose results it received.
DNSServiceErrorType echoOwnType(DNSServiceRef ref, void* callback, void* context) {
    std::string type;
    for (const Call& call : Double::calls("DNSServiceBrowse"))
        if (call.ref == ref) type = call.args.substr(call.args.find("type=") + 5);
    type.resize(type.find(' '));
    reinterpret_cast<DNSServiceBrowseReply>(callback)(ref, kDNSServiceFlagsAdd, 1, 0, "echo", type.c_str(),
                                                      "local.", context);
    return kDNSServiceErr_NoError;
}

TEST(Hardening, RacingCallersOnOneComponentNeitherLeakNorHangNorSwapResults) {
    CoutCapture quiet;  // every time-out writes an error line
    Zelm::MDNS::Apple::Browse_impl browse;
    const Zelm::MDNS::BrowseOperationAlreadyInProgress busy;
    std::atomic<int> refused{0};
    race(
        "DNSServiceBrowse", echoOwnType, 100,
        [&](int caller) {
            const std::string type = "_t" + std::to_string(caller) + "._tcp";
            std::vector<std::string> seen;
            const auto result =
                browse.browseService(2, type.c_str(), "local", 0, 0,
                                     [&](const Zelm::MDNS::Info& info) { seen.push_back(info.regtype); });
            refused += result.code() == busy.code() && result.category() == busy.category();
            // Only this call's own request reached its function, and counted.
            for (const auto& regtype : seen) EXPECT_EQ(regtype, type);
            EXPECT_TRUE(seen.empty() || result.code() == 0) << type;
        },
        [&](int round) {
            if (round % 3 == 0) browse.endLifeCycle();
        });
    EXPECT_GT(refused.load(), 0);

    // Lookups make no busy test; racing ones must still each end cleanly.
    Zelm::MDNS::Apple::AddressInfo_impl lookup;
    race("DNSServiceGetAddrInfo", addressReply(ip("10.0.0.1")), 20,
         [&](int) { EXPECT_TRUE(lookup.getAddressInfo("h.local", 0, 0, 0).ok()); });
    EXPECT_EQ(lookup.getSocketAddressAsString(), "10.0.0.1");
}

// An operation whose reply function throws, as an allocation failing while a
// result is stored would.
class ThrowingOperation : public Zelm::MDNS::Apple::MDNSBase_impl {
public:
    bool run(unsigned int timeoutMs) {
        lastError = startRequest([this](DNSServiceRef* ref) {
            return DNSServiceBrowse(ref, 0, 0, "_t._tcp", "", &ThrowingOperation::reply, this);
        });
        return performService(timeoutMs);
    }

private:
    static void reply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*, const char*,
                      const char*, void*) {
        throw std::bad_alloc();
    }
};

TEST(Hardening, ReplyThrowingInsideTheLoopLetsTheCallReturnAtItsTimeOut) {
    for (int i = 0; i < 2; ++i) Double::onStart("DNSServiceBrowse", {browseReply("a")});
    ThrowingOperation operation;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(returnsWithin(10s, [&] { return operation.run(100); }));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 100ms);
    // Without a time-out the loop runs on the caller's thread, so nothing but
    // the loop itself keeps the exception from the caller.
    EXPECT_TRUE(returnsWithin(10s, [&] { return operation.run(0); }));
    EXPECT_EQ(Double::calls("DNSServiceRefDeallocate").size(), 2u);
}

TEST(Hardening, CallDuringTheTearDownOfThePreviousRequestIsRefused) {
    Gate gate;
    Double::onStart("DNSServiceBrowse", {gate.hold(browseReply("a"))});
    Zelm::MDNS::Apple::Browse_impl browse;
    auto first =
        std::async(std::launch::async, [&] { return browse.browseService(20, "_t._tcp", "", 0, 0, {}); });
    gate.reached.get_future().wait();
    // The time-out's tear-down shuts the socket down first; it cannot finish
    // while the gate holds the service thread inside its pass.
    pollfd shutDown{DNSServiceRefSockFD(Double::calls("DNSServiceBrowse").back().ref), POLLRDHUP, 0};
    ASSERT_EQ(::poll(&shutDown, 1, 5000), 1);

    auto second =
        std::async(std::launch::async, [&] { return browse.browseService(20, "_u._tcp", "", 0, 0, {}); });
    const bool returned = second.wait_for(5s) == std::future_status::ready;
    gate.released.set_value();
    returnsWithin(10s, [&] { return first.get(); });
    ASSERT_TRUE(returned);
    expectBusy(second.get());
    EXPECT_EQ(Double::calls("DNSServiceBrowse").size(), 1u);
}

struct GroupingPunctuation : std::numpunct<char> {
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(Hardening, DiagnosticLinesIgnoreAGroupingGlobalLocale) {
    Zelm::MDNS::Apple::ServiceRegister_impl registration(true);
    CoutCapture capture;
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new GroupingPunctuation));
    Zelm::MDNS::Apple::Util::writeErrorLine(kDNSServiceErr_NoSuchName, "P:");
    Zelm::MDNS::Apple::ServiceRegister_impl::__DNSServiceRegisterReplyFunc__(
        nullptr, 0, kDNSServiceErr_NameConflict, "Printer", "_ipp._tcp.", "local.", &registration);
    std::locale::global(previous);
    EXPECT_EQ(capture.text(),
              "P:mDNS error: -65538: MDNS no such name.\n"
              " Error Registering service: -65548(Printer._ipp._tcp.local.)\n");
}

}  // namespace
