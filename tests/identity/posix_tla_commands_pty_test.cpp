// sup_tla in real time over a pty (POSIX only) against korva-reader-sim: the raw reads
// with their long time-outs on a real tty, the return to the framed
// settings and the maintenance hold.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/reader_sim_process.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

TEST(TlaCommandsOverPty, SupTlaAgainstTheReaderSimulator) {
    if (!std::filesystem::exists(build_dir() / "korva-reader-sim") ||
        !std::filesystem::exists(build_dir() / "korva-maint")) {
        GTEST_SKIP() << "korva-maint or korva-reader-sim not built in " << build_dir();
    }
    TempWorkDir dir;
    const std::string link = (dir.path() / "com3").string();
    ReaderSimProcess sim;
    ASSERT_TRUE(sim.start({"--link", link, "--profile",
                           "default,on-hold,pad=0,tla-start-ms=1200,user-ms=100,restart-ms=800"}));
    const auto start = std::chrono::steady_clock::now();
    // The reader's own pace makes this run long: its TLA starts 3 s after a
    // reset, its user answers in 1.5 s, and every raw read ends only after
    // a second of silence.
    const std::string wire_log = (dir.path() / "wire.log").string();
    const std::string out = run_utility(
        "KORVA_WIRE_LOG='" + wire_log + "' KORVA_COM3='" + link + "'", "3 sup_tla q", "Ox", 30);
    const std::string wire = read_file(wire_log);
    if (wire.find("> frame F7/00") == std::string::npos) {
        GTEST_SKIP() << "the boot probe is not built yet: sup_tla needs the reader's block count";
    }
    const std::string expected =
        "\n           VERIFICATION LECTEUR EN COURS...                              "
        "\r DETECTION : VITESSE : 9600 Bauds  PAD 0 : => "
        "\r           CONNEXION LECTEUR OK"
        "\r           VOTRE LECTEUR VOUS POSE UNE QUESTION...."
        "\r REPONSE > VEUILLEZ ETEINDRE puis REDEMARRER VOTRE LECTEUR     "
        "\r           ATTENTE REPONSE LECTEUR ...                               "
        "\r           LECTEUR EN ATTENTE \n";
    EXPECT_NE(out.find(expected), std::string::npos) << out << "\n" << wire;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
}

}  // namespace
}  // namespace korva::testing
