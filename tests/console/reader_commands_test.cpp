#include <gtest/gtest.h>

#include "tests/support/frame_peer.h"

namespace korva::testing {
namespace {

constexpr int64_t START_MS = 1173085620000LL;

const std::string SPEED_9600_OK =
    "\r REPONSE > VITESSE PORT SERIE 9600 BAUDS OK                     \n";
const std::string SPEED_19200_OK =
    "\r REPONSE > VITESSE PORT SERIE 19200 BAUDS OK                     \n";
const std::string SPEED_REFUSED =
    "\r REPONSE > PARAMETRE INCOHERENT                                \n";
const std::string SWITCH_ON =
    "\r                   ALLUMEZ VOTRE LECTEUR KORVA...                      ";
const std::string HOLDING = "\r REPONSE > ATTENTE REPONSE LECTEUR ...                     ";

const ByteString SPEED_9600_ANSWER = status_answer(0xF3, 1);
const ByteString SPEED_19200_ANSWER = status_answer(0xF3, 2);

// A reader that answers the probe, and whatever else the test adds.
void reader(FramePeer& peer) {
    play(peer, reader_with_15_blocks());
}

std::vector<SeenRequest> requests_of(const FramePeer& peer, uint8_t code) {
    std::vector<SeenRequest> found;
    for (const SeenRequest& r : peer.requests()) {
        if (r.code == code) found.push_back(r);
    }
    return found;
}

// ---- v1 ---------------------------------------------------------------------

TEST(V1, ReaderAndPortGoTo9600) {
    FramePeer peer;
    reader(peer);
    peer.answer_always(0xF3, SPEED_19200_ANSWER);
    peer.answer_next(0xF3, SPEED_19200_ANSWER);
    peer.answer_next(0xF3, SPEED_9600_ANSWER);
    const ScriptRun run = run_script(peer, {"v2", "v1", "bootinfo"});
    EXPECT_EQ(run.text.substr(0, SPEED_19200_OK.size() + SPEED_9600_OK.size()),
              SPEED_19200_OK + SPEED_9600_OK);
    const auto speed = requests_of(peer, 0xF3);
    ASSERT_EQ(speed.size(), 2u);
    EXPECT_EQ(speed[1].data, ByteString{1});
    EXPECT_EQ(speed[1].baud, 19200u);
    EXPECT_EQ(peer.port_baud(), 9600u);
    EXPECT_EQ(peer.requests().back().baud, 9600u);
    EXPECT_EQ(run.status, 0);
}

TEST(V1, NoAnswerKeepsTheSpeedAndDoesNotAskAgain) {
    FramePeer peer;
    reader(peer);
    const ScriptRun run = run_script(peer, {"v1"});
    EXPECT_EQ(run.text, "\r REPONSE > PAS DE REPONSE LECTEUR\n ");
    EXPECT_EQ(requests_of(peer, 0xF3).size(), 1u);
    EXPECT_EQ(peer.port_baud(), 9600u);
    EXPECT_EQ(run.status, 1);
}

TEST(V1, OtherStatusIsRefused) {
    FramePeer peer;
    reader(peer);
    peer.answer_always(0xF3, SPEED_19200_ANSWER);
    const ScriptRun run = run_script(peer, {"v1"});
    EXPECT_EQ(run.text, SPEED_REFUSED);
    EXPECT_EQ(peer.port_baud(), 9600u);
    EXPECT_EQ(run.status, 1);
}

// A session whose port refuses every speed change from the first speed
// request on.
ScriptRun run_with_stubborn_port(FramePeer& peer, const std::vector<std::string>& commands) {
    SessionHarness h(peer, "O");
    peer.on_request = [&h](const SeenRequest& request) {
        if (request.code == 0xF3 && h.device) h.device->refuse_settings(true);
    };
    std::vector<std::string> args{"3"};
    args.insert(args.end(), commands.begin(), commands.end());
    ScriptRun run;
    run.status = h.run(args);
    run.text = commands_text(h.console.output());
    peer.on_request = nullptr;
    return run;
}

TEST(V1, PortThatRefusesTheSpeedEndsTheRun) {
    FramePeer peer;
    reader(peer);
    peer.answer_always(0xF3, SPEED_9600_ANSWER);
    const ScriptRun run = run_with_stubborn_port(peer, {"v1", "the_end"});
    EXPECT_EQ(run.text, SPEED_9600_OK);  // the_end never runs
    EXPECT_EQ(run.status, 1);
}

// ---- v2 ---------------------------------------------------------------------

TEST(V2, ReaderAndPortGoTo19200) {
    FramePeer peer;
    reader(peer);
    peer.answer_always(0xF3, SPEED_19200_ANSWER);
    const ScriptRun run = run_script(peer, {"v2", "bootinfo"});
    EXPECT_EQ(run.text.substr(0, SPEED_19200_OK.size()), SPEED_19200_OK);
    EXPECT_EQ(requests_of(peer, 0xF3).size(), 1u);
    EXPECT_EQ(requests_of(peer, 0xF3)[0].data, ByteString{2});
    EXPECT_EQ(peer.port_baud(), 19200u);
    EXPECT_EQ(peer.requests().back().baud, 19200u);
}

TEST(V2, OtherStatusIsRefused) {
    FramePeer peer;
    reader(peer);
    peer.answer_always(0xF3, SPEED_9600_ANSWER);
    const ScriptRun run = run_script(peer, {"v2"});
    EXPECT_EQ(run.text, SPEED_REFUSED);
    EXPECT_EQ(requests_of(peer, 0xF3).size(), 1u);
    EXPECT_EQ(peer.port_baud(), 9600u);
    EXPECT_EQ(run.status, 1);
}

TEST(V2, SecondRequestAt19200IsAnsweredWhateverItsStatus) {
    FramePeer peer;
    reader(peer);
    peer.answer_next(0xF3, {});  // silence at 9600 baud
    peer.answer_next(0xF3, status_answer(0xF3, 7));
    const ScriptRun run = run_script(peer, {"v2"});
    EXPECT_EQ(run.text, SPEED_19200_OK);
    const auto speed = requests_of(peer, 0xF3);
    ASSERT_EQ(speed.size(), 2u);
    EXPECT_EQ(speed[0].baud, 9600u);
    EXPECT_EQ(speed[1].baud, 19200u);
    EXPECT_EQ(speed[1].data, ByteString{2});
    EXPECT_EQ(peer.port_baud(), 19200u);
    EXPECT_EQ(run.status, 0);
}

TEST(V2, NoReaderTriesTwiceThenGoesBackTo9600) {
    FramePeer peer;
    reader(peer);
    const ScriptRun run = run_script(peer, {"v2"});
    EXPECT_EQ(run.text, "\r REPONSE > PAS DE REPONSE LECTEUR \n");
    const auto speed = requests_of(peer, 0xF3);
    ASSERT_EQ(speed.size(), 2u);
    EXPECT_GE(speed[1].at_ms - speed[0].at_ms, 5000);
    EXPECT_EQ(speed[1].baud, 19200u);
    EXPECT_EQ(peer.port_baud(), 9600u);
    EXPECT_EQ(run.status, 1);
}

TEST(V2, PortThatRefusesTheSpeedEndsTheRun) {
    FramePeer peer;
    reader(peer);
    peer.answer_always(0xF3, SPEED_19200_ANSWER);
    const ScriptRun run = run_with_stubborn_port(peer, {"v2", "the_end"});
    EXPECT_EQ(run.text, SPEED_19200_OK);
    EXPECT_EQ(run.status, 1);
}

// ---- reset ------------------------------------------------------------------

TEST(Reset, SendsTheResetAndWaitsForNothing) {
    FramePeer peer;
    reader(peer);
    const ScriptRun run = run_script(peer, {"reset"});
    EXPECT_EQ(run.text, "\n           RESET LECTEUR EN COURS... \n");
    ASSERT_EQ(peer.request_codes(), (std::vector<uint8_t>{0xF7, 0xFC}));
    EXPECT_EQ(peer.requests()[1].data, ByteString{0});
    EXPECT_EQ(run.status, 0);
}

// ---- no ---------------------------------------------------------------------

TEST(No, HoldsTheReaderOnceItHasStarted) {
    FramePeer peer;
    peer.answer_always(0xFF, status_answer(0xFF, 9));  // any status will do
    peer.schedule(START_MS + 12000, status_answer(0xF2, 0));
    const ScriptRun run = run_script(peer, {"no"});
    EXPECT_EQ(run.text,
              SWITCH_ON + HOLDING + "\r REPONSE > LECTEUR EN ATTENTE                         \n");
    ASSERT_EQ(peer.request_codes(), (std::vector<uint8_t>{0xF9, 0xFD, 0xFF}));
    EXPECT_GE(peer.requests()[0].at_ms, START_MS + 12000);
    EXPECT_EQ(peer.requests()[2].data, ByteString{100});
    EXPECT_GE(peer.requests()[2].at_ms - peer.requests()[1].at_ms, 1000);
    EXPECT_EQ(run.status, 0);
}

TEST(No, HoldNotAnswered) {
    FramePeer peer;
    peer.schedule(START_MS + 12000, status_answer(0xF2, 0));
    const ScriptRun run = run_script(peer, {"no"});
    EXPECT_EQ(run.text,
              SWITCH_ON + HOLDING + "\r REPONSE > LECTEUR INDISPONIBLE                       ");
    EXPECT_EQ(run.status, 1);
}

TEST(No, NoStartFrameWithinThirtySecondsSendsNothing) {
    FramePeer peer;
    peer.answer_always(0xFF, status_answer(0xFF, 0));
    peer.schedule(START_MS + 2000 + 31500, status_answer(0xF2, 0));  // too late
    const ScriptRun run = run_script(peer, {"no"});
    EXPECT_EQ(run.text, SWITCH_ON + "\n REPONSE > PAS DE REPONSE LECTEUR ");
    EXPECT_TRUE(peer.requests().empty());
    EXPECT_EQ(run.status, 1);
}

TEST(No, WhatArrivedBeforeIsThrownAway) {
    FramePeer peer;
    peer.answer_always(0xFF, status_answer(0xFF, 0));
    // A start frame from before "no" (within its 50-byte purge) does not count.
    peer.schedule(START_MS + 1500, status_answer(0xF2, 0));
    const ScriptRun run = run_script(peer, {"no"});
    EXPECT_EQ(run.text, SWITCH_ON + "\n REPONSE > PAS DE REPONSE LECTEUR ");
    EXPECT_TRUE(peer.requests().empty());
}

}  // namespace
}  // namespace korva::testing
