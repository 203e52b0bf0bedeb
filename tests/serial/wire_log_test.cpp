#include "serial/wire_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/virtual_clock.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

std::string log_of(const std::vector<uint8_t>& out, const std::vector<uint8_t>& in) {
    TempWorkDir dir;
    VirtualClock clock(1173085620123LL);  // 09:07:00.123
    {
        auto log = WireLog::open("wire.log", clock);
        EXPECT_NE(log, nullptr);
        if (!log) return {};
        log->written(out.data(), out.size());
        clock.sleep_ms(5);
        log->read(in.data(), in.size());
    }
    return read_file(dir.path() / "wire.log");
}

TEST(WireLog, DecodesFramesBothWaysWithTimeAndCheck) {
    // The speed request, then an answer with a wrong check byte.
    const std::string text =
        log_of({0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E, 0x02, 0x10, 0x03, 0xEC},
               {0x10, 0x02, 0x03, 0xF3, 0x00, 0x10, 0x0E, 0x10, 0x10, 0x10, 0x03, 0x00});
    EXPECT_EQ(text,
              "09:07:00.123 > 10 02 02 F3 00 10 0E 02 10 03 EC\n"
              "09:07:00.123 > frame F3/00 direction 02 SO[1] 02 check EC good\n"
              "09:07:00.128 < 10 02 03 F3 00 10 0E 10 10 10 03 00\n"
              "09:07:00.128 < frame F3/00 direction 03 SO[1] 10 check 00 BAD\n");
}

TEST(WireLog, DecodesPssFramesWithTheirCrc) {
    const std::string text =
        log_of({0x2F, 0xC0, 0x04, 0x00, 0x28, 0x00, 0xC8, 0xA9, 0xDF}, {0x41, 0x00});
    EXPECT_NE(text.find("> PSS frame address 2F (PAD 2) control C0 data [00 28 00 C8] CRC A9 DF "
                        "good\n"),
              std::string::npos)
        << text;
    // Stray bytes are reported as such when the log closes.
    EXPECT_NE(text.find("< raw 2 bytes outside a frame\n"), std::string::npos) << text;
}

TEST(WireLog, CrcCheckValue) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(wire_log_crc16(digits, sizeof digits), 0x2189);
}

TEST(WireLog, NoLogWhenTheFileCannotBeOpened) {
    VirtualClock clock;
    EXPECT_EQ(WireLog::open("no-such-dir/sub/wire.log", clock), nullptr);
}

}  // namespace
}  // namespace korva::testing
