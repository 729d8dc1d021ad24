// The backend on host A registers; the independent peer on host B checks
// what reaches the network.

#include "SandboxSupport.h"

#include <arpa/inet.h>

namespace backend_test {
namespace {

class Registration : public SandboxTest {};

const std::string kTxt(
    "\x03"
    "a=1\x05"
    "bb=22\x02\x00\xff",
    13);

TEST_F(Registration, PeerSeesNamePortAndTxtUntilDeallocation) {
    const std::string name = uniqueName("Zelm Reg");
    RefGuard guard;
    RegisterLog log;
    ASSERT_EQ(registerAndWait(guard, log, name.c_str(), 9090, kTxt), kDNSServiceErr_NoError);
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].error, kDNSServiceErr_NoError);
    EXPECT_EQ(log.events[0].name, name);
    EXPECT_EQ(log.events[0].type, std::string(kType) + ".");
    EXPECT_EQ(log.events[0].domain, "local.");

    const auto found = peerWaitFor(name, {"--port", "9090", "--txt-hex", toHex(kTxt)});
    ASSERT_FALSE(found.is_null());
    EXPECT_EQ(found.value("host", ""), sandboxVar("ZELM_SANDBOX_HOSTNAME_A") + ".local.");

    DNSServiceRefDeallocate(guard.ref);
    guard.ref = nullptr;
    EXPECT_FALSE(peerWaitFor(name, {"--gone"}).is_null());
}

TEST_F(Registration, UpdateRecordReplacesTheTxtThePeerSees) {
    const std::string name = uniqueName("Zelm Upd");
    RefGuard guard;
    RegisterLog log;
    ASSERT_EQ(registerAndWait(guard, log, name.c_str(), 9091, kTxt), kDNSServiceErr_NoError);
    const std::string updated("\x09txtvers=2\x04x=yz", 15);
    ASSERT_EQ(DNSServiceUpdateRecord(guard.ref, nullptr, 0, static_cast<uint16_t>(updated.size()),
                                     updated.data(), 0),
              kDNSServiceErr_NoError);
    EXPECT_FALSE(peerWaitFor(name, {"--txt-hex", toHex(updated)}).is_null());
}

// What the daemon cannot carry: it refuses empty strings inside a TXT record,
// so they are left out, and a record of nothing but empty strings becomes the
// empty record (one zero byte).
TEST_F(Registration, EmptyTxtStringsAreLeftOut) {
    std::string padded("\x09txtvers=1", 10);
    padded.resize(128, '\0');
    const std::string name = uniqueName("Zelm Pad");
    RefGuard guard;
    RegisterLog log;
    ASSERT_EQ(registerAndWait(guard, log, name.c_str(), 9092, padded), kDNSServiceErr_NoError);
    EXPECT_EQ(log.events[0].error, kDNSServiceErr_NoError);
    EXPECT_FALSE(peerWaitFor(name, {"--txt-hex", toHex("\x09txtvers=1")}).is_null());

    const std::string emptyName = uniqueName("Zelm Zero");
    RefGuard emptyGuard;
    RegisterLog emptyLog;
    ASSERT_EQ(registerAndWait(emptyGuard, emptyLog, emptyName.c_str(), 9093, std::string(3, '\0')),
              kDNSServiceErr_NoError);
    EXPECT_FALSE(peerWaitFor(emptyName, {"--txt-hex", "00"}).is_null());
}

TEST_F(Registration, NullNameTakesTheDaemonsHostName) {
    RefGuard guard;
    RegisterLog log;
    ASSERT_EQ(registerAndWait(guard, log, nullptr, 9094, ""), kDNSServiceErr_NoError);
    EXPECT_EQ(log.events[0].error, kDNSServiceErr_NoError);
    EXPECT_EQ(log.events[0].name, sandboxVar("ZELM_SANDBOX_HOSTNAME_A"));
}

TEST_F(Registration, HostArgumentBecomesTheServicesTarget) {
    const std::string name = uniqueName("Zelm Proxy");
    const std::string target = sandboxVar("ZELM_SANDBOX_HOSTNAME_B") + ".local.";
    PeerPublisher addressOwner(uniqueName("Peer Host"), 8084, {});  // makes the target's address known
    ASSERT_TRUE(addressOwner.published());
    RegisterLog log;
    RefGuard guard;
    ASSERT_EQ(DNSServiceRegister(&guard.ref, 0, 0, name.c_str(), kType, nullptr, target.c_str(), htons(9095),
                                 0, nullptr, &RegisterLog::reply, &log),
              kDNSServiceErr_NoError);
    ASSERT_TRUE(pumpUntil(guard.ref, 15s, [&] { return !log.events.empty(); }));
    EXPECT_EQ(log.events[0].error, kDNSServiceErr_NoError);
    EXPECT_EQ(peerWaitFor(name, {}).value("host", ""), target);
}

TEST_F(Registration, SecondRegistrationOfANameIsRenamed) {
    const std::string name = uniqueName("Zelm Twice");
    RefGuard first, second;
    RegisterLog firstLog, secondLog;
    ASSERT_EQ(registerAndWait(first, firstLog, name.c_str(), 9096, kTxt), kDNSServiceErr_NoError);
    // Identical records: the daemon alone would let both stand under one name.
    ASSERT_EQ(registerAndWait(second, secondLog, name.c_str(), 9096, kTxt), kDNSServiceErr_NoError);
    EXPECT_EQ(firstLog.events[0].name, name);
    EXPECT_EQ(secondLog.events[0].error, kDNSServiceErr_NoError);
    EXPECT_EQ(secondLog.events[0].name, name + " #2");
}

TEST_F(Registration, NameOfAnotherProgramIsAConflict) {
    const std::string name = uniqueName("Zelm Other");
    ChildProcess other({"avahi-publish", "-s", name, kType, "9097"}, true);
    ASSERT_FALSE(peerWaitFor(name, {}).is_null());

    RefGuard renamed, refused;
    RegisterLog renamedLog, refusedLog;
    ASSERT_EQ(registerAndWait(renamed, renamedLog, name.c_str(), 9098, ""), kDNSServiceErr_NoError);
    EXPECT_EQ(renamedLog.events[0].name, name + " #2");
    ASSERT_EQ(registerAndWait(refused, refusedLog, name.c_str(), 9099, "", kDNSServiceFlagsNoAutoRename),
              kDNSServiceErr_NoError);
    EXPECT_EQ(refusedLog.events[0].error, kDNSServiceErr_NameConflict);
}

TEST_F(Registration, NameOfAnotherHostIsAConflict) {
    const std::string name = uniqueName("Zelm Remote");
    PeerPublisher peer(name, 8083, {});
    ASSERT_TRUE(peer.published());

    RefGuard refused, renamed;
    RegisterLog refusedLog, renamedLog;
    ASSERT_EQ(registerAndWait(refused, refusedLog, name.c_str(), 9100, "", kDNSServiceFlagsNoAutoRename),
              kDNSServiceErr_NoError);
    EXPECT_EQ(refusedLog.events[0].error, kDNSServiceErr_NameConflict);
    EXPECT_EQ(refusedLog.events[0].name, name);
    ASSERT_EQ(registerAndWait(renamed, renamedLog, name.c_str(), 9101, ""), kDNSServiceErr_NoError);
    EXPECT_EQ(renamedLog.events[0].error, kDNSServiceErr_NoError);
    EXPECT_EQ(renamedLog.events[0].name, name + " #2");
}

}  // namespace
}  // namespace backend_test
