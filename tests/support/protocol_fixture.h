// Shared ground for the protocol and point suites: a context on an open fake
// port made current, and the host log captured. The panel's frames come from
// the codec (codec/frame_build.h), which does its own checksum arithmetic,
// not the driver's.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <xolest/keldor.h>
#include <xolest/xolest.h>

#include "codec/frame_decode.h"
#include "core/context.h"
#include "support/fake_port.h"

namespace xol::test {

// A context held in a larger block whose tail is filled with a guard
// pattern, so that a read or write past the context's end shows.
class GuardedContext {
public:
    static constexpr size_t GUARD = 256;
    static constexpr unsigned char GUARD_BYTE = 0xA5;

    GuardedContext() : block_(new unsigned char[sizeof(DriverContext) + GUARD]) {
        std::memset(block_.get(), 0, sizeof(DriverContext));
        std::memset(block_.get() + sizeof(DriverContext), GUARD_BYTE, GUARD);
    }
    DriverContext& get() { return *reinterpret_cast<DriverContext*>(block_.get()); }
    const unsigned char* bytes() const { return block_.get(); }
    unsigned char* bytes() { return block_.get(); }
    bool guardIntact() const {
        for (size_t i = 0; i < GUARD; ++i) {
            if (block_[sizeof(DriverContext) + i] != GUARD_BYTE) {
                return false;
            }
        }
        return true;
    }

private:
    std::unique_ptr<unsigned char[]> block_;
};

// `length` bytes of noise that, sent before `reply`, shift a read of
// `window` bytes so that it still passes the driver's checksum: the read
// sees the noise, then the start of the reply. The last two noise bytes
// steer the checksum; `keep` may turn a candidate window down. Empty when
// none fits.
template <typename Keep>
std::string NoiseForAShiftedRead(const std::string& reply, size_t length, size_t window,
                                 Keep keep) {
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            std::string noise(length, '#');
            noise[length - 2] = static_cast<char>(a);
            noise[length - 1] = static_cast<char>(b);
            const std::string read = noise + reply.substr(0, window - length);
            if (cis::DriverChecksumGood(read) && keep(read)) {
                return noise;
            }
        }
    }
    return {};
}

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        ASSERT_TRUE(PortOpen("ttyS0", &context().port));
        SetCurrentContext(&context());
        fake::ClearCalls();
        KeldorSetSink(&ProtocolTest::Capture, this);
    }
    void TearDown() override {
        KeldorSetSink(nullptr, nullptr);
        SetCurrentContext(nullptr);
        fake::Reset();
    }

    // A fresh line for the next case of a table: no input, no record, the
    // context's port open again.
    void RestartLine() {
        fake::Reset();
        ASSERT_TRUE(PortOpen("ttyS0", &context().port));
        fake::ClearCalls();
    }

    DriverContext& context() { return guarded_.get(); }
    GuardedContext& guarded() { return guarded_; }

    // Replies for the coming writes, one per write, in order; an empty text
    // leaves that write unanswered.
    static void Answer(const std::vector<std::string>& replies) {
        for (size_t i = 0; i < replies.size(); ++i) {
            fake::QueueReply(replies[i], static_cast<unsigned>(i));
        }
    }

    // Nothing at all was asked of the port.
    static bool NoTraffic() { return fake::Calls().empty(); }

    std::vector<std::string> logs;
    std::vector<int> logClasses;

private:
    static void Capture(int cls, const char* text, void* user) {
        auto* self = static_cast<ProtocolTest*>(user);
        self->logs.emplace_back(text);
        self->logClasses.push_back(cls);
    }

    GuardedContext guarded_;
};

} // namespace xol::test
