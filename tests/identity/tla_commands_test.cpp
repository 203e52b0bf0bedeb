#include <gtest/gtest.h>

#include <string>

#include "identity/identity_commands.h"
#include "pss/pss.h"
#include "tests/support/pss_test_peer.h"
#include "tests/support/virtual_reader_bench.h"

namespace korva::testing {
namespace {

const std::string START_CHECK =
    "\n           VERIFICATION LECTEUR EN COURS...                              ";
const std::string PSS_UNAVAILABLE = "\r           COMMANDES PSS NON DISPONIBLE ou TLA ABSENT";
const std::string QUESTION = "\r           VOTRE LECTEUR VOUS POSE UNE QUESTION....";
const std::string RESTART_REQUEST =
    "\r REPONSE > VEUILLEZ ETEINDRE puis REDEMARRER VOTRE LECTEUR     ";
const std::string STARTUP_SEEN =
    "\r           ATTENTE REPONSE LECTEUR ...                               ";
const std::string PAYMENT_PREPARATION =
    "\r           PREPARATION DU CHARGEMENT MONETIQUE                    ";

std::string attempts(int speed, int last_pad) {
    std::string text;
    for (int pad = 0; pad <= last_pad; ++pad) {
        text += "\r DETECTION : VITESSE : " + std::to_string(speed) + " Bauds  PAD " +
                std::to_string(pad) + " : => ";
    }
    return text;
}

// --- sup_tla -------------------------------------------------------------------

TEST(SupTla, AcceptedRemovalBringsTheReaderBackOnHold) {
    PssBench b;
    b.peer.poll_answers = {poll_answer(0x00)};
    cmd_sup_tla(b.s);
    EXPECT_EQ(b.out(), START_CHECK + attempts(9600, 2) + "\r           CONNEXION LECTEUR OK" +
                           QUESTION + RESTART_REQUEST + STARTUP_SEEN +
                           "\r           LECTEUR EN ATTENTE " + "\n");
    EXPECT_EQ(b.peer.framed_count(0xFB), 1);
    EXPECT_EQ(b.peer.framed_count(0xFC), 1);
    EXPECT_EQ(b.peer.framed_count(0xF9), 1);
    EXPECT_EQ(b.peer.framed_count(0xFD), 1);
    EXPECT_EQ(b.peer.framed_count(0xFF), 1);
    // Back to the framed settings.
    EXPECT_EQ(b.device->settings().baud_rate, 9600u);
    EXPECT_EQ(b.device->timeouts().interval, 1u);
    EXPECT_EQ(b.device->timeouts().multiplier, 1u);
    EXPECT_FALSE(b.s.command_failed);
    EXPECT_TRUE(b.s.running);
}

TEST(SupTla, MissingNeededBlockTouchesNothing) {
    for (uint8_t block : {0, 2, 3, 4, 5}) {
        PssBench b;
        b.peer.empty_block(block);
        cmd_sup_tla(b.s);
        EXPECT_EQ(b.out(), PSS_UNAVAILABLE + "\n") << int(block);
        EXPECT_EQ(b.peer.framed_count(0xFC), 0);
        EXPECT_TRUE(b.peer.pss_frames.empty());
        EXPECT_TRUE(b.s.command_failed);
    }
}

TEST(SupTla, EmptyBlocksAboveFiveDoNotMatter) {
    PssBench b;
    b.peer.empty_block(1);
    b.peer.empty_block(6);
    b.peer.empty_block(12);
    b.peer.poll_answers = {poll_answer(0x92)};
    cmd_sup_tla(b.s);
    EXPECT_EQ(b.peer.framed_count(0xFC), 1);
    EXPECT_EQ(b.out(), START_CHECK + attempts(9600, 2) + "\r           CONNEXION LECTEUR OK" +
                           QUESTION + "\r           ERREUR REFUS UTILISATEUR" + "\n");
    EXPECT_TRUE(b.s.command_failed);
    EXPECT_TRUE(b.s.running);
}

TEST(SupTla, IncompleteBlockListTouchesNothing) {
    PssBench b;
    b.peer.block_items.resize(4);  // blocks 0 to 3, then silence
    cmd_sup_tla(b.s);
    EXPECT_EQ(b.out(), "\n REPONSE > ECHEC COMMANDE " + PSS_UNAVAILABLE + "\n");
    EXPECT_EQ(b.peer.framed_count(0xFC), 0);
}

TEST(SupTla, FsePresentNeverReconfiguresThePort) {
    PssBench b;
    b.peer.speed = 19200;
    b.peer.pad = 0;
    b.peer.poll_answers = {poll_answer(0x94)};
    cmd_sup_tla(b.s);
    const std::string out = b.out();
    const std::string tail = QUESTION + "\r           ERREUR FSE PRESENTE !" + "\n";
    EXPECT_TRUE(ends_with(out, tail));
    EXPECT_EQ(out.find(RESTART_REQUEST), std::string::npos);
    // Still at the detected speed with the raw time-outs of the poll.
    EXPECT_EQ(b.device->settings().baud_rate, 19200u);
    EXPECT_EQ(b.device->timeouts().interval, 1000u);
    EXPECT_EQ(b.device->timeouts().multiplier, 60u);
    EXPECT_EQ(b.peer.framed_count(0xF9), 0);
    EXPECT_TRUE(b.s.running);
}

TEST(SupTla, StartUpFrameMissingAfter30Seconds) {
    PssBench b;
    b.peer.poll_answers = {poll_answer(0x00)};
    b.peer.restart_after_accept = false;
    cmd_sup_tla(b.s);
    const std::string tail = RESTART_REQUEST + "\r           PAS DE REPONSE LECTEUR " + "\n";
    const std::string out = b.out();
    EXPECT_TRUE(ends_with(out, tail));
    EXPECT_EQ(b.peer.framed_count(0xF9), 0);
    EXPECT_TRUE(b.s.command_failed);
}

TEST(SupTla, StartUpWaitLastsThirtySeconds) {
    // A restart 29 s after the poll answer is still seen; one 34 s after
    // it is not.
    for (int64_t delay : {29000, 34000}) {
        PssBench b;
        b.peer.poll_answers = {poll_answer(0x00)};
        b.peer.poll_delay_ms = 0;
        b.peer.restart_delay_ms = delay;
        cmd_sup_tla(b.s);
        EXPECT_EQ(b.out().find(STARTUP_SEEN) != std::string::npos, delay == 29000) << delay;
    }
}

TEST(SupTla, HoldNotAnswered) {
    PssBench b;
    b.peer.poll_answers = {poll_answer(0x00)};
    b.peer.answer_hold = false;
    cmd_sup_tla(b.s);
    const std::string tail = STARTUP_SEEN + "\r           LECTEUR INDISPONIBLE " + "\n";
    const std::string out = b.out();
    EXPECT_TRUE(ends_with(out, tail));
    EXPECT_TRUE(b.s.command_failed);
}

TEST(SupTla, StartBytesBPassAndNoReaderEndsSilently) {
    PssBench b;
    b.peer.start_bytes = {'B', 0, 0};
    b.peer.pad = 15;  // answers no address
    cmd_sup_tla(b.s);
    EXPECT_EQ(b.out(), START_CHECK + attempts(9600, 14) + attempts(19200, 14));
    EXPECT_TRUE(b.s.command_failed);
    EXPECT_EQ(b.device->settings().baud_rate, 19200u);
}

// --- cb ------------------------------------------------------------------------

TEST(Cb, ReaderWith31BlocksGetsNothing) {
    PssBench b(31);
    b.s.payment_loading_mode = PaymentLoading::ON_HOLD;
    cmd_cb(b.s);
    EXPECT_EQ(b.s.payment_loading_mode, PaymentLoading::BLOCKS_31);
    EXPECT_EQ(b.out(), "");
    EXPECT_TRUE(b.peer.requests().empty());
    EXPECT_TRUE(b.peer.pss_frames.empty());
    EXPECT_FALSE(b.s.command_failed);
}

TEST(Cb, StartBytesBStopSilently) {
    PssBench b;
    b.s.payment_loading_mode = PaymentLoading::ON_HOLD;
    b.peer.start_bytes = {'B', 0, 0};
    cmd_cb(b.s);
    EXPECT_EQ(b.out(), START_CHECK);
    EXPECT_EQ(b.s.payment_loading_mode, PaymentLoading::NONE);
    EXPECT_TRUE(b.peer.pss_frames.empty());
    EXPECT_TRUE(b.s.command_failed);
}

TEST(Cb, AcceptedHoldSetsMode1) {
    PssBench b;
    b.peer.speed = 19200;
    b.peer.pad = 5;
    cmd_cb(b.s);
    EXPECT_EQ(b.out(), START_CHECK + attempts(9600, 14) + attempts(19200, 5) +
                           "\r           CONNEXION LECTEUR OK                              " +
                           PAYMENT_PREPARATION + STARTUP_SEEN +
                           "\r           LECTEUR EN ATTENTE               ");
    EXPECT_EQ(b.s.payment_loading_mode, PaymentLoading::ON_HOLD);
    EXPECT_EQ(b.peer.payments, 1);
    EXPECT_EQ(b.device->settings().baud_rate, 9600u);
    EXPECT_FALSE(b.s.command_failed);
}

TEST(Cb, NoStartUpFrameWithin30Seconds) {
    PssBench b;
    b.peer.restart_after_payment = false;
    const int64_t start = b.now();
    cmd_cb(b.s);
    const std::string tail =
        PAYMENT_PREPARATION + "\r           PAS DE REPONSE LECTEUR                ";
    const std::string out = b.out();
    EXPECT_TRUE(ends_with(out, tail));
    EXPECT_EQ(b.s.payment_loading_mode, PaymentLoading::NONE);
    EXPECT_GE(b.now() - start, 30000);
    EXPECT_TRUE(b.s.command_failed);
}

TEST(Cb, HoldNotAnswered) {
    PssBench b;
    b.peer.answer_hold = false;
    cmd_cb(b.s);
    const std::string tail = STARTUP_SEEN + "\r           LECTEUR INDISPONIBLE             ";
    const std::string out = b.out();
    EXPECT_TRUE(ends_with(out, tail));
    EXPECT_EQ(b.s.payment_loading_mode, PaymentLoading::NONE);
}

// --- against the virtual reader ---------------------------------------------

TEST(TlaCommandsOnVirtualReader, SupTlaRemovesTheTla) {
    ReaderBench b("default,on-hold");
    cmd_sup_tla(b.s);
    EXPECT_TRUE(b.says("\r           CONNEXION LECTEUR OK"));
    EXPECT_TRUE(b.out().ends_with("\r           LECTEUR EN ATTENTE \n")) << b.out();
    EXPECT_EQ(b.reader.software(5), nullptr);
    EXPECT_EQ(b.reader.software(6), nullptr);
    EXPECT_TRUE(b.reader.on_hold());
    EXPECT_FALSE(b.s.command_failed);
}

TEST(TlaCommandsOnVirtualReader, SupTlaFindsAReaderAtPad9And19200) {
    ReaderBench b("default,on-hold,pad=9,pss-speed=19200");
    cmd_sup_tla(b.s);
    EXPECT_TRUE(
        b.says("\r DETECTION : VITESSE : 19200 Bauds  PAD 9 : => "
               "\r           CONNEXION LECTEUR OK"));
    EXPECT_TRUE(b.says("\r           LECTEUR EN ATTENTE "));
    EXPECT_EQ(b.reader.software(5), nullptr);
    EXPECT_EQ(b.device->settings().baud_rate, 9600u);
}

TEST(TlaCommandsOnVirtualReader, SupTlaWithACareSheetStored) {
    ReaderBench b("default,on-hold,pss-speed=19200", {"poll-status=0x94"});
    cmd_sup_tla(b.s);
    EXPECT_TRUE(b.out().ends_with("\r           ERREUR FSE PRESENTE !\n")) << b.out();
    EXPECT_NE(b.reader.software(5), nullptr);
    EXPECT_EQ(b.reader.mode(), sim::ReaderMode::Tla);
    EXPECT_EQ(b.device->settings().baud_rate, 19200u);
    EXPECT_TRUE(b.s.command_failed);
}

TEST(TlaCommandsOnVirtualReader, SupTlaWithoutTla) {
    ReaderBench b("no-tla,on-hold");
    cmd_sup_tla(b.s);
    EXPECT_EQ(b.out(), "\r           COMMANDES PSS NON DISPONIBLE ou TLA ABSENT\n");
    EXPECT_EQ(b.reader.restarts(), 0u);
}

TEST(TlaCommandsOnVirtualReader, CbSwitchesToPaymentLoading) {
    ReaderBench b("default,on-hold");
    cmd_cb(b.s);
    EXPECT_EQ(b.s.payment_loading_mode, PaymentLoading::ON_HOLD);
    EXPECT_TRUE(b.reader.payment_loading());
    EXPECT_TRUE(b.reader.on_hold());
    EXPECT_TRUE(b.out().ends_with("\r           LECTEUR EN ATTENTE               ")) << b.out();
}

TEST(TlaCommandsOnVirtualReader, CbOnA31BlockReaderSendsNothing) {
    ReaderBench b("boot405,on-hold");
    cmd_cb(b.s);
    EXPECT_EQ(b.s.payment_loading_mode, PaymentLoading::BLOCKS_31);
    EXPECT_TRUE(b.reader.frames_received().empty());
    EXPECT_TRUE(b.reader.pss_frames_received().empty());
    EXPECT_EQ(b.out(), "");
}

TEST(TlaCommandsOnVirtualReader, CbRefusesStartBytesB) {
    ReaderBench b("default,on-hold,start=B");
    cmd_cb(b.s);
    EXPECT_EQ(b.s.payment_loading_mode, PaymentLoading::NONE);
    EXPECT_EQ(b.out(), START_CHECK);
    EXPECT_TRUE(b.reader.pss_frames_received().empty());
}

}  // namespace
}  // namespace korva::testing
