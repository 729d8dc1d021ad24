// The backend on host A registers; the independent peer on host B checks
// what reaches the network.

#include "BackendReplyLogs.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>

namespace Zelm::Test {
namespace {

TEST(Registration, PeerSeesNamePortAndTxtThenTheUpdateThenTheDeparture) {
    const std::string txt(
        "\x03"
        "a=1\x05"
        "bb=22\x02\x00\xff",
        13);
    const std::string name = uniqueName("Zelm Reg");
    RefGuard guard;
    Log log;
    ASSERT_EQ(registerAndWait(guard, log, name.c_str(), 9090, txt), kDNSServiceErr_NoError);
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].error, kDNSServiceErr_NoError);
    EXPECT_EQ(log.events[0].name, name);
    EXPECT_EQ(log.events[0].type, std::string(kType) + ".");
    EXPECT_EQ(log.events[0].domain, "local.");
    const auto found = peerWaitFor(kType, name, {"--port", "9090", "--txt-hex", toHex(txt)});
    ASSERT_FALSE(found.is_null());
    EXPECT_EQ(found.value("host", ""), hostName("A"));

    // The daemon refuses empty strings inside a TXT record: they are left out.
    const std::string updated("\x09txtvers=2\x04x=yz", 15);
    const std::string padded = updated + std::string(3, '\0');
    ASSERT_EQ(
        DNSServiceUpdateRecord(guard.ref, nullptr, 0, static_cast<uint16_t>(padded.size()), padded.data(), 0),
        kDNSServiceErr_NoError);
    EXPECT_TRUE(peerSees(name, {"--txt-hex", toHex(updated)}));

    DNSServiceRefDeallocate(guard.ref);
    guard.ref = nullptr;
    EXPECT_TRUE(peerSees(name, {"--gone"}));
}

// The largest TXT record taken reaches the peer whole, at registration and as
// an update; one byte more is refused at once, both times.
TEST(Registration, TxtRecordAtTheSizeLimitIsPublishedOneByteMoreIsRefused) {
    const auto txtOf = [](size_t size, char fill) {
        std::string txt;
        while (txt.size() < size) {
            const size_t length = std::min<size_t>(size - txt.size() - 1, 255);
            txt += static_cast<char>(length) + std::string(length, fill);
        }
        return txt;
    };
    const std::string name = uniqueName("Zelm Big TXT");
    RefGuard refused, guard;
    Log log;
    EXPECT_EQ(registerAndWait(refused, log, name.c_str(), 9098, txtOf(1176, 'a')), kDNSServiceErr_BadParam);
    ASSERT_EQ(registerAndWait(guard, log, name.c_str(), 9098, txtOf(1175, 'a')), kDNSServiceErr_NoError);
    EXPECT_TRUE(peerSees(name, {"--txt-hex", toHex(txtOf(1175, 'a'))}));
    EXPECT_EQ(DNSServiceUpdateRecord(guard.ref, nullptr, 0, 1176, txtOf(1176, 'b').data(), 0),
              kDNSServiceErr_BadParam);
    ASSERT_EQ(DNSServiceUpdateRecord(guard.ref, nullptr, 0, 1175, txtOf(1175, 'b').data(), 0),
              kDNSServiceErr_NoError);
    EXPECT_TRUE(peerSees(name, {"--txt-hex", toHex(txtOf(1175, 'b'))}));
}

// A null name takes the daemon's host name; a host argument becomes the
// target the peer resolves the service to.
TEST(Registration, DefaultNameAndHostArgument) {
    PeerPublisher addressOwner(uniqueName("Peer Host"), kType, 8084);  // makes the target's address known
    ASSERT_TRUE(addressOwner.published());
    Log log;
    RefGuard guard;
    ASSERT_EQ(DNSServiceRegister(&guard.ref, 0, 0, nullptr, kType, nullptr, hostName("B").c_str(),
                                 htons(9095), 0, nullptr, &Log::reply, &log),
              kDNSServiceErr_NoError);
    ASSERT_TRUE(pumpUntil(guard.ref, 15s, [&] { return !log.events.empty(); }));
    EXPECT_EQ(log.events[0].error, kDNSServiceErr_NoError);
    EXPECT_EQ(log.events[0].name, sandboxVar("ZELM_SANDBOX_HOSTNAME_A"));
    EXPECT_EQ(peerWaitFor(kType, log.events[0].name, {"--port", "9095"}).value("host", ""), hostName("B"));
}

// Who already holds the name: this process's own earlier registration (with
// identical records, which the daemon alone would let both stand under one
// name), another program on this host's daemon, or the peer on host B.
enum class Holder { ThisProcess, OtherProgram, OtherHost };

class NameTaken : public ::testing::TestWithParam<Holder> {};

TEST_P(NameTaken, SecondRegistrationIsRenamedOrWithNoAutoRenameRefused) {
    const std::string name = uniqueName("Zelm Taken");
    RefGuard held;
    Log heldLog;
    std::unique_ptr<ChildProcess> program;
    std::unique_ptr<PeerPublisher> peer;
    if (GetParam() == Holder::ThisProcess) {
        ASSERT_EQ(registerAndWait(held, heldLog, name.c_str(), 9096), kDNSServiceErr_NoError);
        EXPECT_EQ(heldLog.events[0].name, name);
    } else if (GetParam() == Holder::OtherProgram) {
        program = std::make_unique<ChildProcess>(
            std::vector<std::string>{"avahi-publish", "-s", name, kType, "9097"});
        ASSERT_TRUE(peerSees(name));
    } else {
        peer = std::make_unique<PeerPublisher>(name, kType, 8083);
        ASSERT_TRUE(peer->published());
    }

    RefGuard refused, renamed;
    Log refusedLog, renamedLog;
    ASSERT_EQ(registerAndWait(refused, refusedLog, name.c_str(), 9096, "", kDNSServiceFlagsNoAutoRename),
              kDNSServiceErr_NoError);
    EXPECT_EQ(refusedLog.events[0].error, kDNSServiceErr_NameConflict);
    EXPECT_EQ(refusedLog.events[0].name, name);
    ASSERT_EQ(registerAndWait(renamed, renamedLog, name.c_str(), 9096), kDNSServiceErr_NoError);
    EXPECT_EQ(renamedLog.events[0].error, kDNSServiceErr_NoError);
    EXPECT_EQ(renamedLog.events[0].name, name + " #2");
}

INSTANTIATE_TEST_SUITE_P(Registration, NameTaken,
                         ::testing::Values(Holder::ThisProcess, Holder::OtherProgram, Holder::OtherHost));

}  // namespace
}  // namespace Zelm::Test
