#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include <xolest/xolest.h>

#include "support/driver_call.h"

namespace {

TEST(XolMain, UnassignedCodesAreRefusedAndTouchNothing) {
    for (int32_t code : {0, 8, 9, -1, 16, 17, 255, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(code);
        DriverContext context;
        std::memset(&context, 0x6C, sizeof context);
        const DriverContext contextBefore = context;
        unsigned char params[64];
        std::memset(params, 0x39, sizeof params);
        EXPECT_EQ(xoltest::CallDriver(&context, code, params), RC_REFUSED);
        EXPECT_EQ(std::memcmp(&context, &contextBefore, sizeof context), 0);
        for (unsigned char b : params) {
            ASSERT_EQ(b, 0x39);
        }
    }
}

TEST(XolMain, NullRequestIsRefused) {
    EXPECT_EQ(XolMain(nullptr), RC_REFUSED);
}

TEST(XolMain, MissingContextOrParametersAreRefused) {
    DriverContext context{};
    unsigned char params[64] = {};
    struct Case {
        int32_t code;
        bool needsContext;
        bool needsParams;
    };
    const Case cases[] = {
        {FC_OPEN_CHANNEL, true, true},       {FC_PURGE_INPUT, true, false},
        {FC_CHECK_POINT, false, true},       {FC_CHECK_BLOCK, false, true},
        {FC_READ_POINT, true, true},         {FC_READ_BLOCK, true, true},
        {FC_WRITE_POINT, true, true},        {FC_CLOSE_CHANNEL, true, false},
        {FC_CLOSE_CHANNEL_ALT, true, false}, {FC_REOPEN_CHANNEL, true, false},
        {FC_DESCRIBE_DRIVER, false, true},   {FC_RECONFIGURE_CHANNEL, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        if (c.needsContext) {
            EXPECT_EQ(xoltest::CallDriver(nullptr, c.code, params), RC_REFUSED);
        }
        if (c.needsParams) {
            EXPECT_EQ(xoltest::CallDriver(&context, c.code, nullptr), RC_REFUSED);
        }
    }
    DriverContext zero{};
    EXPECT_EQ(std::memcmp(&context, &zero, sizeof context), 0);
}

TEST(XolMain, EachCallWorksOnlyOnItsOwnContext) {
    // Two channels, used alternately: a disabled open records its flag in the
    // context it carries and nowhere else.
    DriverContext first;
    DriverContext second;
    std::memset(&first, 0x11, sizeof first);
    std::memset(&second, 0x22, sizeof second);
    first.port = 0;
    second.port = 0;
    const DriverContext secondBefore = second;

    OpenRequest open{};
    open.enabled = 0;
    DriverRequest request{};
    request.function = FC_OPEN_CHANNEL;
    request.params = &open;

    request.context = &first;
    EXPECT_EQ(XolMain(&request), RC_DONE);
    EXPECT_EQ(first.enabled, 0u);
    EXPECT_EQ(std::memcmp(&second, &secondBefore, sizeof second), 0);

    DriverContext firstBefore = first;
    open.enabled = 0;
    request.context = &second;
    EXPECT_EQ(XolMain(&request), RC_DONE);
    EXPECT_EQ(second.enabled, 0u);
    EXPECT_EQ(std::memcmp(&first, &firstBefore, sizeof first), 0);

    // Closing a channel that holds no port answers the same through both codes.
    for (int32_t code : {FC_CLOSE_CHANNEL, FC_CLOSE_CHANNEL_ALT}) {
        request.function = code;
        request.params = nullptr;
        request.context = &first;
        EXPECT_EQ(XolMain(&request), RC_DONE);
        request.context = &second;
        EXPECT_EQ(XolMain(&request), RC_DONE);
    }
    EXPECT_EQ(std::memcmp(&first, &firstBefore, sizeof first), 0);
}

} // namespace
