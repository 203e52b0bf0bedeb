// The reader's PSS side and its life cycle: CRC, detection at the right
// address and speed only, the TLA removal dialogue, payment loading, and the
// timing of switching on, restarts and the TLA start on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "sim/pss_codec.h"
#include "tests/sim/reader_line.h"

namespace korva::sim::testing {
namespace {

// A PSS frame as the utility sends it, CRC computed here bit by bit from
// the polynomial, independently of the reader's own routine.
Bytes pss(uint8_t pad, Bytes body) {
    body.insert(body.begin(), static_cast<uint8_t>(pad * 16 + 15));
    uint32_t reg = 0;
    for (uint8_t b : body) {
        reg |= static_cast<uint32_t>(b) << 16;
        for (int i = 0; i < 8; ++i) {
            const bool bit = reg & 1;
            reg >>= 1;
            if (bit) reg ^= 0x8408;
        }
    }
    for (int i = 0; i < 16; ++i) {
        const bool bit = reg & 1;
        reg >>= 1;
        if (bit) reg ^= 0x8408;
    }
    body.push_back(static_cast<uint8_t>(reg & 0xFF));
    body.push_back(static_cast<uint8_t>((reg >> 8) & 0xFF));
    return body;
}

Bytes probe(uint8_t pad) {
    return pss(pad, {0xC0, 0x04, 0x00, 0x28, 0x00, 0xC8});
}
Bytes remove_tla(uint8_t pad) {
    return pss(pad, {0x40, 0x07, 0xFF, 0x01, 0x04, 0x01, 0x01, 0x04, 0x00});
}
Bytes poll(uint8_t pad) {
    return pss(pad, {0xF8, 0x02, 0x05, 0x78});
}
Bytes payment_loading(uint8_t pad) {
    return pss(pad, {0x40, 0x03, 0xFF, 0x01, 0xFF});
}

TEST(PssCodec, CrcCheckValueAndTheUtilitysFrames) {
    const std::string digits = "123456789";
    EXPECT_EQ(crc16_kermit(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0x2189);
    EXPECT_EQ(probe(2), (Bytes{0x2F, 0xC0, 0x04, 0x00, 0x28, 0x00, 0xC8, 0xA9, 0xDF}));
    const Bytes r = remove_tla(2);
    EXPECT_EQ(Bytes(r.end() - 2, r.end()), (Bytes{0x9D, 0xFD}));
    const Bytes p = poll(2);
    EXPECT_EQ(Bytes(p.end() - 2, p.end()), (Bytes{0x51, 0xAC}));
    // The reader's builder agrees with the bitwise register of the utility.
    EXPECT_EQ(build_pss_frame({0x2F, 0xC0, {0x00, 0x28, 0x00, 0xC8}}), probe(2));
}

TEST(PssCodec, ParserSkipsGarbageAndBadCrcAndRestartsAfterAPause) {
    PssParser parser;
    int frames = 0;
    Bytes bad = probe(2);
    bad[4] ^= 0xFF;
    int64_t t = 0;
    for (uint8_t b : Bytes{0x80, 0xE0, 0x41}) frames += parser.push(b, t += 1000);
    for (uint8_t b : bad) frames += parser.push(b, t += 1000);
    EXPECT_EQ(frames, 0);
    EXPECT_GE(parser.bad_crcs(), 1u);
    // Half a frame, a long pause, then a whole one.
    const Bytes good = probe(2);
    for (int i = 0; i < 4; ++i) frames += parser.push(good[static_cast<std::size_t>(i)], t += 1000);
    t += PssParser::GAP_NS + 1;
    for (uint8_t b : good) frames += parser.push(b, t += 1000);
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(parser.frame().data, (Bytes{0x00, 0x28, 0x00, 0xC8}));
}

// A reader switched on at the start, its TLA running at PSS speed.
struct TlaLine : ReaderLine {
    explicit TlaLine(const std::string& profile = "default", FaultKnobs f = {})
        : ReaderLine(profile, f) {
        set_speed(9600);
        reader.power_on_at(now());
        start = listen(5000);  // 0xF2, then the start bytes
    }
    Bytes start;
};

TEST(PssSide, ProbeIsAnsweredWithNineBytesOnlyAtItsPadAndSpeed) {
    TlaLine line;
    ASSERT_EQ(line.reader.mode(), ReaderMode::Tla);
    line.write(probe(0));
    EXPECT_TRUE(line.listen(2000).empty());
    line.write(probe(2));
    EXPECT_EQ(line.listen(2000).size(), 9u);
    // The same probe at 19200 reaches the reader as garbage.
    line.set_speed(19200);
    line.write(probe(2));
    EXPECT_TRUE(line.listen(2000).empty());
    ASSERT_EQ(line.reader.pss_frames_received().size(), 2u);
}

TEST(PssSide, ReaderAtAnotherPadAndAtNineteenTwoHundred) {
    TlaLine line("default,pad=0,pss-speed=19200");
    // The start bytes still come at the boot's speed.
    EXPECT_EQ(Bytes(line.start.end() - 3, line.start.end()), (Bytes{'A', 0, 0}));
    line.write(probe(0));  // at 9600: garbage to the reader
    EXPECT_TRUE(line.listen(2000).empty());
    line.set_speed(19200);
    line.write(probe(2));
    EXPECT_TRUE(line.listen(2000).empty());
    line.write(probe(0));
    EXPECT_EQ(line.listen(2000).size(), 9u);
    // Answers at 19200 reach a port at 9600 as garbage of another length.
    line.write(probe(0));
    line.set_speed(9600);
    const Bytes garbled = line.listen(2000);
    EXPECT_FALSE(garbled.empty());
    EXPECT_NE(garbled.size(), 9u);
}

TEST(PssSide, StartBytesBOnRequest) {
    TlaLine line("default,start=B");
    EXPECT_EQ(Bytes(line.start.end() - 3, line.start.end()), (Bytes{'B', 0, 0}));
}

TEST(PssSide, AcceptedRemovalRestartsTheReaderWithoutItsTla) {
    TlaLine line;
    line.write(remove_tla(2));
    EXPECT_FALSE(line.listen(1500).empty());
    line.write(poll(2));
    const Bytes answer = line.listen(3000);
    ASSERT_GE(answer.size(), 5u);
    EXPECT_EQ(answer[4], 0x00);
    // It restarts by itself and announces itself at 9600.
    const Unframed restart = unframe(line.listen(5000));
    ASSERT_EQ(restart.frames.size(), 1u);
    EXPECT_EQ(restart.frames[0].code, 0xF2);
    EXPECT_EQ(line.reader.software(5), nullptr);
    EXPECT_EQ(line.reader.software(6), nullptr);
    // Then takes the hold pair and the erase 100.
    line.write(so_request(0xF9, {0}));
    line.write(so_request(0xFD, {0}));
    EXPECT_EQ(line.exchange(so_request(0xFF, {100})).frames.at(0).so, Bytes{100});
    EXPECT_TRUE(line.reader.on_hold());
    EXPECT_TRUE(line.listen(10000).empty());  // no TLA any more
}

TEST(PssSide, UserRefusalFseAndOtherStatuses) {
    for (uint8_t status : {uint8_t{0x92}, uint8_t{0x94}}) {
        const std::string knob = "poll-status=" + std::to_string(status);
        TlaLine line("default", faults_of({knob.c_str()}));
        line.write(remove_tla(2));
        line.listen(1500);
        line.write(poll(2));
        const Bytes answer = line.listen(3000);
        ASSERT_GE(answer.size(), 5u);
        EXPECT_EQ(answer[4], status);
        EXPECT_TRUE(line.listen(5000).empty());  // no restart
        EXPECT_NE(line.reader.software(5), nullptr);
    }
    TlaLine line("default", faults_of({"poll-other=3"}));
    std::vector<uint8_t> statuses;
    for (int round = 0; round < 4; ++round) {
        line.write(remove_tla(2));
        EXPECT_FALSE(line.listen(1500).empty());
        line.write(poll(2));
        const Bytes answer = line.listen(3000);
        ASSERT_GE(answer.size(), 5u);
        statuses.push_back(answer[4]);
    }
    EXPECT_EQ(statuses, (std::vector<uint8_t>{0x01, 0x01, 0x01, 0x00}));
}

TEST(PssSide, PaymentLoadingIsNotAnsweredAndRestartsTheReader) {
    TlaLine line;
    line.write(payment_loading(2));
    const Unframed got = unframe(line.listen(4000));
    ASSERT_EQ(got.frames.size(), 1u);
    EXPECT_EQ(got.frames[0].code, 0xF2);
    EXPECT_TRUE(got.loose.empty());
    EXPECT_TRUE(line.reader.payment_loading());
}

TEST(PssSide, FramedResetStillReachesTheRunningTla) {
    TlaLine line;
    line.write(so_request(0xFC, {0}));
    const Unframed got = unframe(line.listen(1000));
    ASSERT_EQ(got.frames.size(), 1u);
    EXPECT_EQ(got.frames[0].code, 0xF2);
    EXPECT_EQ(line.reader.restarts(), 1u);
}

TEST(Timing, SwitchedOnAfterThePortIsConfiguredThenTheTlaStartsLater) {
    ReaderLine line("default");
    EXPECT_EQ(line.reader.mode(), ReaderMode::Off);
    EXPECT_TRUE(line.exchange(so_request(0xF7, {0})).frames.empty());  // off: deaf
    const int64_t configured = line.now();
    line.set_speed(9600);
    const Bytes got = line.listen(10000);
    const Unframed frames = unframe(got);
    ASSERT_EQ(frames.frames.size(), 1u);
    EXPECT_EQ(frames.frames[0].code, 0xF2);
    const int64_t f2_end = line.arrivals[got.size() - 4];
    EXPECT_GE(line.arrivals[0] - configured, 3000);
    EXPECT_LE(line.arrivals[0] - configured, 4000);
    // 'A' 0 0 more than a second after the start-up frame.
    EXPECT_EQ(Bytes(got.end() - 3, got.end()), (Bytes{'A', 0, 0}));
    EXPECT_GT(line.arrivals[got.size() - 3] - f2_end, 1000);
    EXPECT_EQ(line.reader.mode(), ReaderMode::Tla);
}

TEST(Timing, OnHoldReaderSaysNothingUntilAsked) {
    ReaderLine line("default,on-hold");
    line.set_speed(9600);
    EXPECT_TRUE(line.listen(30000).empty());
    EXPECT_TRUE(line.reader.on_hold());
}

TEST(Timing, ResetIsNotAnsweredAndTheStartUpFrameFollowsShortly) {
    ReaderLine line("default,on-hold");
    const int64_t sent = line.now();
    line.write(so_request(0xFC, {0}));
    const Bytes got = line.listen(1000);
    const Unframed frames = unframe(got);
    ASSERT_EQ(frames.frames.size(), 1u);
    EXPECT_EQ(frames.frames[0].code, 0xF2);
    EXPECT_GE(line.arrivals[0] - sent, 300);
    EXPECT_LE(line.arrivals[0] - sent, 1000);
}

TEST(Timing, BytesArePacedAtTheLineSpeedBothWays) {
    ReaderLine line("default,on-hold");
    const int64_t sent = line.now();
    const Bytes req = so_request(0xF7, {0});  // 11 bytes: 11.5 ms at 9600
    line.write(req);
    const Bytes got = line.listen(1000);
    ASSERT_GT(got.size(), 40u);
    // Nothing before the request has crossed and the turnaround has passed.
    EXPECT_GE(line.arrivals.front() - sent, 11 + 3);
    // n bytes take n x 1.0417 ms.
    const double span = static_cast<double>(line.arrivals.back() - line.arrivals.front());
    EXPECT_NEAR(span, (got.size() - 1) * 10000.0 / 9600.0, 1.5);
    // At 19200 the same answer takes half as long.
    line.exchange(so_request(0xF3, {2}));
    line.set_speed(19200);
    line.arrivals.clear();
    const Bytes fast = line.listen(0);
    EXPECT_TRUE(fast.empty());
    line.write(req);
    const Bytes got2 = line.listen(1000);
    ASSERT_EQ(got2.size(), got.size());
    const double span2 = static_cast<double>(line.arrivals.back() - line.arrivals.front());
    EXPECT_NEAR(span2, (got2.size() - 1) * 10000.0 / 19200.0, 1.5);
}

TEST(Timing, WithoutPacingAnswersComeAfterTheTurnaroundOnly) {
    ReaderLine line("default,on-hold", {}, false);
    const int64_t sent = line.now();
    line.write(so_request(0xFB, {0}));
    const Bytes got = line.listen(1000);
    EXPECT_GT(got.size(), 200u);
    EXPECT_EQ(line.arrivals.front() - sent, 3);
    EXPECT_EQ(line.arrivals.back(), line.arrivals.front());
}

TEST(Timing, TurnaroundComesFromTheProfile) {
    for (const int64_t turnaround : {0, 25}) {
        ReaderLine line("default,on-hold,turnaround-ms=" + std::to_string(turnaround), {}, false);
        const int64_t sent = line.now();
        line.write(so_request(0xF7, {0}));
        ASSERT_FALSE(line.listen(1000).empty());
        EXPECT_EQ(line.arrivals.front() - sent, turnaround);
    }
}

// The start-up frame waits for its place in the calendar second, on the
// calendar clock: a reader on a steady clock is told the difference.
TEST(Timing, StartUpFrameWaitsForItsPhaseOfTheCalendarSecond) {
    struct Case {
        int phase_ms;
        int64_t calendar_offset_ms;
        int64_t arrival_in_second;  // on the reader's own clock
    };
    for (const Case c :
         {Case{0, 0, 0}, Case{250, 0, 250}, Case{999, 0, 999}, Case{250, 400, 850}}) {
        ReaderLine line("default,on-hold,startup-phase-ms=" + std::to_string(c.phase_ms), {},
                        false);
        line.reader.set_calendar_offset_ns(c.calendar_offset_ms * 1'000'000);
        line.write(so_request(0xFC, {0}));
        ASSERT_FALSE(line.listen(3000).empty());
        EXPECT_EQ(line.arrivals.front() % 1000, c.arrival_in_second) << c.phase_ms;
    }
}

// With byte-gap-us every byte reaches the utility alone: a read with the
// framed time-outs takes one byte, and the next comes at the first tick of
// the utility's clock at least the gap later (2 ms on a millisecond line;
// exactly the gap on a nanosecond one).
TEST(Timing, ByteGapHandsEveryByteOverAlone) {
    ReaderLine line("default,on-hold,byte-gap-us=1100");
    line.device.set_timeouts({1, 1, 1});
    line.write(so_request(0xF7, {0}));
    uint8_t buffer[254];
    EXPECT_EQ(line.device.read(buffer, sizeof buffer), 1u);
    const Bytes rest = line.listen(1000);
    ASSERT_GT(rest.size(), 40u);
    int64_t least_gap = 1000;
    for (std::size_t i = 1; i < line.arrivals.size(); ++i)
        least_gap = std::min(least_gap, line.arrivals[i] - line.arrivals[i - 1]);
    EXPECT_EQ(least_gap, 2);

    ReaderLine ns_line("default,on-hold,turnaround-ms=0,byte-gap-us=1100");
    const int64_t t0 = 5'000'000'123;
    const Bytes req = so_request(0xF7, {0});
    ns_line.reader.on_write_ns(req.data(), req.size(), 9600, t0);
    std::vector<uint8_t> out;
    int64_t due = ns_line.reader.next_delivery_ns(t0);
    while (out.empty()) {
        ns_line.reader.deliver_ns(due, out);
        due = ns_line.reader.next_delivery_ns(due);
    }
    const int64_t first = ns_line.reader.next_delivery_ns(due);
    ns_line.reader.deliver_ns(first, out);
    EXPECT_EQ(ns_line.reader.next_delivery_ns(first), first + 1'100'000);
}

// A USB adapter hands the bytes over when its latency timer runs out, or at
// once when its 62-byte buffer is full (which a line at 9600 baud never
// fills within 16 ms, a line without pacing at once).
TEST(Timing, UsbAdapterHandsBytesOverInBursts) {
    ReaderLine line("default,on-hold,usb-latency-ms=16");
    line.write(so_request(0xFB, {0}));
    ASSERT_GT(line.listen(3000).size(), 500u);
    EXPECT_EQ(std::count_if(line.arrivals.begin(), line.arrivals.end(),
                            [](int64_t at) { return at % 16 != 0; }),
              0);
    ReaderLine fast("default,on-hold,usb-latency-ms=16", {}, false);
    const int64_t sent = fast.now();
    ASSERT_NE((sent + 3) % 16, 0);
    fast.write(so_request(0xFB, {0}));
    ASSERT_GT(fast.listen(3000).size(), 500u);
    EXPECT_EQ(fast.arrivals.front(), sent + 3);
}

TEST(Timing, JitterAddsUpToItsMillisecondsDrawnFromTheSeed) {
    auto turnarounds = [](const std::string& profile) {
        ReaderLine line(profile, {}, false);
        std::vector<int64_t> drawn;
        for (int i = 0; i < 20; ++i) {
            const std::size_t first = line.arrivals.size();
            const int64_t sent = line.now();
            line.write(so_request(0xF7, {0}));
            line.listen(100);
            drawn.push_back(line.arrivals.at(first) - sent);
        }
        return drawn;
    };
    const std::vector<int64_t> drawn = turnarounds("default,on-hold,jitter-ms=20,seed=5");
    EXPECT_GE(*std::min_element(drawn.begin(), drawn.end()), 3);
    EXPECT_LE(*std::max_element(drawn.begin(), drawn.end()), 23);
    EXPECT_GT(std::set<int64_t>(drawn.begin(), drawn.end()).size(), 5u);
    EXPECT_EQ(turnarounds("default,on-hold,jitter-ms=20,seed=5"), drawn);
    EXPECT_NE(turnarounds("default,on-hold,jitter-ms=20,seed=6"), drawn);
}

// A real-time line takes bytes at their due time to the nanosecond: at 9600
// baud a byte takes 1.0417 ms, which the millisecond forms round up.
TEST(Timing, NanosecondFormsGiveTheExactDueTime) {
    ReaderLine line("default,on-hold,turnaround-ms=0");
    const int64_t t0 = 5'000'000'123;
    const Bytes req = so_request(0xF7, {0});
    line.reader.on_write_ns(req.data(), req.size(), 9600, t0);
    const int64_t byte_ns = 10'000'000'000LL / 9600;
    // The request's bytes cross one by one, then the answer's first byte.
    int64_t due = line.reader.next_delivery_ns(t0);
    EXPECT_EQ(due, t0 + byte_ns);
    EXPECT_EQ(line.reader.next_delivery_ms(t0 / 1'000'000), (t0 + byte_ns) / 1'000'000 + 1);
    std::vector<uint8_t> out;
    const int64_t answer_due = t0 + static_cast<int64_t>(req.size() + 1) * byte_ns;
    while (due < answer_due) {
        line.reader.deliver_ns(due, out);
        EXPECT_TRUE(out.empty());
        due = line.reader.next_delivery_ns(due);
    }
    EXPECT_EQ(due, answer_due);
    line.reader.deliver_ns(answer_due - 1, out);
    EXPECT_TRUE(out.empty());
    line.reader.deliver_ns(answer_due, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], 0x10);
    EXPECT_EQ(line.reader.next_delivery_ns(answer_due), answer_due + byte_ns);
}

}  // namespace
}  // namespace korva::sim::testing
