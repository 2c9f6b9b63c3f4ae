// Address checks on arbitrary texts: never read past the text, answer only
// done or refused, and report only kinds and numbers the grammar allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <xolest/xolest.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    int32_t count;
    std::memcpy(&count, data, sizeof count);
    // The text is the rest, cut at its first NUL, in a buffer of exactly its size.
    std::string text(reinterpret_cast<const char*>(data + 4), size - 4);
    text = text.c_str();

    for (int32_t code : {FC_CHECK_POINT, FC_CHECK_BLOCK}) {
        PointDefinition d;
        std::memset(&d, 0xEE, sizeof d);
        d.text = text.c_str();
        d.count = count;
        DriverRequest request{};
        request.function = code;
        request.params = &d;
        const int32_t result = XolMain(&request);
        if (result != RC_DONE && result != RC_REFUSED) {
            std::abort();
        }
        if (result != RC_DONE) {
            continue;
        }
        if (d.presetA != 0 || d.presetB != 255 || d.presetC != 16) {
            std::abort();
        }
        if (std::strchr("PAXQTLOZRSDNC", static_cast<int>(d.kind)) == nullptr || d.kind == 0) {
            std::abort();
        }
        if (d.kind == 'P' && (d.number < 0 || d.number > ZONE_COUNT)) {
            std::abort();
        }
        if (d.kind == 'O' && ((d.number & 0xFFFF) > ZONE_COUNT || (d.number >> 16) > 99)) {
            std::abort();
        }
        if (code == FC_CHECK_BLOCK && (d.kind != 'P' || count > 1000)) {
            std::abort();
        }
    }
    return 0;
}
