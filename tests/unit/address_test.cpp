#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <xolest/xolest.h>

#include "support/driver_call.h"

namespace {

constexpr int32_t UNTOUCHED = 0x7EADBEEF;
constexpr uint32_t UNTOUCHED_U = 0xCAFEF00D;

PointDefinition Fresh(const char* text, int32_t count = 0) {
    PointDefinition d;
    std::memset(&d, 0, sizeof d);
    d.text = text;
    d.count = count;
    d.presetA = d.presetB = d.presetC = d.kind = UNTOUCHED_U;
    d.number = UNTOUCHED;
    std::memset(d.host, 0x77, sizeof d.host);
    return d;
}

int32_t Check(int32_t code, PointDefinition& d) {
    return xoltest::CallDriver(nullptr, code, &d);
}

enum class Outputs { None, Written };

struct AddressCase {
    const char* text;
    int32_t result;
    Outputs outputs;
    char kind;
    int32_t number; // UNTOUCHED: left as the host had it
};

void ExpectOutcome(const AddressCase& c, const PointDefinition& d, int32_t result) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    EXPECT_EQ(result, c.result);
    for (unsigned char b : d.host) {
        EXPECT_EQ(b, 0x77);
    }
    if (c.outputs == Outputs::None) {
        EXPECT_EQ(d.presetA, UNTOUCHED_U);
        EXPECT_EQ(d.presetB, UNTOUCHED_U);
        EXPECT_EQ(d.presetC, UNTOUCHED_U);
        EXPECT_EQ(d.kind, UNTOUCHED_U);
        EXPECT_EQ(d.number, UNTOUCHED);
        return;
    }
    EXPECT_EQ(d.presetA, 0u);
    EXPECT_EQ(d.presetB, 255u);
    EXPECT_EQ(d.presetC, 16u);
    EXPECT_EQ(d.kind, static_cast<uint32_t>(c.kind));
    EXPECT_EQ(d.number, c.number);
}

constexpr AddressCase ADDRESS_CASES[] = {
    // Numbered form, either case, padded with spaces.
    {"P0017", RC_DONE, Outputs::Written, 'P', 17},
    {"p0017", RC_DONE, Outputs::Written, 'P', 17},
    {"P0017  ", RC_DONE, Outputs::Written, 'P', 17},
    {"P0000", RC_DONE, Outputs::Written, 'P', 0},
    {"P6299", RC_DONE, Outputs::Written, 'P', 6299},
    {"P6300", RC_REFUSED, Outputs::Written, 'P', 6300},
    {"P9999", RC_REFUSED, Outputs::Written, 'P', 9999},
    {"A9999", RC_DONE, Outputs::Written, 'A', 9999},
    {"X0000", RC_DONE, Outputs::Written, 'X', 0},
    {"l0100", RC_DONE, Outputs::Written, 'L', 100},
    {"q0042", RC_DONE, Outputs::Written, 'Q', 42},
    {"T1234", RC_DONE, Outputs::Written, 'T', 1234},
    {"A0007", RC_DONE, Outputs::Written, 'A', 7},
    // System form: kind from the second letter, number untouched.
    {"!Z", RC_DONE, Outputs::Written, 'Z', UNTOUCHED},
    {"!z", RC_DONE, Outputs::Written, 'Z', UNTOUCHED},
    {"!N", RC_DONE, Outputs::Written, 'N', UNTOUCHED},
    {"!C", RC_DONE, Outputs::Written, 'C', UNTOUCHED},
    {"!r", RC_DONE, Outputs::Written, 'R', UNTOUCHED},
    {"!S     ", RC_DONE, Outputs::Written, 'S', UNTOUCHED},
    {"!D", RC_DONE, Outputs::Written, 'D', UNTOUCHED},
    // Group form: group in bits 16-23, zone below.
    {"O031250", RC_DONE, Outputs::Written, 'O', 0x304E2},
    {"o006299", RC_DONE, Outputs::Written, 'O', 6299},
    {"O990000", RC_DONE, Outputs::Written, 'O', 99 << 16},
    {"O006300", RC_REFUSED, Outputs::Written, 'O', 6300},
    {"O007000", RC_REFUSED, Outputs::None, 0, 0},
    // Texts that fit no form.
    {"N0001", RC_REFUSED, Outputs::None, 0, 0},
    {"C0001", RC_REFUSED, Outputs::None, 0, 0},
    {"!P", RC_REFUSED, Outputs::None, 0, 0},
    {"!A", RC_REFUSED, Outputs::None, 0, 0},
    {"P17", RC_REFUSED, Outputs::None, 0, 0},
    {"P00017", RC_REFUSED, Outputs::None, 0, 0},
    {" P0017", RC_REFUSED, Outputs::None, 0, 0},
    {"P-001", RC_REFUSED, Outputs::None, 0, 0},
    {"!ZZ", RC_REFUSED, Outputs::None, 0, 0},
    {"", RC_REFUSED, Outputs::None, 0, 0},
    {"       ", RC_REFUSED, Outputs::None, 0, 0},
    {"P0017\t", RC_REFUSED, Outputs::None, 0, 0},
    {"P 0017", RC_REFUSED, Outputs::None, 0, 0},
    {"O03125", RC_REFUSED, Outputs::None, 0, 0},
    // Texts longer than seven characters: judged by the first seven only when
    // the rest is spaces.
    {"P0017          ", RC_DONE, Outputs::Written, 'P', 17},
    {"O031250   ", RC_DONE, Outputs::Written, 'O', 0x304E2},
    {"O0312501", RC_REFUSED, Outputs::None, 0, 0},
    {"P0017  X", RC_REFUSED, Outputs::None, 0, 0},
    {"!Z     !Z", RC_REFUSED, Outputs::None, 0, 0},
    // Bytes above 0x7F are never folded and fit no set; 0x7F folds to '_'.
    {"\xD0"
     "0017",
     RC_REFUSED, Outputs::None, 0, 0},
    {"P00\xB1"
     "7",
     RC_REFUSED, Outputs::None, 0, 0},
    {"!\xFA", RC_REFUSED, Outputs::None, 0, 0},
    {"\x7F"
     "0017",
     RC_REFUSED, Outputs::None, 0, 0},
};

class AddressCheck : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressCheck, CheckPointGivesKindNumberAndPresets) {
    const AddressCase& c = GetParam();
    PointDefinition d = Fresh(c.text);
    const int32_t result = Check(FC_CHECK_POINT, d);
    ExpectOutcome(c, d, result);
}

INSTANTIATE_TEST_SUITE_P(AllForms, AddressCheck, ::testing::ValuesIn(ADDRESS_CASES));

struct BlockCase {
    const char* text;
    int32_t count;
    int32_t result;
};

constexpr BlockCase BLOCK_CASES[] = {
    {"P0100", 1000, RC_DONE},      {"P0100", 1001, RC_REFUSED},
    {"P0100", 0, RC_DONE},         {"P0100", -5, RC_DONE},
    {"P6000", 1000, RC_DONE},      {"P6299", 1, RC_DONE},
    {"A0100", 1, RC_REFUSED},      {"!Z", 1, RC_REFUSED},
    {"O001000", 1, RC_REFUSED},    {"P6300", 1, RC_REFUSED},
    {"P6300", 0, RC_REFUSED},      {"P01", 1, RC_REFUSED},
    {"p0001", INT32_MIN, RC_DONE}, {"P0001", INT32_MAX, RC_REFUSED},
};

class BlockCheck : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockCheck, AcceptsZoneBlocksOfAtMostAThousand) {
    const BlockCase& c = GetParam();
    SCOPED_TRACE(std::string("text \"") + c.text + "\" count " + std::to_string(c.count));
    PointDefinition block = Fresh(c.text, c.count);
    PointDefinition single = Fresh(c.text, c.count);
    EXPECT_EQ(Check(FC_CHECK_BLOCK, block), c.result);
    Check(FC_CHECK_POINT, single);
    // A block check writes exactly what the single check writes.
    EXPECT_EQ(std::memcmp(&block, &single, sizeof block), 0);
}

INSTANTIATE_TEST_SUITE_P(Blocks, BlockCheck, ::testing::ValuesIn(BLOCK_CASES));

TEST(AddressCheck, NullTextOrRecordIsRefusedUntouched) {
    PointDefinition d = Fresh(nullptr);
    EXPECT_EQ(Check(FC_CHECK_POINT, d), RC_REFUSED);
    EXPECT_EQ(Check(FC_CHECK_BLOCK, d), RC_REFUSED);
    ExpectOutcome({"(null)", RC_REFUSED, Outputs::None, 0, 0}, d, RC_REFUSED);

    EXPECT_EQ(xoltest::CallDriver(nullptr, FC_CHECK_POINT, nullptr), RC_REFUSED);
}

TEST(AddressCheck, TouchesNoContext) {
    DriverContext context;
    std::memset(&context, 0x42, sizeof context);
    const DriverContext before = context;
    PointDefinition d = Fresh("P0001");
    EXPECT_EQ(xoltest::CallDriver(&context, FC_CHECK_POINT, &d), RC_DONE);
    EXPECT_EQ(std::memcmp(&context, &before, sizeof context), 0);
}

TEST(AddressCheck, LongTextIsNeverCopiedWhole) {
    // A text far longer than the work buffer, all spaces after a valid
    // address: judged by its first seven characters, nothing overruns.
    std::string text = "P0042" + std::string(100000, ' ');
    PointDefinition d = Fresh(text.c_str());
    EXPECT_EQ(Check(FC_CHECK_POINT, d), RC_DONE);
    EXPECT_EQ(d.number, 42);
}

} // namespace
