#include <gtest/gtest.h>

#include "console/run_session.h"
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

const Bytes SPEED_9600_ANSWER = status_answer(0xF3, 1);
const Bytes SPEED_19200_ANSWER = status_answer(0xF3, 2);

// A reader that answers the probe, and whatever else the test adds.
void reader(FakeReader& peer) {
    play(peer, reader_with_15_blocks());
}

std::vector<Request> requests_of(const FakeReader& peer, uint8_t code) {
    std::vector<Request> found;
    for (const Request& r : peer.requests()) {
        if (r.code == code) found.push_back(r);
    }
    return found;
}

// ---- v1 and v2 ---------------------------------------------------------------

// One run of the speed commands: how the reader answers the speed requests
// (the status of the first, of the second, then of every other; -1:
// silence), and what the run shows of it.
struct SpeedCase {
    const char* what;
    const char* commands;
    int first, second, then;
    std::string text;  // the run's text, or its start when bootinfo follows
    std::size_t speed_requests;
    uint8_t last_speed_data;   // in the last speed request
    uint32_t last_speed_baud;  // the port's speed when it went out
    uint32_t port_baud;        // when the run ends
    uint32_t last_baud;        // of the run's last request, whatever its code
    int64_t min_gap_ms;        // between the two speed requests, when there are two
    int status;
};

void PrintTo(const SpeedCase& c, std::ostream* os) {
    *os << c.what;
}

const std::string NO_ANSWER_V1 = "\r REPONSE > PAS DE REPONSE LECTEUR\n ";
const std::string NO_ANSWER_V2 = "\r REPONSE > PAS DE REPONSE LECTEUR \n";

const SpeedCase SPEED_CASES[] = {
    {"v1 after v2: reader and port go to 9600", "v2 v1 bootinfo", 2, 1, 2,
     SPEED_19200_OK + SPEED_9600_OK, 2, 1, 19200, 9600, 9600, 0, 0},
    {"v1 unanswered keeps the speed and does not ask again", "v1", -1, -1, -1, NO_ANSWER_V1, 1, 1,
     9600, 9600, 9600, 0, 1},
    {"v1 answered with another status is refused", "v1", 2, 2, 2, SPEED_REFUSED, 1, 1, 9600, 9600,
     9600, 0, 1},
    {"v2: reader and port go to 19200", "v2 bootinfo", 2, 2, 2, SPEED_19200_OK, 1, 2, 9600, 19200,
     19200, 0, 0},
    {"v2 answered with another status is refused", "v2", 1, 1, 1, SPEED_REFUSED, 1, 2, 9600, 9600,
     9600, 0, 1},
    {"v2: the second request, at 19200, is answered whatever its status", "v2", -1, 7, -1,
     SPEED_19200_OK, 2, 2, 19200, 19200, 19200, 0, 0},
    {"v2 without a reader tries twice, then goes back to 9600", "v2", -1, -1, -1, NO_ANSWER_V2, 2,
     2, 19200, 9600, 19200, 5000, 1},
};

Bytes answer_or_silence(int status) {
    return status < 0 ? Bytes{} : status_answer(0xF3, static_cast<uint8_t>(status));
}

class SpeedCommand : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(SpeedCommand, AnswersAndSpeeds) {
    const SpeedCase& c = GetParam();
    FakeReader peer;
    reader(peer);
    for (int status : {c.first, c.second}) peer.answer_next(0xF3, answer_or_silence(status));
    if (c.then >= 0) peer.answer_always(0xF3, status_answer(0xF3, static_cast<uint8_t>(c.then)));
    const std::vector<std::string> commands = tokenise(c.commands);
    const ScriptRun run = run_script(peer, commands);
    EXPECT_EQ(commands.back() == "bootinfo" ? run.text.substr(0, c.text.size()) : run.text, c.text);
    const auto speed = requests_of(peer, 0xF3);
    ASSERT_EQ(speed.size(), c.speed_requests);
    EXPECT_EQ(speed.back().data(), Bytes{c.last_speed_data});
    EXPECT_EQ(speed.back().baud, c.last_speed_baud);
    if (speed.size() > 1) {
        EXPECT_EQ(speed[0].baud, 9600u);
        EXPECT_GE(speed[1].at_ms - speed[0].at_ms, c.min_gap_ms);
    }
    EXPECT_EQ(peer.port_baud(), c.port_baud);
    EXPECT_EQ(peer.requests().back().baud, c.last_baud);
    EXPECT_EQ(run.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Rows, SpeedCommand, ::testing::ValuesIn(SPEED_CASES));

// A session whose port refuses every speed change from the first speed
// request on.
ScriptRun run_with_stubborn_port(FakeReader& peer, const std::vector<std::string>& commands) {
    SessionHarness h(peer, "O");
    peer.on_request = [&h](const Request& request) {
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

TEST(StubbornPort, RefusingTheSpeedEndsTheRun) {
    const std::pair<std::string, Bytes> rows[] = {{"v1", SPEED_9600_ANSWER},
                                                  {"v2", SPEED_19200_ANSWER}};
    for (const auto& [command, answer] : rows) {
        SCOPED_TRACE(command);
        FakeReader peer;
        reader(peer);
        peer.answer_always(0xF3, answer);
        const ScriptRun run = run_with_stubborn_port(peer, {command, "the_end"});
        EXPECT_EQ(run.text, command == "v1" ? SPEED_9600_OK : SPEED_19200_OK);  // no the_end
        EXPECT_EQ(run.status, 1);
    }
}

// ---- reset ------------------------------------------------------------------

TEST(Reset, SendsTheResetAndWaitsForNothing) {
    FakeReader peer;
    reader(peer);
    const ScriptRun run = run_script(peer, {"reset"});
    EXPECT_EQ(run.text, "\n           RESET LECTEUR EN COURS... \n");
    ASSERT_EQ(peer.request_codes(), (std::vector<uint8_t>{0xF7, 0xFC}));
    EXPECT_EQ(peer.requests()[1].data(), Bytes{0});
    EXPECT_EQ(run.status, 0);
}

// ---- no ---------------------------------------------------------------------

TEST(No, HoldsTheReaderOnceItHasStarted) {
    FakeReader peer;
    peer.answer_always(0xFF, status_answer(0xFF, 9));  // any status will do
    peer.schedule(START_MS + 12000, status_answer(0xF2, 0));
    const ScriptRun run = run_script(peer, {"no"});
    EXPECT_EQ(run.text,
              SWITCH_ON + HOLDING + "\r REPONSE > LECTEUR EN ATTENTE                         \n");
    ASSERT_EQ(peer.request_codes(), (std::vector<uint8_t>{0xF9, 0xFD, 0xFF}));
    EXPECT_GE(peer.requests()[0].at_ms, START_MS + 12000);
    EXPECT_EQ(peer.requests()[2].data(), Bytes{100});
    EXPECT_GE(peer.requests()[2].at_ms - peer.requests()[1].at_ms, 1000);
    EXPECT_EQ(run.status, 0);
}

TEST(No, HoldNotAnswered) {
    FakeReader peer;
    peer.schedule(START_MS + 12000, status_answer(0xF2, 0));
    const ScriptRun run = run_script(peer, {"no"});
    EXPECT_EQ(run.text,
              SWITCH_ON + HOLDING + "\r REPONSE > LECTEUR INDISPONIBLE                       ");
    EXPECT_EQ(run.status, 1);
}

TEST(No, NoStartFrameWithinThirtySecondsSendsNothing) {
    FakeReader peer;
    peer.answer_always(0xFF, status_answer(0xFF, 0));
    peer.schedule(START_MS + 2000 + 31500, status_answer(0xF2, 0));  // too late
    const ScriptRun run = run_script(peer, {"no"});
    EXPECT_EQ(run.text, SWITCH_ON + "\n REPONSE > PAS DE REPONSE LECTEUR ");
    EXPECT_TRUE(peer.requests().empty());
    EXPECT_EQ(run.status, 1);
}

TEST(No, WhatArrivedBeforeIsThrownAway) {
    FakeReader peer;
    peer.answer_always(0xFF, status_answer(0xFF, 0));
    // A start frame from before "no" (within its 50-byte purge) does not count.
    peer.schedule(START_MS + 1500, status_answer(0xF2, 0));
    const ScriptRun run = run_script(peer, {"no"});
    EXPECT_EQ(run.text, SWITCH_ON + "\n REPONSE > PAS DE REPONSE LECTEUR ");
    EXPECT_TRUE(peer.requests().empty());
}

}  // namespace
}  // namespace korva::testing
