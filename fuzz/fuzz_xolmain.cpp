// The host boundary under random records: a sequence of XolMain calls with
// every function code, each parameter record allocated at exactly its size
// (so AddressSanitizer sees any byte read or written past it), port names
// without a NUL, any kind, number and count, over a fake port that answers
// every write with random bytes. Whatever arrives, each call answers one of
// the three result codes and touches nothing but its records and the context.
//
// Input: one byte of line noise length per write, then calls, each a function
// byte followed by the bytes that fill its record.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include <xolest/xolest.h>

#include "support/fake_port.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Reads the fuzzer's bytes in order; past the end every byte is 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    void fill(void* out, size_t n) {
        auto* bytes = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < n; ++i) {
            bytes[i] = byte();
        }
    }
    template <typename T>
    T value() {
        T v{};
        fill(&v, sizeof v);
        return v;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A heap block of exactly `size` bytes filled from the input, with a copy to
// compare against after the call.
struct Record {
    Record(Input& in, size_t size) : bytes(size), before(size) { in.fill(bytes.data(), size); }
    void* data() { return bytes.data(); }
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> before;
};

// The largest block a fuzzed read is given room for.
constexpr int32_t MAX_BLOCK = 2048;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace fake = xol::fake;
    fake::Reset();
    Input in(data, size);

    // The line answers each write with up to 31 random bytes, and falls
    // silent once the input is used up.
    const uint8_t noiseSeed = in.byte();
    fake::OnWrite([&, n = unsigned{noiseSeed}](std::string_view) mutable {
        char piece[31];
        const size_t length = in.more() ? (n = n * 33 + 7) % sizeof piece : 0;
        for (size_t i = 0; i < length; ++i) {
            piece[i] = static_cast<char>(in.byte());
        }
        fake::QueueInput(std::string_view(piece, length));
    });

    auto context = std::make_unique<DriverContext>();
    std::memset(context.get(), 0, sizeof *context);
    for (int calls = 0; calls < 16 && in.more(); ++calls) {
        DriverRequest request{};
        request.context = context.get();
        request.function = static_cast<int8_t>(in.byte()) % 18;
        std::unique_ptr<Record> params;
        std::unique_ptr<Record> target; // what PointRequest.data points at
        std::vector<char> text;         // an address text for the checks
        switch (request.function) {
        case FC_OPEN_CHANNEL:
            params = std::make_unique<Record>(in, sizeof(OpenRequest));
            break;
        case FC_RECONFIGURE_CHANNEL:
            params = std::make_unique<Record>(in, sizeof(ReconfigureRequest));
            break;
        case FC_DESCRIBE_DRIVER:
            params = std::make_unique<Record>(in, sizeof(DriverInfo));
            break;
        case FC_CHECK_POINT:
        case FC_CHECK_BLOCK: {
            params = std::make_unique<Record>(in, sizeof(PointDefinition));
            text.resize(in.byte() % 12 + 1);
            in.fill(text.data(), text.size() - 1);
            text.back() = '\0';
            static_cast<PointDefinition*>(params->data())->text = text.data();
            break;
        }
        case FC_READ_POINT:
        case FC_READ_BLOCK:
        case FC_WRITE_POINT: {
            params = std::make_unique<Record>(in, sizeof(PointRequest));
            auto* point = static_cast<PointRequest*>(params->data());
            // Kinds mostly among the letters the driver knows.
            if (in.byte() % 4 != 0) {
                static constexpr char KINDS[] = "PZCNALOQTXDRS";
                point->kind = static_cast<uint8_t>(KINDS[in.byte() % 13]);
            }
            if (request.function == FC_READ_BLOCK) {
                point->count = std::min(point->count, MAX_BLOCK);
                target = std::make_unique<Record>(
                    in, sizeof(uint16_t) * static_cast<size_t>(std::max(point->count, 0)));
            } else {
                target = std::make_unique<Record>(in, sizeof(PointValue));
            }
            point->data = target->data();
            break;
        }
        default:
            break; // the other codes take no record
        }
        if (params) {
            params->before = params->bytes;
            request.params = params->data();
        }
        if (target) {
            target->before = target->bytes;
        }
        const DriverContext before = *context;

        const int32_t result = XolMain(&request);
        Require(result == RC_DONE || result == RC_REFUSED || result == RC_FAILED);

        // The driver's own bits only, in both tables.
        for (int z = 0; z < ZONE_COUNT; ++z) {
            Require((context->currentZones[z] & ~0x1F & ~before.currentZones[z]) == 0);
        }
        // The snapshot changes only through a completed scan.
        const bool scanned =
            (request.function == FC_READ_POINT || request.function == FC_WRITE_POINT) &&
            result == RC_DONE && static_cast<PointRequest*>(request.params)->kind == PK_SCAN;
        if (!scanned) {
            Require(std::memcmp(context->snapshotZones, before.snapshotZones,
                                sizeof context->snapshotZones) == 0);
        }
        // A zone read or a check leaves the host's own bytes as they were.
        if (target && request.function != FC_READ_BLOCK) {
            Require(std::memcmp(target->bytes.data(), target->before.data(), 2) == 0);
        }
        if (request.function == FC_READ_POINT || request.function == FC_READ_BLOCK ||
            request.function == FC_WRITE_POINT) {
            auto* point = static_cast<PointRequest*>(request.params);
            const auto* was = reinterpret_cast<const PointRequest*>(params->before.data());
            Require(std::memcmp(point, was, offsetof(PointRequest, data)) == 0);
        }
    }

    DriverRequest close{};
    close.context = context.get();
    close.function = FC_CLOSE_CHANNEL;
    (void)XolMain(&close);
    fake::OnWrite(nullptr);
    return 0;
}
