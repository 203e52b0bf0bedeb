// The cable pulled at the moments that matter, for the commands of the
// fault matrix: each ends the session at once with the port error.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/reliability/fault_matrix_commands.h"
#include "tests/reliability/reliability_support.h"

namespace korva::reliability {
namespace {

using sim::FaultKnobs;
using sim::VirtualReader;

// --- the cable pulled at a moment -------------------------------------------

// The adapter pulled after_ms after marker is first printed: the command
// ends at once, then the session, with the port error, one line on the error
// output and the closing prompt, within 2 s; a trace table keeps no part row.
struct Pull {
    const char* command;
    const char* marker;
    int64_t after_ms;
};

const Pull PULLS[] = {
    {"no", "ALLUMEZ VOTRE LECTEUR", 1000},
    {"charge", "TELECHARGEMENT EN COURS", 1500},
    {"charge 5", "DETECTION : VITESSE", 5},
    {"charge 5", "CONFIRMEZ SUR LE LECTEUR", 300},
    {"charge 5", "VEUILLEZ ETEINDRE puis REDEMARRER", 500},
    {"sup_tla", "VERIFICATION LECTEUR", 500},
    {"trace", "FICHIER TRACE OK", 200},
};

void PrintTo(const Pull& p, std::ostream* os) {
    *os << p.command << " +" << p.after_ms << " ms after " << p.marker;
}

class CablePulled : public ::testing::TestWithParam<Pull> {};

TEST_P(CablePulled, EndsTheSessionAtOnceWithThePortError) {
    const Pull& p = GetParam();
    const Command& c = command(p.command);
    int64_t pulled_ms = -1;
    for (int run = 0; run < 2; ++run) {  // the first run finds the moment
        korva::testing::TempWorkDir dir;
        VirtualReader reader(profile_of(c.profile), FaultKnobs{}, true);
        GuardedLine line(reader);
        korva::testing::SessionHarness h(line, c.keys);
        line.watch(h.clock, SESSION_LIMIT_MS, SESSION_LIMIT_CALLS);
        line.unplug_at(pulled_ms);
        int status = -1;
        try {
            status = h.run(c.args);
        } catch (const WatchdogTripped& w) {
            FAIL() << w.why;
        }
        pulled_ms = h.console.printed_at(p.marker) + p.after_ms;
        if (run == 0) continue;
        const std::string& out = h.console.output();
        const std::size_t at = out.find(PORT_ERROR);
        ASSERT_NE(at, std::string::npos) << out;
        EXPECT_EQ(out.compare(at + std::strlen(PORT_ERROR), std::strlen(QUIT), QUIT), 0) << out;
        EXPECT_EQ(status, 1);
        EXPECT_LE(h.console.printed_at(PORT_ERROR) - pulled_ms, 2000);
        EXPECT_EQ(h.console.errors(), "korva-maint: COM3 (simulated line): the cable was pulled\n");
        EXPECT_EQ(out.find("FICHIER TELECHARGE INCORRECT"), std::string::npos);
        const std::string table = file_or_absent(dir.parent() / "trace.xls");
        EXPECT_TRUE(table == "<absent>" || table.find('\n') == table.size() - 1) << table;
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, CablePulled, ::testing::ValuesIn(PULLS));

}  // namespace
}  // namespace korva::reliability
