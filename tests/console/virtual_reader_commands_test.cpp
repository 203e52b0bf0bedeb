// Speed changes, reset, the maintenance hold and the trace against the
// virtual reader.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/frame_peer.h"

namespace korva::testing {
namespace {

const std::string HOLD = MAINTENANCE_HOLD_TEXT;
const std::string BOOT_INFO_401 =
    "\n REPONSE > EDITEUR  : KORVA SYSTEMES"
    "\n           LECTEUR  : KORVA-2"
    "\n           LOGICIEL : BOOT KORVA"
    "\n           VERSION  : 4.01"
    "\n           DATE     : 12/03/2006\n";

TEST(VirtualReaderCommands, SpeedChangesBothWays) {
    sim::VirtualReader reader = virtual_reader("default");
    const ScriptRun run = run_script(reader, {"no", "v2", "bootinfo", "v1", "bootinfo"});
    EXPECT_EQ(run.text,
              HOLD + "\r REPONSE > VITESSE PORT SERIE 19200 BAUDS OK                     \n" +
                  BOOT_INFO_401 +
                  "\r REPONSE > VITESSE PORT SERIE 9600 BAUDS OK                     \n" +
                  BOOT_INFO_401);
    EXPECT_EQ(reader.line_baud(), 9600u);
    EXPECT_EQ(run.status, 0);
}

TEST(VirtualReaderCommands, ResetRestartsTheReader) {
    sim::VirtualReader reader = virtual_reader("default");
    const ScriptRun run = run_script(reader, {"no", "reset"});
    EXPECT_EQ(run.text, HOLD + "\n           RESET LECTEUR EN COURS... \n");
    std::vector<uint8_t> heard;
    reader.deliver(1173085620000LL + 60000, heard);  // let the reader live on a while
    EXPECT_EQ(reader.restarts(), 1u);
}

TEST(VirtualReaderCommands, NoHoldsTheReader) {
    sim::VirtualReader reader = virtual_reader("default");
    const ScriptRun run = run_script(reader, {"no"});
    EXPECT_EQ(run.text, HOLD);
    EXPECT_TRUE(reader.on_hold());
    EXPECT_EQ(reader.mode(), sim::ReaderMode::Boot);
}

TEST(VirtualReaderCommands, ReaderNeverSwitchedOn) {
    sim::VirtualReader reader = virtual_reader("default,power-on-ms=600000");
    const ScriptRun run = run_script(reader, {"no", "v2"});
    EXPECT_EQ(run.text,
              "\r                   ALLUMEZ VOTRE LECTEUR KORVA...                      "
              "\n REPONSE > PAS DE REPONSE LECTEUR "
              "\n REPONSE > Echec Commande "
              "\r REPONSE > PAS DE REPONSE LECTEUR \n");
    EXPECT_EQ(run.status, 1);
}

TEST(VirtualReaderCommands, TraceRowOfTheDefaultReader) {
    TempWorkDir dir;
    sim::VirtualReader reader = virtual_reader("default");
    const ScriptRun run = run_script(reader, {"no", "trace"});
    EXPECT_EQ(run.text, HOLD +
                            "\n           CREATION FICHIER TRACE\n           FICHIER TRACE OK"
                            "\n           MISE A JOUR FICHIER TRACE OK");
    const std::string file = read_text_file(dir.parent() / "trace.xls");
    EXPECT_EQ(
        file.substr(file.find('\n') + 1),
        "'KV2-0712-04518\t5/03/2007 9H7m\t\t\tKORVA-2\tBOOT KORVA 4.01 12/03/2006\t"
        " KRV 3.20\tSUPERVISEUR\tPSS 2.10\tCAM 1.05\tTLA ORBEX\tORBEX DONNEES\tPAIEMENT CB\t" +
            std::string(8, '\t') + "\n");
}

TEST(VirtualReaderCommands, TraceRowOfA31BlockReader) {
    TempWorkDir dir;
    sim::VirtualReader reader = virtual_reader("boot405");
    run_script(reader, {"no", "trace"});
    const std::string file = read_text_file(dir.parent() / "trace.xls");
    const std::string row = file.substr(file.find('\n') + 1);
    // Serial, date, two empty cells, model, firmware, then 31 block cells,
    // each ended by a tab.
    EXPECT_EQ(std::count(row.begin(), row.end(), '\t'), 6 + 31);
    EXPECT_NE(row.find("\tBOOT KORVA 4.05 12/03/2006\t"), std::string::npos);
    EXPECT_EQ(row.back(), '\n');
}

}  // namespace
}  // namespace korva::testing
