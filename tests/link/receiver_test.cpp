#include <gtest/gtest.h>

#include "tests/link/link_fixture.h"

namespace korva::testing {
namespace {

using ReceiverTest = LinkTest;

const Bytes SPEED_ANSWER_1{0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E, 0x01, 0x10, 0x03, 0xEF};

TEST_F(ReceiverTest, AnswerFillsThePendingExchangeAndRunsItsHandler) {
    request_speed(link, 1, handle_response);
    arrive_in(20, SPEED_ANSWER_1);
    EXPECT_EQ(await_answer(link, CODE_SPEED, 5), CODE_SPEED);
    EXPECT_EQ(record.status, 0x01);
    EXPECT_EQ(link.answered, CODE_SPEED);
    EXPECT_EQ(occupied_slots(), 0u);
    EXPECT_EQ(link.last, nullptr);
    EXPECT_EQ(link.sequence_counter, 1);
}

TEST_F(ReceiverTest, DirectionByte03IsAccepted) {
    request_speed(link, 1, handle_response);
    arrive({0x10, 0x02, 0x03, 0xF3, 0x00, 0x10, 0x0E, 0x01, 0x10, 0x03, 0xEE});
    EXPECT_EQ(await_answer(link, CODE_SPEED, 5), CODE_SPEED);
    EXPECT_EQ(record.status, 0x01);
}

TEST_F(ReceiverTest, OtherDirectionBytesAreNotFrames) {
    request_speed(link, 1, handle_response);
    arrive({0x10, 0x02, 0x04, 0xF3, 0x00, 0x10, 0x0E, 0x01, 0x10, 0x03, 0xE9});
    poll_all();
    ASSERT_TRUE(link.slots[0]);
    EXPECT_EQ(link.slots[0]->state, EXCHANGE_PENDING);
    EXPECT_EQ(link.slots[0]->section[0][0], 0);
}

TEST_F(ReceiverTest, BadCheckLeavesADoneExchangeAndTheWaitTimesOut) {
    request_speed(link, 1, handle_response);
    record.status = 0x77;
    Bytes bad = SPEED_ANSWER_1;
    bad.back() = 0xEE;
    arrive(bad);
    poll_all();
    ASSERT_TRUE(link.slots[0]);
    EXPECT_EQ(link.slots[0]->state, EXCHANGE_DONE);
    EXPECT_EQ(link.slots[0]->check_received, 0xEE);
    EXPECT_EQ(record.status, 0x77);  // no handler ran
    EXPECT_EQ(link.sequence_counter, 0);

    const int64_t start = clock.calendar_seconds();
    EXPECT_EQ(await_answer(link, CODE_SPEED, 2), 0);
    EXPECT_EQ(clock.calendar_seconds(), start + 3);
    EXPECT_EQ(occupied_slots(), 0u);
    EXPECT_EQ(link.current, nullptr);
    EXPECT_EQ(link.last, nullptr);
}

TEST_F(ReceiverTest, FrameWithoutDescriptorIsSkipped) {
    const uint8_t before = link.sequence_counter;
    arrive(reader_frame(0xF6, 0x00, {{SO, {0x01}}}));
    poll_all();
    EXPECT_EQ(occupied_slots(), 0u);
    EXPECT_EQ(link.outside, nullptr);
    EXPECT_EQ(link.rx_state, 0);
    EXPECT_EQ(link.sequence_counter, before);
}

TEST_F(ReceiverTest, SubcodeNotFollowedByDleFreesTheRequestExchange) {
    request_speed(link, 1, handle_response);
    arrive({0x10, 0x02, 0x02, 0xF3, 0x00, 0x0E});
    poll_all();
    EXPECT_EQ(occupied_slots(), 0u);
    EXPECT_EQ(link.current, nullptr);
    EXPECT_EQ(link.last, nullptr);
}

TEST_F(ReceiverTest, WrongControlByteAfterDleMakesTheExchangeDone) {
    request_speed(link, 1, handle_response);
    arrive({0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E, 0x01, 0x10, 0x41});
    poll_all();
    ASSERT_TRUE(link.slots[0]);
    EXPECT_EQ(link.slots[0]->state, EXCHANGE_DONE);
    EXPECT_EQ(link.rx_state, 0);
}

TEST_F(ReceiverTest, SectionOverflowDropsTheExtraBytes) {
    request_block_list(link, handle_report);
    record.data.fill(0xEE);
    Bytes so(300);
    for (std::size_t i = 0; i < so.size(); ++i) so[i] = static_cast<uint8_t>(i % 7);
    arrive(reader_frame(CODE_BLOCK_LIST, 0, {{SO, so}}));
    EXPECT_EQ(await_answer(link, CODE_BLOCK_LIST, 2), CODE_BLOCK_LIST);
    for (std::size_t i = 0; i < 252; ++i) ASSERT_EQ(record.data[i], so[i]) << i;
    EXPECT_EQ(record.data[252], 0xEE);  // the copy takes the capacity, 252
}

TEST_F(ReceiverTest, DoubledDleBeyondCapacityAbandonsTheFrame) {
    request_speed(link, 1, handle_response);
    arrive({0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E, 0x01, 0x10, 0x10});
    poll_all();
    EXPECT_EQ(link.rx_state, 0);
    ASSERT_TRUE(link.slots[0]);
    EXPECT_EQ(link.slots[0]->state, EXCHANGE_PENDING);  // keeps its state
    EXPECT_EQ(link.slots[0]->section[0][0], 0x01);
}

TEST_F(ReceiverTest, DataBeforeTheFirstSectionMarkIsDropped) {
    request_speed(link, 1, handle_response);
    arrive(reader_frame(CODE_SPEED, 0, {{US, {0x09}}, {SO, {0x05}}}));
    EXPECT_EQ(await_answer(link, CODE_SPEED, 5), CODE_SPEED);
    EXPECT_EQ(record.status, 0x05);

    // Plain bytes straight after the subcode's DLE-less start have no
    // section; a doubled DLE there abandons the frame.
    request_speed(link, 1, handle_response);
    arrive({0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x10});
    poll_all();
    EXPECT_EQ(link.rx_state, 0);
    ASSERT_TRUE(link.slots[0]);
    EXPECT_EQ(link.slots[0]->state, EXCHANGE_PENDING);
}

TEST_F(ReceiverTest, SectionOfCapacityZeroStoresNothing) {
    request_speed(link, 1, handle_response);
    Bytes f = reader_frame(CODE_SPEED, 0, {{US, {0x09, 0x08}}, {SI, {0x07}}});
    f.back() ^= 0xFF;  // a bad check keeps the exchange in the table to look at
    arrive(f);
    poll_all();
    ASSERT_TRUE(link.slots[0]);
    EXPECT_EQ(link.slots[0]->section[2], (Bytes{0x00}));
    EXPECT_EQ(link.slots[0]->section[1], (Bytes{0x00}));
    EXPECT_EQ(link.slots[0]->section[0], (Bytes{0x00, 0x00}));
}

TEST_F(ReceiverTest, SectionAnnouncedTwiceIsWrittenFromItsStart) {
    request_speed(link, 1, handle_response);
    arrive(reader_frame(CODE_SPEED, 0, {{SO, {0x05}}, {SO, {0x06}}}));
    EXPECT_EQ(await_answer(link, CODE_SPEED, 5), CODE_SPEED);
    EXPECT_EQ(record.status, 0x06);
}

TEST_F(ReceiverTest, StuffedDataByteIsStoredOnce) {
    request_speed(link, 1, handle_response);
    arrive(reader_frame(CODE_SPEED, 0, {{SO, {0x10, 0x10}}}));
    EXPECT_EQ(await_answer(link, CODE_SPEED, 5), CODE_SPEED);
    EXPECT_EQ(record.status, 0x10);
}

TEST_F(ReceiverTest, OneAnswerPerWaitWithThreeFramesAlreadyReceived) {
    request_block_list(link, handle_report);
    Bytes all;
    for (uint8_t block : {0x02, 0x04, 0x0A}) {
        const Bytes f = reader_frame(CODE_BLOCK_LIST, 0, {{SO, {block, 'A', '$'}}});
        all.insert(all.end(), f.begin(), f.end());
    }
    arrive(all);
    for (uint8_t block : {0x02, 0x04, 0x0A}) {
        ASSERT_EQ(await_answer(link, CODE_BLOCK_LIST, 2), CODE_BLOCK_LIST);
        EXPECT_EQ(record.data[0], block);
        EXPECT_EQ(record.data[1], 'A');
        EXPECT_EQ(occupied_slots(), 0u);
    }
    EXPECT_EQ(await_answer(link, CODE_BLOCK_LIST, 2), 0);
    EXPECT_EQ(link.sequence_counter, 3);
}

TEST_F(ReceiverTest, TimeOutInTheMiddleOfAFrameAbandonsIt) {
    request_speed(link, 1, handle_response);
    arrive({0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E});
    EXPECT_EQ(await_answer(link, CODE_SPEED, 1), 0);
    EXPECT_EQ(link.rx_state, 0);
    EXPECT_EQ(link.current, nullptr);
    EXPECT_EQ(occupied_slots(), 0u);

    // The rest of the old frame is hunted through; the next frame counts.
    request_speed(link, 2, handle_response);
    Bytes rest{0x01, 0x10, 0x03, 0xEF};
    const Bytes next = reader_frame(CODE_SPEED, 0, {{SO, {0x02}}});
    rest.insert(rest.end(), next.begin(), next.end());
    arrive(rest);
    EXPECT_EQ(await_answer(link, CODE_SPEED, 5), CODE_SPEED);
    EXPECT_EQ(record.status, 0x02);
    EXPECT_EQ(link.sequence_counter, 1);
}

TEST_F(ReceiverTest, WaitOfZeroSecondsEndsAtTheNextCalendarSecond) {
    clock.advance_to((clock.calendar_seconds() + 1) * 1000 + 500);
    const int64_t start = clock.calendar_seconds();
    request_speed(link, 1, handle_response);
    EXPECT_EQ(await_answer(link, CODE_SPEED, 0), 0);
    EXPECT_EQ(clock.calendar_seconds(), start + 1);

    // An answer inside the second is still taken.
    request_speed(link, 1, handle_response);
    arrive_in(100, SPEED_ANSWER_1);
    EXPECT_EQ(await_answer(link, CODE_SPEED, 0), CODE_SPEED);
}

TEST_F(ReceiverTest, WaitEndsBetweenNAndNPlusOneSecondsAndAQuarterSecond) {
    clock.advance_to((clock.calendar_seconds() + 1) * 1000);
    const int64_t start_ms = clock.calendar_ms();
    EXPECT_EQ(await_answer(link, CODE_SPEED, 5), 0);
    const int64_t waited = clock.calendar_ms() - start_ms;
    EXPECT_GE(waited, 6000);
    EXPECT_LE(waited, 6000 + 255);
}

// Frames that come as a wait's deadline passes. The wait for the speed
// answer starts 900 ms into a calendar second with 1 s to go, so its
// deadline passes at E = 1100 ms from the start, inside an idle read begun
// 80 ms before E (idle reads last 255 ms). Times below are from E.
struct LateFrame {
    const char* what;
    uint8_t code;      // of the frame that comes
    int64_t first_ms;  // its first byte
    int64_t gap_ms;    // between its bytes; 0: all at once
    std::size_t cut;   // only this many bytes come; 0: all of them
    uint8_t result;    // of the wait
    int64_t ends_by_ms;
};

void PrintTo(const LateFrame& row, std::ostream* os) {
    *os << row.what;
}

const LateFrame LATE_FRAMES[] = {
    {"answer in the read open at the deadline", CODE_SPEED, 10, 0, 0, CODE_SPEED, 15},
    {"answer a byte a read from that read on", CODE_SPEED, 10, 3, 0, CODE_SPEED, 45},
    {"answer begun before the deadline", CODE_SPEED, -5, 3, 0, CODE_SPEED, 30},
    {"answer after the last read: as before", CODE_SPEED, 200, 0, 0, 0, 175},
    {"other frame, then nothing: ends with it", CODE_STARTED, 10, 0, 0, 0, 15},
    // The grace: 520 bytes at 9600 baud (542 ms) and an idle read (255 ms),
    // from the first look after the deadline; then the read under way.
    {"answer cut short: ends at the grace", CODE_SPEED, 10, 0, 4, 0, 12 + 797 + 255},
    // A lone DLE long before the deadline is no frame under way: no grace.
    {"stray DLE 800 ms before: ends with the read", CODE_SPEED, -800, 0, 1, 0, 255},
};

class LateFrameTest : public LinkTest, public ::testing::WithParamInterface<LateFrame> {};

TEST_P(LateFrameTest, FrameUnderWayAtTheDeadlineIsReceivedToItsEnd) {
    const LateFrame& row = GetParam();
    clock.advance_to((clock.calendar_seconds() + 1) * 1000 + 900);
    const int64_t deadline_passes = clock.calendar_ms() + 1100;
    request_speed(link, 1, handle_response);
    Bytes frame =
        row.code == CODE_SPEED ? SPEED_ANSWER_1 : reader_frame(CODE_STARTED, 0, {{SO, {0x00}}});
    if (row.cut != 0) frame.resize(row.cut);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        peer.schedule(deadline_passes + row.first_ms + static_cast<int64_t>(i) * row.gap_ms,
                      {frame[i]});
    }
    EXPECT_EQ(await_answer(link, CODE_SPEED, 1), row.result);
    EXPECT_LE(clock.calendar_ms() - deadline_passes, row.ends_by_ms);
}

INSTANTIATE_TEST_SUITE_P(Rows, LateFrameTest, ::testing::ValuesIn(LATE_FRAMES));

TEST_F(ReceiverTest, UnpluggedLineEndsTheWaitAtOnce) {
    peer.unplug();
    request_speed(link, 1, handle_response);
    const int64_t start = clock.calendar_ms();
    EXPECT_EQ(await_answer(link, CODE_SPEED, 30), 0);
    EXPECT_EQ(clock.calendar_ms(), start);
    EXPECT_EQ(occupied_slots(), 0u);
}

// A device whose reads come back empty at once, without any wait.
class InstantSilence : public SerialDevice {
  public:
    bool get_state(LineSettings&) override { return true; }
    bool set_state(const LineSettings&) override { return true; }
    bool set_timeouts(const ReadTimeouts&) override { return true; }
    bool set_mask(uint32_t) override { return true; }
    std::size_t read(uint8_t*, std::size_t) override {
        ++reads;
        return 0;
    }
    std::size_t write(const uint8_t*, std::size_t count) override { return count; }
    int reads = 0;
};

TEST(ReceiverIdle, ReadsThatReturnAtOnceDoNotSpin) {
    VirtualClock clock;
    SerialPort port;
    auto device = std::make_unique<InstantSilence>();
    InstantSilence& dev = *device;
    port.handle = std::move(device);
    ReaderLink link;
    link_open(link, port, clock);
    const int64_t start = clock.calendar_seconds();
    EXPECT_EQ(await_answer(link, CODE_SPEED, 2), 0);
    EXPECT_EQ(clock.calendar_seconds(), start + 3);
    // At most one read per millisecond of (virtual) time.
    EXPECT_LE(dev.reads, 3000 + 5);
}

TEST_F(ReceiverTest, LinkOpenTakesInWhatArrivedBefore) {
    ReaderLink fresh;
    arrive({0x55, 0x10, 0x02});
    const int64_t before = clock.calendar_ms();
    link_open(fresh, port, clock);
    EXPECT_EQ(fresh.port, &port);
    EXPECT_EQ(fresh.clock, &clock);
    EXPECT_EQ(fresh.record, nullptr);
    EXPECT_EQ(fresh.rx_state, 0);  // the one poll took the first byte
    EXPECT_EQ(port.rx_count, 2u);
    EXPECT_GE(clock.calendar_ms() - before, 50);
    link_close(fresh);
}

}  // namespace
}  // namespace korva::testing
