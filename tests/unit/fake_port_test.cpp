// The scripted fake itself: other suites rely on its pieces, replies and
// failures behaving as its header says.
#include <gtest/gtest.h>

#include <string>

#include "support/fake_port.h"

namespace {

using namespace xol;

class FakePortTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        ASSERT_TRUE(PortOpen("ttyS0", &port));
    }
    std::string Read(uint32_t count) {
        std::string buffer(count, '\0');
        uint32_t got = 99;
        EXPECT_TRUE(PortRead(port, buffer.data(), count, &got));
        buffer.resize(got);
        return buffer;
    }
    void Write(const std::string& bytes) {
        uint32_t written = 0;
        EXPECT_TRUE(PortWrite(port, bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
    }
    PortHandle port = 0;
};

TEST_F(FakePortTest, ReadsNeverCrossAPieceAndTimeOutWhenEmpty) {
    fake::QueueInput("ab");
    fake::QueueInput("cdef");
    EXPECT_EQ(fake::PendingInput(), 6u);
    EXPECT_EQ(Read(10), "ab");
    EXPECT_EQ(Read(3), "cde");
    EXPECT_EQ(Read(3), "f");
    EXPECT_EQ(Read(3), "");
}

TEST_F(FakePortTest, RepliesAppearBatchByBatchAsWritesHappen) {
    fake::QueueReply("one", 0);
    fake::QueueReply("three", 2);
    EXPECT_EQ(fake::PendingInput(), 0u);
    fake::FailNext(fake::Call::Write);
    uint32_t written = 7;
    EXPECT_FALSE(PortWrite(port, "x", 1, &written));
    EXPECT_EQ(fake::PendingInput(), 0u); // a failed write releases nothing
    Write("q1");
    EXPECT_EQ(Read(10), "one");
    Write("q2");
    EXPECT_EQ(fake::PendingInput(), 0u);
    Write("q3");
    EXPECT_EQ(Read(10), "three");
    EXPECT_EQ(fake::Writes(), (std::vector<std::string>{"q1", "q2", "q3"}));
}

TEST_F(FakePortTest, WriteHandlerAnswersEachWrite) {
    fake::OnWrite([](std::string_view written) { fake::QueueInput(std::string(written) + "!"); });
    Write("ping");
    EXPECT_EQ(Read(10), "ping!");
}

TEST_F(FakePortTest, ScriptedFailuresHitTheCountedCalls) {
    fake::QueueInput("abc");
    fake::FailNext(fake::Call::Read, 1);
    EXPECT_EQ(Read(1), "a");
    uint32_t got = 0;
    char byte = 0;
    EXPECT_FALSE(PortRead(port, &byte, 1, &got));
    EXPECT_EQ(Read(1), "b");
    EXPECT_FALSE(fake::Calls()[2].succeeded); // after the open and the first read
}

TEST_F(FakePortTest, OpensAreExclusiveByNameAndHandlesNeverZero) {
    PortHandle second = 5;
    EXPECT_FALSE(PortOpen("ttyS0", &second));
    EXPECT_EQ(second, 0u);
    ASSERT_TRUE(PortOpen("ttyS1", &second));
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, port);
    ASSERT_TRUE(PortClose(port));
    EXPECT_FALSE(PortClose(port));
    EXPECT_TRUE(PortOpen("ttyS0", &port));
    fake::SetMissing("ttyS9");
    PortHandle missing = 0;
    EXPECT_FALSE(PortOpen("ttyS9", &missing));
}

} // namespace
