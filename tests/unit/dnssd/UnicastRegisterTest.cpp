// Registration by DNS UPDATE through a fake DnsClient: the search for the
// primary, renames, forged answers, TXT updates, refreshes and withdrawals,
// with the messages read back through ldns as a server would read them.

#include <stdlib.h>

#include "UnicastFakes.h"
#include "operations/UnicastRegisterOperation.h"

namespace Zelm::DnsSd {
namespace {

using namespace Unicast;
using namespace Unicast::Update;

void record(DNSServiceRef ref, DNSServiceFlags flags, DNSServiceErrorType code, const char* name, const char*,
            const char*, void*) {
    reinterpret_cast<Sink*>(ref)->replies.push_back({flags, code, name});
}

// Records of `type` and `rrClass` in the update section ("authority" to ldns).
int countUpdates(const ldns_pkt* pkt, ldns_rr_type type, ldns_rr_class rrClass) {
    int count = 0;
    for (size_t i = 0; i < ldns_pkt_nscount(pkt); ++i) {
        const ldns_rr* rr = ldns_rr_list_rr(ldns_pkt_authority(pkt), i);
        count += ldns_rr_get_type(rr) == type && ldns_rr_get_class(rr) == rrClass;
    }
    return count;
}

std::string txtOf(const ldns_pkt* pkt) {
    ldns_rr_list* txt = ldns_pkt_rr_list_by_type(pkt, LDNS_RR_TYPE_TXT, LDNS_SECTION_AUTHORITY);
    std::string text;
    for (size_t i = 0; txt != nullptr && i < ldns_rr_list_rr_count(txt); ++i) {
        const ldns_rr* rr = ldns_rr_list_rr(txt, i);
        const std::uint8_t* data = ldns_rr_rd_count(rr) > 0 ? ldns_rdf_data(ldns_rr_rdf(rr, 0)) : nullptr;
        if (data != nullptr) text.append(reinterpret_cast<const char*>(data) + 1, data[0]);
    }
    ldns_rr_list_deep_free(txt);
    return text;
}

struct Registration {
    FakeDns client;
    FakeTimers scheduler;
    Sink sink;
    DNSServiceErrorType started = 1;
    std::unique_ptr<UnicastRegisterOperation> operation;

    explicit Registration(bool autoRename = true, std::string name = "Zelm Unit") {
        ::setenv(kUpdateConfigVariable, "/nonexistent/dnssd-update.conf", 1);
        operation = std::make_unique<UnicastRegisterOperation>(
            UnicastRegisterOperation::Request{
                autoRename, std::move(name), "_zelmunit._tcp", {}, "zelm.test", "", 8080, {"v=1"}},
            record, nullptr);
        operation->open({&client, &scheduler, &sink}, Settle([this](DNSServiceErrorType e) { started = e; }));
    }
    ~Registration() { operation->stop(); }
    // Answers the search for the primary: the SOA, no update service, the MNAME's address.
    void locate() {
        client.reply({"zelm.test. 60 IN SOA ns.zelm.test. h.zelm.test. 1 2 3 4 5"});
        client.reply({});
        client.reply({"ns.zelm.test. 60 IN A 127.0.0.1"});
    }
};

TEST(UnicastRegisterOperation, FindsThePrimaryByTheUpdateServiceBeforeTheSoa) {
    struct Row {
        std::vector<std::string> updateService;
        std::string addressAsked;
        std::uint16_t port;
    };
    for (const Row& row : std::vector<Row>{
             {{"_dns-update._udp.zelm.test. 60 IN SRV 0 0 5300 upd.zelm.test."}, "upd.zelm.test.", 5300},
             {{}, "ns.zelm.test.", 53}}) {
        Registration r;
        EXPECT_EQ(r.client.reply({"zelm.test. 60 IN SOA ns.zelm.test. h.zelm.test. 1 2 3 4 5"}),
                  "zelm.test.");
        EXPECT_EQ(r.client.reply(row.updateService), "_dns-update._udp.zelm.test.");
        EXPECT_EQ(r.client.reply({row.addressAsked + " 60 IN A 127.0.0.1"}), row.addressAsked);
        Server to;
        r.client.answerUpdate(LDNS_RCODE_NOERROR, &to);
        EXPECT_EQ(to.address, "127.0.0.1");
        EXPECT_EQ(to.port, row.port);
        EXPECT_EQ(r.started, kDNSServiceErr_NoError);
    }
}

TEST(UnicastRegisterOperation, ConflictsRenameOrEndTheStartAndForgeriesAreAskedAgain) {
    Registration renaming;
    renaming.locate();
    renaming.client.answerUpdate(LDNS_RCODE_YXDOMAIN);
    EXPECT_EQ(renaming.started, 1);  // still waiting
    renaming.client.answerUpdate(LDNS_RCODE_NOERROR);
    ASSERT_EQ(renaming.sink.replies.size(), 1u);
    EXPECT_EQ(renaming.sink.replies[0].name, "Zelm Unit #2");
    EXPECT_EQ(renaming.sink.replies[0].flags, kDNSServiceFlagsAdd);
    EXPECT_EQ(renaming.started, kDNSServiceErr_NoError);

    Registration keeping(false);
    keeping.locate();
    keeping.client.answerUpdate(LDNS_RCODE_YXDOMAIN);
    EXPECT_EQ(keeping.started, kDNSServiceErr_NameConflict);
    EXPECT_TRUE(keeping.client.open.empty()) << "a lost name is not withdrawn";

    Registration forged;
    forged.locate();
    for (int i = 0; i < 3; ++i) {  // a query's answer, not an update's: not the server's word
        FakeDns::Open update = forged.client.take();
        forged.client.deliver(update, ldns_pkt_query_new(ldns_dname_new_frm_str("zelm.test."),
                                                         LDNS_RR_TYPE_SOA, LDNS_RR_CLASS_IN, LDNS_QR));
    }
    EXPECT_EQ(forged.started, kDNSServiceErr_Timeout);
}

TEST(UnicastRegisterOperation, TheLatestTxtGoesOnceConfirmedAndRefreshFailuresAreReportedOnce) {
    Registration r;
    r.locate();
    r.operation->updateTxt({"v=2"});
    r.operation->updateTxt({"v=3"});
    EXPECT_EQ(txtOf(r.client.answerUpdate(LDNS_RCODE_NOERROR)), "v=1");  // on its way before the updates
    EXPECT_EQ(txtOf(r.client.answerUpdate(LDNS_RCODE_NOERROR)), "v=3");
    EXPECT_TRUE(r.client.open.empty());
    for (int i = 0; i < 2; ++i) {
        r.scheduler.fire(i == 0 ? 7200 * 750 : kRetryMs);  // the fake grants the lease asked for
        r.client.answerUpdate(LDNS_RCODE_REFUSED);
    }
    r.scheduler.fire(kRetryMs);
    r.client.answerUpdate(LDNS_RCODE_NOERROR);
    ASSERT_EQ(r.sink.replies.size(), 3u);
    EXPECT_EQ(r.sink.replies[1].code, kDNSServiceErr_NoAuth);
    EXPECT_EQ(r.sink.replies[2].code, kDNSServiceErr_NoError);
}

TEST(UnicastRegisterOperation, TheLastRegistrationOfAHostWithdrawsItsAddresses) {
    Registration first, second(true, "Zelm Other");
    for (Registration* r : {&first, &second}) {
        r->locate();
        EXPECT_EQ(countUpdates(r->client.answerUpdate(LDNS_RCODE_NOERROR), LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN),
                  1);
    }
    first.operation->stop();
    second.operation->stop();
    EXPECT_EQ(countUpdates(first.client.answerUpdate(LDNS_RCODE_NOERROR), LDNS_RR_TYPE_A, LDNS_RR_CLASS_NONE),
              0);
    const ldns_pkt* last = second.client.answerUpdate(LDNS_RCODE_NOERROR);
    EXPECT_EQ(countUpdates(last, LDNS_RR_TYPE_A, LDNS_RR_CLASS_NONE), 1);
    EXPECT_EQ(countUpdates(last, LDNS_RR_TYPE_PTR, LDNS_RR_CLASS_NONE), 1);
    EXPECT_TRUE(first.scheduler.armed.empty());
}

}  // namespace
}  // namespace Zelm::DnsSd
