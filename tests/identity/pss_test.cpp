#include "pss/pss.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "identity/payloads.h"
#include "tests/support/pss_test_peer.h"

namespace korva::testing {
namespace {

const char START_CHECK_SUP_TLA_CB[] =
    "\n           VERIFICATION LECTEUR EN COURS...                              ";
const char START_CHECK_CHARGE[] =
    "\r REPONSE > VERIFICATION LECTEUR EN COURS...                      ";
const char QUESTION_SUP_TLA[] = "\r           VOTRE LECTEUR VOUS POSE UNE QUESTION....";
const char QUESTION_CHARGE[] =
    "\r\a\r REPONSE > CONFIRMEZ SUR LE LECTEUR KORVA LA SUPPRESSION DU TLA";

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

Bytes frame_bytes(PssFrameKind kind, uint8_t address) {
    const PssFrame f = pss_frame(kind, address);
    return Bytes(f.bytes.begin(), f.bytes.begin() + f.length);
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

// --- TLA removal -------------------------------------------------------------

// A bench whose dialogue has found the reader.
struct Detected {
    explicit Detected(PssCaller caller, uint32_t speed = 9600) : d(caller) {
        b.peer.speed = speed;
        EXPECT_TRUE(pss_detect(b.s, d, false));
        b.console.clear_output();
    }
    PssBench b;
    PssDialogue d;
};

struct StatusCase {
    uint8_t status;
    PssOutcome outcome;
    const char* sup_tla_line;
    const char* charge_line;
};

TEST(PssRemoveTla, EachStatusForSupTlaAndCharge) {
    const StatusCase cases[] = {
        {0x00, PssOutcome::ACCEPTED, "", ""},
        {0x92, PssOutcome::REFUSED, "\r           ERREUR REFUS UTILISATEUR",
         "\r REPONSE > ERREUR REFUS UTILISATEUR"},
        {0x94, PssOutcome::FSE_PRESENT, "\r           ERREUR FSE PRESENTE !",
         "\r REPONSE > ERREUR FSE PRESENTE !"},
    };
    for (const StatusCase& c : cases) {
        {
            Detected t(PssCaller::SUP_TLA);
            t.b.peer.poll_answers = {poll_answer(c.status)};
            EXPECT_EQ(pss_remove_tla(t.b.s, t.d), c.outcome);
            EXPECT_EQ(t.b.out(), std::string(QUESTION_SUP_TLA) + c.sup_tla_line);
            EXPECT_TRUE(t.b.s.running);
        }
        {
            Detected t(PssCaller::CHARGE);
            t.b.peer.poll_answers = {poll_answer(c.status)};
            EXPECT_EQ(pss_remove_tla(t.b.s, t.d), c.outcome);
            EXPECT_EQ(t.b.out(), std::string(QUESTION_CHARGE) + c.charge_line);
            EXPECT_EQ(t.b.s.running, c.outcome == PssOutcome::ACCEPTED);
            EXPECT_EQ(t.b.peer.removes, 1);
        }
    }
}

TEST(PssRemoveTla, OtherStatusEndsSupTlaQuietly) {
    Detected t(PssCaller::SUP_TLA);
    t.b.peer.poll_answers = {poll_answer(0x33), poll_answer(0x00)};
    EXPECT_EQ(pss_remove_tla(t.b.s, t.d), PssOutcome::OTHER);
    EXPECT_EQ(t.b.out(), QUESTION_SUP_TLA);
    EXPECT_EQ(t.b.peer.removes, 1);
    EXPECT_TRUE(t.b.s.running);
}

TEST(PssRemoveTla, ChargeRepeatsOnOtherStatusUntilAccepted) {
    Detected t(PssCaller::CHARGE);
    t.b.peer.poll_answers = {poll_answer(0x33), poll_answer(0x01), poll_answer(0x93),
                             poll_answer(0x00)};
    EXPECT_EQ(pss_remove_tla(t.b.s, t.d), PssOutcome::ACCEPTED);
    EXPECT_EQ(t.b.peer.removes, 4);
    EXPECT_EQ(t.b.peer.polls, 4);
    std::string expected;
    for (int i = 0; i < 4; ++i) expected += QUESTION_CHARGE;
    EXPECT_EQ(t.b.out(), expected);
    EXPECT_FALSE(t.b.s.running);  // the run ends after this charge
}

TEST(PssRemoveTla, ChargeWithoutAnswerToTheRemovalFrame) {
    Detected t(PssCaller::CHARGE);
    t.b.peer.remove_answer.clear();
    t.b.peer.poll_answers = {poll_answer(0x00)};
    EXPECT_EQ(pss_remove_tla(t.b.s, t.d), PssOutcome::NO_LINK);
    EXPECT_EQ(t.b.out(), "\r REPONSE > ECHEC COMMUNICATION DU PROTOCOLE PSS-LECTEUR !");
    EXPECT_EQ(t.b.peer.polls, 0);
    EXPECT_TRUE(t.b.s.running);
}

TEST(PssRemoveTla, SupTlaPollsEvenWithoutAnswerToTheRemovalFrame) {
    Detected t(PssCaller::SUP_TLA);
    t.b.peer.remove_answer.clear();
    t.b.peer.poll_answers = {poll_answer(0x92)};
    EXPECT_EQ(pss_remove_tla(t.b.s, t.d), PssOutcome::REFUSED);
    EXPECT_EQ(t.b.peer.polls, 1);
}

TEST(PssRemoveTla, ShortPollAnswerHasNoStatus) {
    // The removal answer left 0x00 at index 4 of the reply buffer; a poll
    // answer of three bytes must not read as "accepted".
    ASSERT_EQ(PssTestPeer().remove_answer.at(4), 0x00);
    for (const Bytes& poll : {Bytes{0x2F, 0xF8, 0x00}, Bytes{}}) {
        Detected t(PssCaller::SUP_TLA);
        t.b.peer.poll_answers = {poll};
        EXPECT_EQ(pss_remove_tla(t.b.s, t.d), PssOutcome::OTHER);
    }
}

TEST(PssRemoveTla, ChargeLoopOnShortAnswersEndsWhenTheReaderFallsSilent) {
    // Short answers repeat the dialogue; it goes on only while the reader
    // answers the removal frame.
    Detected t(PssCaller::CHARGE);
    t.b.peer.poll_answers = {Bytes{0x2F, 0xF8}, Bytes{0x2F}, Bytes{0x2F, 0xF8, 0x01, 0x02}};
    t.b.peer.remove_rounds = 3;
    EXPECT_EQ(pss_remove_tla(t.b.s, t.d), PssOutcome::NO_LINK);
    EXPECT_EQ(t.b.peer.removes, 4);
    EXPECT_EQ(t.b.peer.polls, 3);
    EXPECT_FALSE(t.b.s.running);
}

TEST(PssRemoveTla, ChargeEndsWhenThePollGoesUnanswered) {
    // The reader answers the removal frame but not the poll: for charge the
    // link is lost, and the dialogue does not go round for ever.
    Detected t(PssCaller::CHARGE);
    t.b.peer.poll_answers = {poll_answer(0x33)};
    EXPECT_EQ(pss_remove_tla(t.b.s, t.d), PssOutcome::NO_LINK);
    EXPECT_EQ(t.b.out(), std::string(QUESTION_CHARGE) + QUESTION_CHARGE +
                             "\r REPONSE > ECHEC COMMUNICATION DU PROTOCOLE PSS-LECTEUR !");
    EXPECT_EQ(t.b.peer.removes, 2);
    EXPECT_FALSE(t.b.s.running);  // the unlisted status of the first round
}

TEST(PssRemoveTla, PollReadFactorsOfEachCaller) {
    // The user confirms after a minute: charge (factor 65) waits long
    // enough, sup_tla (factor 15) does not.
    for (PssCaller caller : {PssCaller::CHARGE, PssCaller::SUP_TLA}) {
        Detected t(caller);
        t.b.peer.poll_delay_ms = 60000;
        t.b.peer.remove_rounds = 1;
        t.b.peer.poll_answers = {poll_answer(0x00)};
        const PssOutcome outcome = pss_remove_tla(t.b.s, t.d);
        EXPECT_EQ(outcome, caller == PssCaller::CHARGE ? PssOutcome::ACCEPTED : PssOutcome::OTHER);
    }
}

// --- payment loading ---------------------------------------------------------

TEST(PssPaymentLoading, SendsTheFrameAndReadsNothing) {
    Detected t(PssCaller::CB, 19200);
    const std::size_t before = t.b.peer.pss_frames.size();
    pss_payment_loading(t.b.s, t.d);
    ASSERT_EQ(t.b.peer.pss_frames.size(), before + 1);
    EXPECT_EQ(t.b.peer.pss_frames.back().bytes, frame_bytes(PssFrameKind::PAYMENT_LOADING, 0x2F));
    EXPECT_EQ(t.b.peer.pss_frames.back().baud, 19200u);
    EXPECT_EQ(t.b.peer.payments, 1);
    EXPECT_EQ(t.b.out(), "");
}

// --- the block list as the PSS callers read it ----------------------------------

// Block 0, then the identity block's items (one per tag), then blocks 2 to
// 31; or a reader that goes round in circles on block 0.
struct ListCase {
    const char* what;
    int identity_tags;
    int block_0_repeats;
    bool complete;
};

void PrintTo(const ListCase& c, std::ostream* os) {
    *os << c.what;
}

const ListCase LIST_CASES[] = {
    {"60 identity tags and 31 blocks", 60, 0, true},
    {"every one-byte tag and 31 blocks", 256, 0, true},
    {"block 0 over and over, then the rest", 0, 400, false},
};

class BlockListCase : public ::testing::TestWithParam<ListCase> {};

TEST_P(BlockListCase, IdentityItemsDoNotCountAgainstTheBound) {
    const ListCase& c = GetParam();
    PssBench b(31);
    b.peer.block_items.erase(b.peer.block_items.begin() + 1);  // no software item for block 1
    std::vector<Bytes> identity;
    for (int tag = 0; tag < c.identity_tags; ++tag)
        identity.push_back({0x02, 0x00, static_cast<uint8_t>(tag), 1, 'X'});
    for (int i = 0; i < c.block_0_repeats; ++i) identity.push_back(block_item(0, true));
    b.peer.block_items.insert(b.peer.block_items.begin() + 1, identity.begin(), identity.end());
    std::vector<uint8_t> empty;
    EXPECT_EQ(list_empty_blocks(b.s, empty), c.complete);
}

INSTANTIATE_TEST_SUITE_P(Rows, BlockListCase, ::testing::ValuesIn(LIST_CASES));

}  // namespace
}  // namespace korva::testing
