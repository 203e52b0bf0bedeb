#include <gtest/gtest.h>

#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

const std::string BANNER =
    "\n          *****************************************************"
    "\n          **********    UTILITAIRE DE MAINTENANCE    **********"
    "\n          **********   V1.09  MAJ  ORBEX 1.12      **********"
    "\n          **********          LECTEUR KORVA          **********"
    "\n          *****************************************************\n\n";

TEST(Startup, UnknownPortDigitReadsNoCommand) {
    ScriptedPeer peer;
    SessionHarness h(peer);
    const int status = h.run({"x"});
    EXPECT_EQ(h.console.output(),
              BANNER + "\nTRES DROLE !!!  PORT INCONNU !\n" +
                  "\r           FICHIER BATCH PRESENT : MODE AUTO                          " +
                  "\r" + std::string(75, ' '));
    // The unchanged name is still opened, configured and closed.
    ASSERT_EQ(h.opened_names.size(), 1u);
    EXPECT_EQ(h.opened_names[0], "COM2");
    EXPECT_NE(status, 0);
}

}  // namespace
}  // namespace korva::testing
