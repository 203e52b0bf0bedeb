// The PSS dialogue once the reader is found: TLA removal, payment loading,
// and the block list as the PSS callers read it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "identity/payloads.h"
#include "pss/pss.h"
#include "tests/identity/pss_test_helpers.h"
#include "tests/support/pss_test_peer.h"

namespace korva::testing {
namespace {

const char QUESTION_SUP_TLA[] = "\r           VOTRE LECTEUR VOUS POSE UNE QUESTION....";
const char QUESTION_CHARGE[] =
    "\r\a\r REPONSE > CONFIRMEZ SUR LE LECTEUR KORVA LA SUPPRESSION DU TLA";

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
