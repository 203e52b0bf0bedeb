// Whole sessions of the utility against the virtual reader: in-process on
// the virtual clock, and in real time over a pty with korva-reader-sim.
// They need the utility's reader commands; until those are built the
// utility prints no reader dialogue and the tests say so and skip.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/sim/reader_line.h"
#include "tests/support/session_harness.h"

namespace korva::sim::testing {
namespace {

bool reader_dialogue_built(const std::string& output) {
    return output.find("REPONSE >") != std::string::npos;
}

TEST(SessionFlows, DefaultScriptInstallsSupervisorAndOrbexAndEndsTheRun) {
    ReaderLine line("default");
    korva::testing::TempWorkDir dir;  // the client files land here
    korva::testing::SessionHarness harness(line.reader, "Oxx");
    const int status = harness.run({"3", "no", "charge", "superviseur", "2", "charge", "ORBEX_112",
                                    "5", "reset", "the_end", "q"});
    const std::string& out = harness.console.output();
    if (!reader_dialogue_built(out))
        GTEST_SKIP() << "the utility's reader commands are not built yet";
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("LECTEUR EN ATTENTE"), std::string::npos);
    EXPECT_NE(out.find("LOGICIEL INSTALLE : BLOC[2]"), std::string::npos);
    EXPECT_NE(out.find("ORBEX DETECTE => MISE A JOUR ORBEX"), std::string::npos);
    EXPECT_NE(out.find("LOGICIEL INSTALLE : BLOC[5]"), std::string::npos);
    EXPECT_NE(out.find("VERSION  : 01.12"), std::string::npos);
    EXPECT_NE(out.find("OPERATIONS TERMINEES"), std::string::npos);
    EXPECT_EQ(out.find("ECHEC DU CHARGEMENT"), std::string::npos);
    line.reader.catch_up(harness.clock.calendar_ms());
    ASSERT_NE(line.reader.software(5), nullptr);
    EXPECT_EQ(line.reader.software(5)->descriptor, "ORBEX$TLA ORBEX$");
    ASSERT_NE(line.reader.software(6), nullptr);
    EXPECT_EQ(line.reader.software(6)->descriptor, "ORBEX$ORBEX DONNEES$");
    EXPECT_GE(line.reader.restarts(), 3u);  // TLA check, removal, final reset
}

TEST(SessionFlows, InfoAfterChargeShowsTheNewSoftware) {
    ReaderLine line("default,on-hold");
    korva::testing::SessionHarness harness(line.reader, "Ox");
    harness.run({"3", "efface", "2", "charge", "superviseur", "2", "info", "q"});
    const std::string& out = harness.console.output();
    if (!reader_dialogue_built(out))
        GTEST_SKIP() << "the utility's reader commands are not built yet";
    const auto after = out.rfind("BLOC[2]  : EDITEUR  : KORVA SYSTEMES");
    ASSERT_NE(after, std::string::npos);
    EXPECT_NE(out.find("LOGICIEL : SUPERVISEUR", after), std::string::npos);
}

}  // namespace
}  // namespace korva::sim::testing
