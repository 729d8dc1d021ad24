#include "RegisterFixture.h"

#include <ostream>

using dnssd_double::Script;
using zelm_test::TestableRegister;

namespace {

// Distinct non-zero bytes, so that padding shows up as zeros.
std::vector<unsigned char> pattern(size_t length) {
    std::vector<unsigned char> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(i % 251 + 1);
    return bytes;
}

struct TxtCase {
    size_t length;
    size_t sentLength;
};

void PrintTo(const TxtCase& txtCase, std::ostream* os) {
    *os << txtCase.length << " bytes, " << txtCase.sentLength << " sent";
}

class TxtNormalisation : public zelm_test::RegisterTest, public ::testing::WithParamInterface<TxtCase> {};

TEST_P(TxtNormalisation, RegisteredAndRefreshedBytesAreTheSameNormalisedRecord) {
    const TxtCase txtCase = GetParam();
    const auto caller = pattern(txtCase.length);
    std::vector<unsigned char> expected(caller);
    expected.resize(txtCase.sentLength, 0);

    TestableRegister component(false, 5);
    ASSERT_TRUE(component
                    .doServiceRegister("_http._tcp", 80, static_cast<unsigned short>(caller.size()),
                                       caller.empty() ? nullptr : caller.data(), "Txt", nullptr, nullptr, 0,
                                       0)
                    .ok());
    ASSERT_TRUE(Script::waitForCalls("DNSServiceUpdateRecord", 1));
    component.endLifeCycle();

    const auto registered = Script::calls("DNSServiceRegister");
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0].data, expected);
    EXPECT_EQ(component.txt(), expected);
    for (const auto& update : Script::calls("DNSServiceUpdateRecord")) {
        EXPECT_EQ(update.data, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, TxtNormalisation,
                         ::testing::Values(TxtCase{0, 1}, TxtCase{1, 128}, TxtCase{10, 128},
                                           TxtCase{127, 128}, TxtCase{128, 128}, TxtCase{300, 300},
                                           TxtCase{65535, 65535}),
                         [](const ::testing::TestParamInfo<TxtCase>& info) {
                             return "Length" + std::to_string(info.param.length);
                         });

}  // namespace
