// Real-time sessions of korva-maint against korva-reader-sim over a pty
// (POSIX only). Each needs the utility's command; until it is built the
// test says so and skips.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/reader_sim_process.h"
#include "tests/support/session_harness.h"

namespace korva::sim::testing {
namespace {

// --- over a pty, in real time ---------------------------------------------

using korva::testing::build_dir;
using korva::testing::ReaderSimProcess;

std::string run_utility(const std::string& env, const std::string& args, const std::string& keys) {
    return korva::testing::run_utility(env, args, keys, 9);
}

struct PtyRun {
    std::string output;
    std::string skip;  // why the run says nothing about the reader
};

// Runs korva-maint with args against korva-reader-sim with this profile;
// `built` is text that the command prints once it exists. The keyboard
// answers the power-off question and then ends, which ends the session
// without the two-second pause of a script command. Other keys may type
// commands after it.
PtyRun run_over_pty(const std::string& profile, const std::string& args, const std::string& built,
                    const std::string& keys = "O") {
    PtyRun run;
    if (!std::filesystem::exists(build_dir() / "korva-reader-sim") ||
        !std::filesystem::exists(build_dir() / "korva-maint")) {
        run.skip = "korva-maint or korva-reader-sim not built in " + build_dir().string();
        return run;
    }
    korva::testing::TempWorkDir dir;
    const std::string link = (dir.path() / "com3").string();
    ReaderSimProcess sim;
    if (!sim.start({"--link", link, "--profile", profile})) {
        run.skip = "korva-reader-sim did not start";
        return run;
    }
    run.output = run_utility("KORVA_COM3='" + link + "'", args, keys);
    if (run.output.find("ERREUR PORT SERIE") != std::string::npos)
        run.skip = "the utility cannot open the pty: POSIX serial device not built yet";
    else if (run.output.find(built) == std::string::npos)
        run.skip = "the utility's command is not built yet";
    return run;
}

// One command per run: the utility pauses two seconds between script commands.
TEST(PtyEndToEnd, BootinfoFromAReaderOnHold) {
    const auto start = std::chrono::steady_clock::now();
    const PtyRun run = run_over_pty("default,on-hold", "3 bootinfo", "REPONSE >");
    if (!run.skip.empty()) GTEST_SKIP() << run.skip;
    EXPECT_NE(run.output.find("\n REPONSE > EDITEUR  : KORVA SYSTEMES"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("\n           VERSION  : 4.01"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(PtyEndToEnd, InfoListsEveryBlockOfABoot405Reader) {
    const auto start = std::chrono::steady_clock::now();
    const PtyRun run = run_over_pty("boot405,on-hold", "3 info", "BLOC[");
    if (!run.skip.empty()) GTEST_SKIP() << run.skip;
    EXPECT_NE(run.output.find("NUMERO DE SERIE       : KV2-0712-04518"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("LOGICIEL :  KRV 3.20"), std::string::npos);
    EXPECT_NE(run.output.find("BLOC[5]  : EDITEUR  : ORBEX"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(PtyEndToEnd, NoWaitsForTheReaderToBeSwitchedOn) {
    const auto start = std::chrono::steady_clock::now();
    // Switched on late enough for the command to be waiting already (the
    // pause after the link's start-up lasts up to two seconds); its
    // start-up frame goes out half a second into a second of the calendar
    // clock, and reaches the utility through a USB adapter.
    const PtyRun run = run_over_pty(
        "default,power-on-ms=3000,startup-phase-ms=500,usb-latency-ms=16", "3 no", "ALLUMEZ");
    if (!run.skip.empty()) GTEST_SKIP() << run.skip;
    EXPECT_NE(run.output.find("\r REPONSE > LECTEUR EN ATTENTE"), std::string::npos) << run.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// An emulator's serial backend sets 115200 as it opens the pty, long before
// the utility runs: the reader stays off until the utility sets its speed.
TEST(PtyEndToEnd, AnotherProgramsSpeedDoesNotSwitchTheReaderOn) {
    if (!std::filesystem::exists(build_dir() / "korva-reader-sim") ||
        !std::filesystem::exists(build_dir() / "korva-maint"))
        GTEST_SKIP() << "korva-maint or korva-reader-sim not built";
    korva::testing::TempWorkDir dir;
    const std::string link = (dir.path() / "com3").string();
    ReaderSimProcess sim;
    // Switched on a second after the longest pause that comes before "no".
    ASSERT_TRUE(sim.start({"--link", link, "--profile", "default,power-on-ms=3000"}));
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfsetspeed(&t, B115200);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    // Long enough for a reader switched on by that setting to have sent its
    // start-up frame; the emulator takes whatever comes.
    usleep(3'500'000);
    std::array<char, 256> taken{};
    while (read(fd, taken.data(), taken.size()) > 0) {
    }
    close(fd);
    const std::string output = run_utility("KORVA_COM3='" + link + "'", "3 no", "O");
    EXPECT_NE(output.find("\r REPONSE > LECTEUR EN ATTENTE"), std::string::npos) << output;
}

// Typed commands follow each other at once: the request after the speed
// change reaches the reader right after the utility set the new speed.
TEST(PtyEndToEnd, RequestRightAfterASpeedChangeIsHeardAtTheNewSpeed) {
    const auto start = std::chrono::steady_clock::now();
    const PtyRun run =
        run_over_pty("default,on-hold", "3", "19200 BAUDS OK", "Ov2\\nbootinfo\\nq\\n");
    if (!run.skip.empty()) GTEST_SKIP() << run.skip;
    EXPECT_NE(run.output.find("\n REPONSE > EDITEUR  : KORVA SYSTEMES"), std::string::npos)
        << run.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace korva::sim::testing
