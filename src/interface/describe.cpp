#include "interface/describe.h"

#include <array>

namespace xol {

namespace {

constexpr uint32_t BANNER_WIDTH = 62; // one space, the frame, 59 columns, the frame
constexpr uint32_t BANNER_INTERIOR = 59;

// Code page 437 box and shade characters.
constexpr char BOX_TOP_LEFT = '\xC9';
constexpr char BOX_TOP_RIGHT = '\xBB';
constexpr char BOX_BOTTOM_LEFT = '\xC8';
constexpr char BOX_BOTTOM_RIGHT = '\xBC';
constexpr char BOX_HORIZONTAL = '\xCD';
constexpr char BOX_VERTICAL = '\xBA';
constexpr char BLOCK_FULL = '\xDB';
constexpr char SHADE_DARK = '\xB2';
constexpr char SHADE_MEDIUM = '\xB1';
constexpr char SHADE_LIGHT = '\xB0';

constexpr std::string_view LINE3 = "         EST Fire Alarm System, Driver installed.          ";
constexpr std::string_view LINE4 = "            CM1N Control Model , CIS protocol              ";
constexpr std::string_view NOTICE = "XOLEST driver module, version 1.0";
static_assert(LINE3.size() == BANNER_INTERIOR && LINE4.size() == BANNER_INTERIOR);
static_assert(NOTICE.size() <= BANNER_INTERIOR);

struct BannerText {
    std::array<char, BANNER_LENGTH + 1> bytes{};
    uint32_t used = 0;

    constexpr void Put(char c, uint32_t times = 1) {
        for (uint32_t i = 0; i < times; ++i) {
            bytes[used++] = c;
        }
    }
    constexpr void Put(std::string_view text) {
        for (char c : text) {
            Put(c);
        }
    }
    constexpr void Interior(std::string_view text) {
        Put(' ');
        Put(BOX_VERTICAL);
        Put(text);
        Put(BOX_VERTICAL);
        Put('\n');
    }
};

constexpr BannerText BuildBanner() {
    BannerText b;
    b.Put('\n');
    b.Put(' ');
    b.Put(BOX_TOP_LEFT);
    b.Put(BOX_HORIZONTAL, BANNER_INTERIOR);
    b.Put(BOX_TOP_RIGHT);
    b.Put('\n');

    b.Put(' ');
    b.Put(BOX_VERTICAL);
    b.Put(' ');
    b.Put(BLOCK_FULL, 5);
    b.Put(SHADE_DARK, 6);
    b.Put(SHADE_MEDIUM, 6);
    b.Put(SHADE_LIGHT, 6);
    b.Put(" X O L E S ");
    b.Put(SHADE_LIGHT, 6);
    b.Put(SHADE_MEDIUM, 6);
    b.Put(SHADE_DARK, 6);
    b.Put(BLOCK_FULL, 5);
    b.Put(' ');
    b.Put(BOX_VERTICAL);
    b.Put('\n');

    b.Interior(LINE3);
    b.Interior(LINE4);

    const uint32_t pad = BANNER_INTERIOR - static_cast<uint32_t>(NOTICE.size());
    b.Put(' ');
    b.Put(BOX_VERTICAL);
    b.Put(' ', pad / 2);
    b.Put(NOTICE);
    b.Put(' ', pad - pad / 2);
    b.Put(BOX_VERTICAL);
    b.Put('\n');

    b.Put(' ');
    b.Put(BOX_BOTTOM_LEFT);
    b.Put(BOX_HORIZONTAL, BANNER_INTERIOR);
    b.Put(BOX_BOTTOM_RIGHT);
    b.Put('\n');
    b.Put('\0');
    return b;
}

constexpr BannerText BANNER = BuildBanner();
static_assert(BANNER.used == BANNER_LENGTH + 1, "banner is 379 bytes and its NUL");
static_assert(BANNER_LENGTH == 1 + 6 * (BANNER_WIDTH + 1));

} // namespace

std::string_view Banner() {
    return {BANNER.bytes.data(), BANNER_LENGTH};
}

int32_t DescribeDriver(const DriverRequest& request) {
    auto& info = *static_cast<DriverInfo*>(request.params);
    info.driverCode = DRIVER_CODE;
    info.shortName = SHORT_NAME;
    info.banner = BANNER.bytes.data();
    info.contextSize = sizeof(DriverContext);
    info.defaultTimeout = DEFAULT_TIMEOUT;
    info.defaultBaud = DEFAULT_BAUD;
    info.defaultDataBits = DEFAULT_DATA_BITS;
    info.defaultStopBits = DEFAULT_STOP_BITS;
    info.defaultParity = DEFAULT_PARITY;
    info.infoFlags = INFO_FLAGS;
    return RC_DONE;
}

int32_t NotServed(const DriverRequest&) {
    return RC_REFUSED;
}

} // namespace xol
