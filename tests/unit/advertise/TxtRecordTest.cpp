#include "TestableRegister.h"

using dnssd_double::Script;

namespace {

class TxtNormalisation : public zelm_test::DoubleFixture,
                         public ::testing::WithParamInterface<std::pair<size_t, size_t>> {};

// The caller's record is padded with zeros to 128 bytes (an empty one to a
// single zero byte); registration and every refresh send the same bytes.
TEST_P(TxtNormalisation, RegisteredAndRefreshedBytesAreTheSameNormalisedRecord) {
    const auto [length, sentLength] = GetParam();
    // Distinct non-zero bytes, so that padding shows up as zeros.
    std::vector<unsigned char> caller(length);
    for (size_t i = 0; i < length; ++i) caller[i] = static_cast<unsigned char>(i % 251 + 1);
    std::vector<unsigned char> expected(caller);
    expected.resize(sentLength, 0);

    zelm_test::TestableRegister component(false, 5);
    ASSERT_TRUE(component
                    .doServiceRegister("_http._tcp", 80, static_cast<unsigned short>(length),
                                       caller.empty() ? nullptr : caller.data(), "Txt", nullptr, nullptr, 0,
                                       0)
                    .ok());
    ASSERT_TRUE(Script::waitForCalls("DNSServiceUpdateRecord", 1));
    component.endLifeCycle();

    EXPECT_EQ(Script::calls("DNSServiceRegister").at(0).data, expected);
    EXPECT_EQ(component.txt(), expected);
    for (const auto& update : Script::calls("DNSServiceUpdateRecord")) EXPECT_EQ(update.data, expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, TxtNormalisation,
                         ::testing::Values(std::pair<size_t, size_t>{0, 1}, std::pair<size_t, size_t>{1, 128},
                                           std::pair<size_t, size_t>{127, 128},
                                           std::pair<size_t, size_t>{128, 128},
                                           std::pair<size_t, size_t>{65535, 65535}));

}  // namespace
