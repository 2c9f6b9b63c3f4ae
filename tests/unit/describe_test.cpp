#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "interface/describe.h"
#include "support/driver_call.h"

namespace {

int32_t Describe(DriverInfo* info, DriverContext* context = nullptr) {
    return xoltest::CallDriver(context, FC_DESCRIBE_DRIVER, info);
}

TEST(DescribeDriver, FillsEveryFieldWithTheDriverConstants) {
    DriverInfo info;
    std::memset(&info, 0xA5, sizeof info);
    ASSERT_EQ(Describe(&info), RC_DONE);
    EXPECT_EQ(info.driverCode, 70u);
    EXPECT_STREQ(info.shortName, "EST");
    EXPECT_EQ(info.contextSize, 12632u);
    EXPECT_EQ(info.defaultTimeout, 4u);
    EXPECT_EQ(info.defaultBaud, 2400u);
    EXPECT_EQ(info.defaultDataBits, 8u);
    EXPECT_EQ(info.defaultStopBits, 0u);
    EXPECT_EQ(info.defaultParity, 2u);
    EXPECT_EQ(info.infoFlags, 1u);
}

TEST(DescribeDriver, AnswersAlikeWithAnyContextAndKeepsTextAddresses) {
    DriverInfo first{};
    DriverInfo second{};
    DriverContext context{};
    std::memset(&context, 0x5A, sizeof context);
    DriverContext untouched = context;
    ASSERT_EQ(Describe(&first), RC_DONE);
    ASSERT_EQ(Describe(&second, &context), RC_DONE);
    EXPECT_EQ(std::memcmp(&first, &second, sizeof first), 0);
    EXPECT_EQ(std::memcmp(&context, &untouched, sizeof context), 0);
}

TEST(DescribeDriver, BannerHasSixFramedLinesOf62Columns) {
    DriverInfo info{};
    ASSERT_EQ(Describe(&info), RC_DONE);
    const std::string banner(info.banner);
    ASSERT_EQ(banner.size(), 379u);
    ASSERT_EQ(banner[0], '\n');

    std::string lines[6];
    size_t at = 1;
    for (auto& line : lines) {
        const size_t end = banner.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        line = banner.substr(at, end - at);
        at = end + 1;
        EXPECT_EQ(line.size(), 62u);
        EXPECT_EQ(line[0], ' ');
    }
    EXPECT_EQ(at, banner.size());

    EXPECT_EQ(lines[0], " \xC9" + std::string(59, '\xCD') + "\xBB");
    EXPECT_EQ(lines[5], " \xC8" + std::string(59, '\xCD') + "\xBC");
    EXPECT_EQ(lines[1], " \xBA " + std::string(5, '\xDB') + std::string(6, '\xB2') +
                            std::string(6, '\xB1') + std::string(6, '\xB0') + " X O L E S " +
                            std::string(6, '\xB0') + std::string(6, '\xB1') +
                            std::string(6, '\xB2') + std::string(5, '\xDB') + " \xBA");
    EXPECT_EQ(lines[2], " \xBA         EST Fire Alarm System, Driver installed.          \xBA");
    EXPECT_EQ(lines[3], " \xBA            CM1N Control Model , CIS protocol              \xBA");

    // The notice line: framed, centred, plain printable text inside.
    const std::string notice = lines[4];
    EXPECT_EQ(notice.substr(0, 2), " \xBA");
    EXPECT_EQ(notice.back(), '\xBA');
    const std::string interior = notice.substr(2, 59);
    const size_t left = interior.find_first_not_of(' ');
    const size_t right = 58 - interior.find_last_not_of(' ');
    ASSERT_NE(left, std::string::npos);
    EXPECT_LE(left > right ? left - right : right - left, 1u);
    for (char c : interior) {
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << int(static_cast<unsigned char>(c));
    }
}

TEST(NotServed, RefusesWithoutTouchingTheContext) {
    DriverContext context;
    std::memset(&context, 0x33, sizeof context);
    const DriverContext before = context;
    EXPECT_EQ(xoltest::CallDriver(&context, FC_NOT_SERVED), RC_REFUSED);
    EXPECT_EQ(std::memcmp(&context, &before, sizeof context), 0);
}

} // namespace
