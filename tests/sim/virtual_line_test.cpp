// The line between the virtual reader and the utility on its own: pacing,
// what stands before the utility, a speed mismatch and the wire's faults.
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
    bool frame;                  // "ABC" is a frame, its check byte last
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
    line.reader_sends({0x41, 0x42, 0x43}, 9600, 0, c.frame);
    std::vector<int64_t> at;
    Bytes heard;
    for (int64_t t = line.next_handing_ns(); t != NEVER_NS; t = line.next_handing_ns()) {
        at.push_back(t);
        line.hand_over(t, NS_PER_MS, heard);
    }
    EXPECT_EQ(at, c.at_ns);
    EXPECT_EQ(heard, c.heard);
}

// Handed over as each byte has crossed, n bytes in all.
std::vector<int64_t> paced(int64_t n) {
    std::vector<int64_t> at;
    for (int64_t i = 1; i <= n; ++i) at.push_back(i * BYTE_NS);
    return at;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, LineHanding, ::testing::Values(
    Handing{"default", "", 9600, false, paced(3), {0x41, 0x42, 0x43}},
    Handing{"default,usb-latency-ms=16", "", 9600, false, {16 * NS_PER_MS}, {0x41, 0x42, 0x43}},
    Handing{"default,byte-gap-us=5000", "", 9600, false, {BYTE_NS, 7 * NS_PER_MS, 12 * NS_PER_MS},
            {0x41, 0x42, 0x43}},
    Handing{"default", "drop=2", 9600, false, paced(2), {0x41, 0x43}},
    Handing{"default", "duplicate=1", 9600, false, paced(4), {0x41, 0x41, 0x42, 0x43}},
    Handing{"default", "", 19200, false, paced(3), {0xC0, 0xE0, 0xC0, 0xE0, 0xC0, 0xE0}},
    Handing{"default", "corrupt-check=1", 9600, false, paced(3), {0x41, 0x42, 0x43}},
    Handing{"default", "corrupt-check=1", 9600, true, paced(3), {0x41, 0x42, 0x43 ^ 0x5A}},
    Handing{"default", "noise", 9600, true, paced(8),
            {0x00, 0x10, 0x55, 0xFF, 0x3C, 0x41, 0x42, 0x43}}));
// clang-format on

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

}  // namespace
}  // namespace korva::sim::testing
