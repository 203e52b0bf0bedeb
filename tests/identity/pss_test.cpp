#include "pss/pss.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "identity/payloads.h"
#include "tests/identity/pss_test_helpers.h"
#include "tests/support/pss_test_peer.h"

namespace korva::testing {
namespace {

const char START_CHECK_SUP_TLA_CB[] =
    "\n           VERIFICATION LECTEUR EN COURS...                              ";
const char START_CHECK_CHARGE[] =
    "\r REPONSE > VERIFICATION LECTEUR EN COURS...                      ";

std::string attempt(PssCaller caller, int speed, int pad) {
    const std::string head = caller == PssCaller::CHARGE ? "\r REPONSE > DETECTION : VITESSE : "
                                                         : "\r DETECTION : VITESSE : ";
    return head + std::to_string(speed) + " Bauds  PAD " + std::to_string(pad) + " : => ";
}

std::string connected(PssCaller caller) {
    switch (caller) {
        case PssCaller::SUP_TLA:
            return "\r           CONNEXION LECTEUR OK";
        case PssCaller::CB:
            return "\r           CONNEXION LECTEUR OK                              ";
        case PssCaller::CHARGE:
            return "\r REPONSE > CONNEXION LECTEUR OK                            ";
    }
    return {};
}

// --- CRC and frames -------------------------------------------------------

TEST(PssCrc, CheckValueAndAgreementWithTheTextbookForm) {
    const std::string digits = "123456789";
    EXPECT_EQ(pss_crc16(reinterpret_cast<const uint8_t*>(digits.data()), 9), 0x2189);
    std::mt19937 gen(7);
    for (int round = 0; round < 200; ++round) {
        Bytes data(gen() % 40);
        for (uint8_t& b : data) b = static_cast<uint8_t>(gen());
        EXPECT_EQ(pss_crc16(data.data(), static_cast<int16_t>(data.size())),
                  kermit_crc(data.data(), data.size()));
    }
    // A count below 1 covers nothing.
    EXPECT_EQ(pss_crc16(reinterpret_cast<const uint8_t*>(digits.data()), 0), 0);
    EXPECT_EQ(pss_crc16(reinterpret_cast<const uint8_t*>(digits.data()), -3), 0);
}

TEST(PssFrames, WorkedValuesForPad2) {
    EXPECT_EQ(frame_bytes(PssFrameKind::PROBE, 0x2F),
              (Bytes{0x2F, 0xC0, 0x04, 0x00, 0x28, 0x00, 0xC8, 0xA9, 0xDF}));
    EXPECT_EQ(frame_bytes(PssFrameKind::REMOVE_TLA, 0x2F),
              (Bytes{0x2F, 0x40, 0x07, 0xFF, 0x01, 0x04, 0x01, 0x01, 0x04, 0x00, 0x9D, 0xFD}));
    EXPECT_EQ(frame_bytes(PssFrameKind::POLL_ANSWER, 0x2F),
              (Bytes{0x2F, 0xF8, 0x02, 0x05, 0x78, 0x51, 0xAC}));
    const Bytes payment = frame_bytes(PssFrameKind::PAYMENT_LOADING, 0x2F);
    ASSERT_EQ(payment.size(), 8u);
    EXPECT_EQ(Bytes(payment.begin(), payment.begin() + 6),
              (Bytes{0x2F, 0x40, 0x03, 0xFF, 0x01, 0xFF}));
}

TEST(PssFrames, EveryPadCarriesItsAddressAndAGoodCrc) {
    for (uint8_t pad = 0; pad < PSS_PAD_COUNT; ++pad) {
        for (PssFrameKind kind : {PssFrameKind::PROBE, PssFrameKind::REMOVE_TLA,
                                  PssFrameKind::POLL_ANSWER, PssFrameKind::PAYMENT_LOADING}) {
            const Bytes f = frame_bytes(kind, pss_address(pad));
            ASSERT_EQ(f[0], pad * 16 + 15);
            ASSERT_EQ(f.size(), 5u + f[2]);
            const uint16_t crc = kermit_crc(f.data(), f.size() - 2);
            EXPECT_EQ(f[f.size() - 2], crc & 0xFF);
            EXPECT_EQ(f[f.size() - 1], crc >> 8);
        }
    }
}

// --- start check -----------------------------------------------------------

struct StartCase {
    PssCaller caller;
    Bytes start;
    bool passes;
};

TEST(PssCheckStart, StartBytesForEachCaller) {
    const StartCase cases[] = {
        {PssCaller::SUP_TLA, {'A', 0, 0}, true},  {PssCaller::SUP_TLA, {'B', 0, 0}, true},
        {PssCaller::CB, {'A', 0, 0}, true},       {PssCaller::CB, {'B', 0, 0}, false},
        {PssCaller::CHARGE, {'A', 0, 0}, true},   {PssCaller::CHARGE, {'B', 0, 0}, true},
        {PssCaller::SUP_TLA, {'C', 0, 0}, false}, {PssCaller::CHARGE, {'A', 0, 1}, false},
        {PssCaller::SUP_TLA, {'A', 7, 0}, false},
    };
    for (const StartCase& c : cases) {
        PssBench b;
        b.peer.boot_on_reset = false;
        b.peer.start_bytes = c.start;
        b.peer.boot(b.now());
        PssDialogue d(c.caller);
        EXPECT_EQ(pss_check_start(b.s, d), c.passes)
            << static_cast<int>(c.caller) << " " << c.start[0];
        EXPECT_EQ(b.out(),
                  c.caller == PssCaller::CHARGE ? START_CHECK_CHARGE : START_CHECK_SUP_TLA_CB);
    }
}

TEST(PssCheckStart, OnlyTheSecondReadCounts) {
    // A reader that sends its start bytes without boot noise before them:
    // the first read takes the start bytes and the second hears nothing.
    PssBench b;
    b.peer.boot_on_reset = false;
    b.peer.boot_bytes.clear();
    b.peer.boot(b.now());
    PssDialogue d(PssCaller::SUP_TLA);
    EXPECT_FALSE(pss_check_start(b.s, d));
}

TEST(PssCheckStart, BytesAlreadyWaitingAreNotThrownAway) {
    // The boot bytes are already in the port when the check starts: they
    // must be what the first read takes.
    PssBench b;
    b.peer.boot_on_reset = false;
    b.peer.boot_delay_ms = 0;
    b.peer.boot(b.now());
    b.clock.sleep_ms(500);
    PssDialogue d(PssCaller::CHARGE);
    EXPECT_TRUE(pss_check_start(b.s, d));
}

TEST(PssCheckStart, ReadFactorsOfEachCaller) {
    // Silent boot, start bytes after 20 s: charge's first read (factor 15)
    // has given up by then and its second (55) takes them; sup_tla's first
    // read (35) takes them and its second hears nothing.
    for (PssCaller caller : {PssCaller::CHARGE, PssCaller::SUP_TLA}) {
        PssBench b;
        b.peer.boot_on_reset = false;
        b.peer.boot_bytes.clear();
        b.peer.start_delay_ms = 20000;
        b.peer.boot(b.now());
        PssDialogue d(caller);
        EXPECT_EQ(pss_check_start(b.s, d), caller == PssCaller::CHARGE);
        EXPECT_EQ(b.device->timeouts().multiplier, caller == PssCaller::CHARGE ? 220u : 140u);
        EXPECT_EQ(b.device->timeouts().interval, 1000u);
    }
}

TEST(PssCheckStart, ShortStartAnswerIsNotJudgedByOldBytes) {
    // The boot noise left 'A' 0 0 in the buffer. A second read of one byte
    // 'A' lacks its two zero bytes, and one byte 'X' is no start byte.
    for (const Bytes& start : {Bytes{'A'}, Bytes{'X'}, Bytes{'B', 0}}) {
        PssBench b;
        b.peer.boot_on_reset = false;
        b.peer.boot_bytes = {'A', 0, 0, 0};
        b.peer.start_bytes = start;
        b.peer.boot(b.now());
        PssDialogue d(PssCaller::SUP_TLA);
        EXPECT_FALSE(pss_check_start(b.s, d)) << start.size();
    }
}

// --- detection ---------------------------------------------------------------

TEST(PssDetect, FullScanFindsEachSpeedAndPad) {
    for (uint32_t speed : {9600u, 19200u}) {
        for (uint8_t pad : {0, 2, 7, 14}) {
            PssBench b;
            b.peer.speed = speed;
            b.peer.pad = pad;
            PssDialogue d(PssCaller::SUP_TLA);
            ASSERT_TRUE(pss_detect(b.s, d, false));
            EXPECT_EQ(d.speed, speed);
            EXPECT_EQ(d.address, pad * 16 + 15);
            EXPECT_EQ(b.device->settings().baud_rate, speed);
            const std::size_t probes = (speed == 19200 ? 15u : 0u) + pad + 1u;
            EXPECT_EQ(b.peer.probe_bauds.size(), probes);
            EXPECT_EQ(b.peer.bad_crc, 0);
        }
    }
}

TEST(PssDetect, Pad0At19200IsFoundOnTheFirst19200Attempt) {
    PssBench b;
    b.peer.speed = 19200;
    b.peer.pad = 0;
    PssDialogue d(PssCaller::CB);
    ASSERT_TRUE(pss_detect(b.s, d, false));
    std::string expected;
    for (int pad = 0; pad < 15; ++pad) expected += attempt(PssCaller::CB, 9600, pad);
    expected += attempt(PssCaller::CB, 19200, 0) + connected(PssCaller::CB);
    EXPECT_EQ(b.out(), expected);
    EXPECT_EQ(b.peer.probe_bauds.size(), 16u);
    EXPECT_EQ(b.peer.probe_bauds.back(), 19200u);
}

TEST(PssDetect, QuickTryDecidesOnTheSecondProbe) {
    // The reader sleeps through the first probe and answers the second.
    PssBench b;
    b.peer.silent_probes = {0};
    PssDialogue d(PssCaller::CHARGE);
    ASSERT_TRUE(pss_detect(b.s, d, true));
    EXPECT_EQ(b.out(), attempt(PssCaller::CHARGE, 9600, 2) + connected(PssCaller::CHARGE));
    EXPECT_EQ(b.peer.probe_bauds.size(), 2u);
    EXPECT_EQ(d.address, 0x2F);
    EXPECT_EQ(d.speed, 9600u);
}

TEST(PssDetect, QuickTryIgnoresAnAnswerToTheFirstProbeOnly) {
    PssBench b;
    b.peer.silent_probes = {1};  // answers the first probe, not the second
    PssDialogue d(PssCaller::CHARGE);
    ASSERT_TRUE(pss_detect(b.s, d, true));
    // Quick try at both speeds, then the full scan up to PAD 2 at 9600.
    EXPECT_EQ(b.out(), attempt(PssCaller::CHARGE, 9600, 2) + attempt(PssCaller::CHARGE, 19200, 2) +
                           attempt(PssCaller::CHARGE, 9600, 0) +
                           attempt(PssCaller::CHARGE, 9600, 1) +
                           attempt(PssCaller::CHARGE, 9600, 2) + connected(PssCaller::CHARGE));
    EXPECT_EQ(b.peer.probe_bauds,
              (std::vector<uint32_t>{9600, 9600, 19200, 19200, 9600, 9600, 9600}));
}

TEST(PssDetect, QuickTryAt19200) {
    PssBench b;
    b.peer.speed = 19200;
    PssDialogue d(PssCaller::CHARGE);
    ASSERT_TRUE(pss_detect(b.s, d, true));
    EXPECT_EQ(b.peer.probe_bauds.size(), 4u);
    EXPECT_EQ(d.speed, 19200u);
    EXPECT_EQ(b.device->settings().baud_rate, 19200u);
}

TEST(PssDetect, EightOrTenByteAnswersAreNotDetected) {
    for (std::size_t length : {8u, 10u}) {
        PssBench b;
        b.peer.probe_answer_length = length;
        PssDialogue d(PssCaller::SUP_TLA);
        EXPECT_FALSE(pss_detect(b.s, d, false));
        EXPECT_EQ(b.peer.probe_bauds.size(), 30u);
        // The last attempt line stays; nothing follows it.
        const std::string last = attempt(PssCaller::SUP_TLA, 19200, 14);
        EXPECT_TRUE(ends_with(b.out(), last));
        // Left at 19200 baud with the raw time-outs of the last read.
        EXPECT_EQ(b.device->settings().baud_rate, 19200u);
        EXPECT_EQ(b.device->timeouts().interval, 1000u);
        EXPECT_EQ(b.device->timeouts().multiplier, 8u);
        EXPECT_EQ(b.device->timeouts().constant, 1u);
    }
}

TEST(PssDetect, FullScanWithQuickTryNoReaderSends34Probes) {
    PssBench b;
    b.peer.pad = 15;  // never matches an address
    PssDialogue d(PssCaller::CHARGE);
    EXPECT_FALSE(pss_detect(b.s, d, true));
    EXPECT_EQ(b.peer.probe_bauds.size(), 34u);
    EXPECT_EQ(b.peer.bad_crc, 0);
    EXPECT_TRUE(b.s.running);
}

TEST(PssDetect, RefusedSpeedClearsRunningAndTheScanGoesOn) {
    PssBench b;
    b.peer.pad = 4;
    b.s.port.read_chunk = 16;
    b.device->refuse_settings(true);
    PssDialogue d(PssCaller::SUP_TLA);
    // The port stays at 9600, where the reader answers.
    EXPECT_TRUE(pss_detect(b.s, d, false));
    EXPECT_FALSE(b.s.running);
    EXPECT_EQ(b.s.port.read_chunk, READ_CHUNK);
    EXPECT_EQ(d.address, 0x4F);
}

}  // namespace
}  // namespace korva::testing
