#include "maintenance/tla_preparation.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/pss_test_peer.h"
#include "tests/support/session_harness.h"
#include "tests/support/virtual_reader_bench.h"

namespace korva::testing {
namespace {

const std::string ORBEX = "\r REPONSE > ORBEX DETECTE => MISE A JOUR ORBEX      \n";
const std::string REDUCED = "\r REPONSE > TLA REDUIT DETECTE => MISE A JOUR PALENTRIX      \n";
const std::string PSS_UNAVAILABLE = "\r REPONSE > COMMANDES PSS NON DISPONIBLE ";
const std::string START_CHECK =
    "\r REPONSE > VERIFICATION LECTEUR EN COURS...                      ";
const std::string QUICK_9600 = "\r REPONSE > DETECTION : VITESSE : 9600 Bauds  PAD 2 : => ";
const std::string CONNECTED = "\r REPONSE > CONNEXION LECTEUR OK                            ";
const std::string KEY_WAIT = std::string("\r\a") +
                             "\r              TAPEZ UNE TOUCHE POUR CONTINUER :  " +
                             "\r                                                 ";
const std::string QUESTION =
    "\r\a\r REPONSE > CONFIRMEZ SUR LE LECTEUR KORVA LA SUPPRESSION DU TLA";
const std::string RESTART = "\r REPONSE > VEUILLEZ ETEINDRE puis REDEMARRER VOTRE LECTEUR     ";
const std::string RESTART_BLANK =
    "\r REPONSE >                                                     ";
const std::string STARTUP_SEEN =
    "\r REPONSE > ATTENTE REPONSE LECTEUR ...                          ";
const std::string ON_HOLD = "\r REPONSE > LECTEUR EN ATTENTE                              ";

// A bench with one key typed for the key wait.
struct Prep : PssBench {
    Prep() { console.type("k"); }
};

// Cuts the blinking restart request off the front of text: returns how many
// lines it held (text and blank alternating, text first), -1 when they do
// not alternate.
int take_restart_blink(std::string& text) {
    int lines = 0;
    for (;;) {
        const std::string& next = lines % 2 == 0 ? RESTART : RESTART_BLANK;
        if (text.compare(0, next.size(), next) != 0) break;
        text.erase(0, next.size());
        ++lines;
    }
    return lines;
}

TEST(TlaPreparation, FullTlaRemovedAndReaderBackOnHold) {
    Prep b;
    b.peer.poll_answers = {poll_answer(0x00)};
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::READY);
    std::string out = b.out();
    const std::string head = ORBEX + START_CHECK + QUICK_9600 + CONNECTED + KEY_WAIT + QUESTION;
    ASSERT_EQ(out.compare(0, head.size(), head), 0) << out;
    out.erase(0, head.size());
    // The restart comes about seven seconds into the waits of one second
    // (each lasts one to two seconds of the calendar clock).
    const int blinks = take_restart_blink(out);
    EXPECT_GE(blinks, 3);
    EXPECT_LE(blinks, 8);
    EXPECT_EQ(out, STARTUP_SEEN + ON_HOLD);
    EXPECT_EQ(b.s.tla_state, TlaState::FULL);
    EXPECT_TRUE(b.s.running);
    EXPECT_TRUE(b.console.input_consumed());
    EXPECT_EQ(b.device->settings().baud_rate, 9600u);
    EXPECT_EQ(b.device->timeouts().interval, 1u);
    EXPECT_EQ(b.peer.framed_count(0xFF), 1);
}

TEST(TlaPreparation, EmptyTlaBlockSendsNoPssFrame) {
    Prep b;
    b.peer.empty_block(5);
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::END_COMMAND);
    EXPECT_EQ(b.out(),
              "\r REPONSE > TLA NON DETECTE => PAS DE MISE A JOUR TLA      "
              "\n           FIN DE LA MISE A JOUR        ");
    EXPECT_EQ(b.s.tla_state, TlaState::NONE);
    EXPECT_TRUE(b.peer.pss_frames.empty());
    EXPECT_EQ(b.peer.framed_count(0xFC), 0);
}

TEST(TlaPreparation, EmptyBlock6IsTheReducedTla) {
    Prep b;
    b.peer.empty_block(6);
    b.peer.poll_answers = {poll_answer(0x00)};
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::READY);
    EXPECT_EQ(b.out().compare(0, REDUCED.size() + START_CHECK.size(), REDUCED + START_CHECK), 0);
    EXPECT_EQ(b.s.tla_state, TlaState::REDUCED);
    EXPECT_EQ(b.peer.removes, 1);
}

TEST(TlaPreparation, EmptyBlock4BeforeEmptyBlock6KeepsTheFullTla) {
    Prep b;
    b.peer.empty_block(4);
    b.peer.empty_block(6);
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::REFUSED);
    EXPECT_EQ(b.out(), ORBEX + PSS_UNAVAILABLE);
    EXPECT_EQ(b.s.tla_state, TlaState::FULL);
    EXPECT_EQ(b.peer.framed_count(0xFC), 0);
    EXPECT_TRUE(b.peer.pss_frames.empty());
}

TEST(TlaPreparation, EmptyBlock6BeforeAMissingBlockIsStillReduced) {
    // The answers come in another order: block 6 empty is seen while the
    // dialogue still looked possible.
    Prep b;
    b.peer.empty_block(6);
    b.peer.empty_block(3);
    std::swap(b.peer.block_items[3], b.peer.block_items[6]);
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::REFUSED);
    EXPECT_EQ(b.out(), REDUCED + PSS_UNAVAILABLE);
    EXPECT_EQ(b.s.tla_state, TlaState::REDUCED);
}

TEST(TlaPreparation, EmptyBaseBlocksMakePssUnavailable) {
    for (uint8_t block : {0, 2, 3, 4}) {
        Prep b;
        b.peer.empty_block(block);
        EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::REFUSED) << int(block);
        EXPECT_EQ(b.out(), ORBEX + PSS_UNAVAILABLE);
    }
}

TEST(TlaPreparation, UnansweredBlockList) {
    Prep b;
    b.peer.answer_block_list = false;
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::REFUSED);
    EXPECT_EQ(b.out(), "\n REPONSE > ECHEC COMMANDE " + ORBEX + PSS_UNAVAILABLE);
    EXPECT_EQ(b.s.tla_state, TlaState::FULL);
}

TEST(TlaPreparation, BlockListCutAfterEmptyBlock6) {
    Prep b;
    b.peer.empty_block(6);
    b.peer.block_items.resize(8);
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::REFUSED);
    EXPECT_EQ(b.out(), "\n REPONSE > ECHEC COMMANDE " + REDUCED + PSS_UNAVAILABLE);
}

TEST(TlaPreparation, MissingStartBytesOrReaderEndTheCommand) {
    {
        Prep b;
        b.peer.start_bytes = {'C', 0, 0};
        EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::END_COMMAND);
        EXPECT_EQ(b.out(), ORBEX + START_CHECK);
    }
    {
        Prep b;
        b.peer.pad = 15;
        EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::END_COMMAND);
        EXPECT_EQ(b.peer.probe_bauds.size(), 34u);
        EXPECT_EQ(b.peer.removes, 0);
    }
}

TEST(TlaPreparation, StartBytesBPass) {
    Prep b;
    b.peer.start_bytes = {'B', 0, 0};
    b.peer.poll_answers = {poll_answer(0x00)};
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::READY);
}

TEST(TlaPreparation, EndOfInputAtTheKeyWaitLeavesTheReaderAlone) {
    PssBench b;  // no key typed
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::END_COMMAND);
    EXPECT_EQ(b.out(), ORBEX + START_CHECK + QUICK_9600 + CONNECTED + KEY_WAIT);
    EXPECT_EQ(b.peer.removes, 0);
    EXPECT_FALSE(b.s.running);
}

TEST(TlaPreparation, RemovalOutcomes) {
    {
        Prep b;
        b.peer.poll_answers = {poll_answer(0x92)};
        EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::REFUSED);
        const std::string tail = QUESTION + "\r REPONSE > ERREUR REFUS UTILISATEUR";
        EXPECT_TRUE(ends_with(b.out(), tail));
        EXPECT_FALSE(b.s.running);
        EXPECT_EQ(b.peer.framed_count(0xF9), 0);
    }
    {
        Prep b;
        b.peer.poll_answers = {poll_answer(0x94)};
        EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::REFUSED);
        const std::string tail = QUESTION + "\r REPONSE > ERREUR FSE PRESENTE !";
        EXPECT_TRUE(ends_with(b.out(), tail));
        EXPECT_FALSE(b.s.running);
        EXPECT_EQ(b.device->timeouts().interval, 1000u);  // never reconfigured
    }
    {
        Prep b;
        b.peer.remove_answer.clear();
        EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::REFUSED);
        const std::string tail =
            KEY_WAIT + "\r REPONSE > ECHEC COMMUNICATION DU PROTOCOLE PSS-LECTEUR !";
        EXPECT_TRUE(ends_with(b.out(), tail));
        EXPECT_TRUE(b.s.running);
    }
}

TEST(TlaPreparation, OtherStatusSeveralTimesThenAccepted) {
    Prep b;
    b.peer.poll_answers = {poll_answer(0x11), poll_answer(0x22), poll_answer(0x33),
                           poll_answer(0x00)};
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::READY);
    EXPECT_EQ(b.peer.removes, 4);
    EXPECT_EQ(b.peer.framed_count(0xF9), 1);  // one restart wait, one hold
    EXPECT_EQ(b.peer.framed_count(0xFF), 1);
    EXPECT_FALSE(b.s.running);  // the run ends after this charge
    std::string out = b.out();
    const std::string head = ORBEX + START_CHECK + QUICK_9600 + CONNECTED + KEY_WAIT + QUESTION +
                             QUESTION + QUESTION + QUESTION;
    ASSERT_EQ(out.compare(0, head.size(), head), 0);
    out.erase(0, head.size());
    EXPECT_GE(take_restart_blink(out), 3);
    EXPECT_EQ(out, STARTUP_SEEN + ON_HOLD);
}

TEST(TlaPreparation, HoldNotAnsweredAfterTheRestart) {
    Prep b;
    b.peer.poll_answers = {poll_answer(0x00)};
    b.peer.answer_hold = false;
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::READY);
    const std::string tail = STARTUP_SEEN + "\r REPONSE > LECTEUR INDISPONIBLE ";
    EXPECT_TRUE(ends_with(b.out(), tail));
}

TEST(TlaPreparation, RestartWaitHasNoLimit) {
    // The reader takes ten minutes to come back: still one wait, blinking.
    Prep b;
    b.peer.poll_answers = {poll_answer(0x00)};
    b.peer.restart_delay_ms = 600000;
    const int64_t start = b.now();
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::READY);
    EXPECT_GE(b.now() - start, 600000);
    std::string out = b.out();
    const std::size_t at = out.find(QUESTION);
    ASSERT_NE(at, std::string::npos);
    out.erase(0, at + QUESTION.size());
    EXPECT_GE(take_restart_blink(out), 290);
    EXPECT_EQ(out, STARTUP_SEEN + ON_HOLD);
}

// --- against the virtual reader ---------------------------------------------

TEST(TlaPreparationOnVirtualReader, FullTlaGivenUp) {
    ReaderBench b("default,on-hold");
    b.console.type("k");
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::READY);
    EXPECT_EQ(b.s.tla_state, TlaState::FULL);
    EXPECT_EQ(b.reader.software(5), nullptr);
    EXPECT_TRUE(b.reader.on_hold());
    EXPECT_TRUE(b.out().ends_with(STARTUP_SEEN + ON_HOLD)) << b.out();
    EXPECT_TRUE(b.s.running);
}

TEST(TlaPreparationOnVirtualReader, ReducedTla) {
    ReaderBench b("reduced-tla,on-hold,pad=11,pss-speed=19200");
    b.console.type("k");
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::READY);
    EXPECT_EQ(b.s.tla_state, TlaState::REDUCED);
    EXPECT_TRUE(b.says(REDUCED));
    EXPECT_TRUE(b.says("\r REPONSE > DETECTION : VITESSE : 19200 Bauds  PAD 11 : => " + CONNECTED));
    EXPECT_EQ(b.reader.software(5), nullptr);
}

TEST(TlaPreparationOnVirtualReader, NoTla) {
    ReaderBench b("no-tla,on-hold");
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::END_COMMAND);
    EXPECT_EQ(b.s.tla_state, TlaState::NONE);
    EXPECT_EQ(b.reader.restarts(), 0u);
    EXPECT_TRUE(b.reader.pss_frames_received().empty());
}

TEST(TlaPreparationOnVirtualReader, UserAnswersLateThenAccepts) {
    ReaderBench b("default,on-hold", {"poll-other=3"});
    b.console.type("k");
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::READY);
    EXPECT_FALSE(b.s.running);
    EXPECT_EQ(b.reader.software(5), nullptr);
    EXPECT_TRUE(b.reader.on_hold());
}

TEST(TlaPreparationOnVirtualReader, UserRefuses) {
    ReaderBench b("default,on-hold", {"poll-status=0x92"});
    b.console.type("k");
    EXPECT_EQ(prepare_tla_update(b.s), TlaPreparation::REFUSED);
    EXPECT_FALSE(b.s.running);
    EXPECT_NE(b.reader.software(5), nullptr);
}

// --- the built-in script, a whole session --------------------------------------

TEST(DefaultScript, RunsToTheEndAgainstTheVirtualReader) {
    // No arguments and no liste.dvo: the built-in script
    // "no charge superviseur 2 charge ORBEX_112 5 reset the_end q".
    TempWorkDir dir;
    sim::VirtualReader reader(parsed_profile("default"), {}, true);
    // Port 3, the power-off step, a key for the TLA key wait, one for q.
    SessionHarness h(reader, "3Okq");
    const int status = h.run({});
    const std::string& out = h.console.output();
    if (out.find("ALLUMEZ VOTRE LECTEUR KORVA") == std::string::npos ||
        out.find("LECTURE FICHIER OK") == std::string::npos) {
        GTEST_SKIP() << "the no or charge command is not built yet";
    }
    EXPECT_NE(out.find("\r REPONSE > ORBEX DETECTE => MISE A JOUR ORBEX      \n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(KEY_WAIT), std::string::npos);
    EXPECT_NE(out.find(QUESTION), std::string::npos);
    EXPECT_NE(out.find(STARTUP_SEEN + ON_HOLD), std::string::npos);
    EXPECT_NE(out.find("\n                      *****  OPERATIONS TERMINEES  *****"),
              std::string::npos);
    EXPECT_EQ(out.find("ECHEC"), std::string::npos);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(h.console.input_consumed());
    ASSERT_NE(reader.software(5), nullptr);
    EXPECT_EQ(reader.software(5)->descriptor, "ORBEX$TLA ORBEX$");
    // The supervisor went to block 2 and the TLA image to block 5.
    EXPECT_NE(reader.downloaded(4), nullptr);
    EXPECT_NE(reader.downloaded(10), nullptr);
}
}  // namespace
}  // namespace korva::testing
