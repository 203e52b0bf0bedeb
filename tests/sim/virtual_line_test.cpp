// The line between the virtual reader and the utility on its own: pacing,
// what stands before the utility, a speed mismatch, the wire's faults and
// the cable.
#include "sim/virtual_line.h"

#include <gtest/gtest.h>

#include "tests/sim/reader_line.h"

namespace korva::sim::testing {
namespace {

constexpr int64_t BYTE_NS = 1'041'666;  // ten bits at 9600 baud

VirtualLine line_of(const char* profile, const char* fault) {
    return VirtualLine(ReaderLine::parse(profile), *fault ? faults_of({fault}) : FaultKnobs{},
                       true);
}

struct Handing {
    const char* profile;
    const char* fault;
    uint32_t utility_baud;
    std::vector<int64_t> at_ns;  // each handing over to the utility
    Bytes heard;
};

class LineHanding : public ::testing::TestWithParam<Handing> {};

// The reader sends "ABC" at 9600 baud; the utility takes what is handed over
// at each due time.
TEST_P(LineHanding, ReaderBytesReachTheUtility) {
    const Handing& c = GetParam();
    VirtualLine line = line_of(c.profile, c.fault);
    line.utility_speed(c.utility_baud, 0);
    line.reader_sends({0x41, 0x42, 0x43}, 9600, 0, false);
    std::vector<int64_t> at;
    Bytes heard;
    for (int64_t t = line.next_handing_ns(); t != NEVER_NS; t = line.next_handing_ns()) {
        at.push_back(t);
        line.hand_over(t, NS_PER_MS, heard);
    }
    EXPECT_EQ(at, c.at_ns);
    EXPECT_EQ(heard, c.heard);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LineHanding,
    ::testing::Values(
        Handing{"default", "", 9600, {BYTE_NS, 2 * BYTE_NS, 3 * BYTE_NS}, {0x41, 0x42, 0x43}},
        Handing{"default,usb-latency-ms=16", "", 9600, {16 * NS_PER_MS}, {0x41, 0x42, 0x43}},
        Handing{"default,byte-gap-us=5000",
                "",
                9600,
                {BYTE_NS, 7 * NS_PER_MS, 12 * NS_PER_MS},
                {0x41, 0x42, 0x43}},
        Handing{"default", "drop=2", 9600, {BYTE_NS, 2 * BYTE_NS}, {0x41, 0x43}},
        Handing{"default",
                "duplicate=1",
                9600,
                {BYTE_NS, 2 * BYTE_NS, 3 * BYTE_NS, 4 * BYTE_NS},
                {0x41, 0x41, 0x42, 0x43}},
        Handing{"default",
                "",
                19200,
                {BYTE_NS, 2 * BYTE_NS, 3 * BYTE_NS},
                {0xC0, 0xE0, 0xC0, 0xE0, 0xC0, 0xE0}}));

TEST(VirtualLine, NoiseAndAWrongCheckByteComeWithFramesOnly) {
    VirtualLine line = line_of("default", "noise");
    VirtualLine spoilt = line_of("default", "corrupt-check=1");
    for (VirtualLine* l : {&line, &spoilt}) {
        l->reader_sends({1, 2}, 9600, 0, false);
        l->reader_sends({3, 4}, 9600, 0, true);
    }
    Bytes heard, spoilt_heard;
    line.hand_over(NEVER_NS - 1, 1, heard);
    spoilt.hand_over(NEVER_NS - 1, 1, spoilt_heard);
    EXPECT_EQ(heard, (Bytes{1, 2, 0x00, 0x10, 0x55, 0xFF, 0x3C, 3, 4}));
    EXPECT_EQ(spoilt_heard, (Bytes{1, 2, 3, 4 ^ 0x5A}));
}

TEST(VirtualLine, UtilityBytesCrossAtTheUtilitysSpeed) {
    VirtualLine line = line_of("default", "");
    const uint8_t sent[] = {0x31, 0x32};
    line.utility_writes(sent, 2, 19200, 0);
    EXPECT_EQ(line.next_arrival_ns(), BYTE_NS / 2);
    Bytes heard;  // by the reader at 9600: one broken byte for two
    while (line.next_arrival_ns() != NEVER_NS)
        line.hear_at_reader(line.take_arrival(), 9600, heard);
    EXPECT_EQ(heard, Bytes{0xF0});
}

TEST(VirtualLine, APulledCableLosesWhatIsOnItsWay) {
    VirtualLine line = line_of("default", "");
    line.reader_sends({0x41}, 9600, 0, false);
    line.pull_cable();
    const uint8_t sent[] = {0x31};
    line.utility_writes(sent, 1, 9600, 0);
    EXPECT_FALSE(line.connected());
    EXPECT_EQ(line.next_handing_ns(), NEVER_NS);
    EXPECT_EQ(line.next_arrival_ns(), NEVER_NS);
}

}  // namespace
}  // namespace korva::sim::testing
