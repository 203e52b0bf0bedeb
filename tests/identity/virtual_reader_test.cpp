// bootinfo, info and nserie against the virtual reader, brought into its
// maintenance waiting mode by "no" first.

#include <gtest/gtest.h>

#include "tests/support/frame_peer.h"

namespace korva::testing {
namespace {

const std::string HOLD = MAINTENANCE_HOLD_TEXT;

std::string software(const std::string& label, const std::string& publisher,
                     const std::string& name) {
    return "\n           " + label + "EDITEUR  : " + publisher +
           "\n                      LOGICIEL : " + name + "\n";
}

std::string identity_lines(const std::string& serial, const std::string& boot) {
    return "\n           BLOC[1] :  NOM CONSTRUCTEUR      : KORVA SYSTEMES"
           "\n                      NUMERO CONSTRUCTEUR   : 0042"
           "\n                      TYPE LECTEUR          : KORVA-2 PINPAD"
           "\n                      CODE PRODUIT          : KV2-S2"
           "\n                      NUMERO DE SERIE       : " +
           serial +
           "\n                      REFERENCE CPLD N 1    : CPLD A 1.3"
           "\n                      REFERENCE CPLD N 2    : CPLD B 1.1"
           "\n                                            : REV 02"
           "\n                      REFERENCE CONTROLEUR  : CTRL 5.4"
           "\n                      SPE GIE DE REFERENCE  : SPE 3.1"
           "\n                      VERSION HARDWARE CAM  : CAM HW 2.0"
           "\n                      VERSION LIBRAIRIE CAM : CAMLIB 4.2"
           "\n                      VERSION LOGICIEL BOOT : " +
           boot + "\n";
}

std::string installed_software() {
    return software("BLOC[2]  : ", "KORVA SYSTEMES", "SUPERVISEUR") +
           software("BLOC[3]  : ", "KORVA SYSTEMES", "PSS 2.10") +
           software("BLOC[4]  : ", "KORVA SYSTEMES", "CAM 1.05") +
           software("BLOC[5]  : ", "ORBEX", "TLA ORBEX") +
           software("BLOC[6]  : ", "ORBEX", "ORBEX DONNEES") +
           software("BLOC[7]  : ", "GIE CB", "PAIEMENT CB");
}

TEST(VirtualReaderIdentity, FifteenBlockReader) {
    sim::VirtualReader reader = virtual_reader("default");
    const ScriptRun run = run_script(reader, {"no", "bootinfo", "info", "nserie"});
    EXPECT_EQ(run.text, HOLD +
                            "\n REPONSE > EDITEUR  : KORVA SYSTEMES"
                            "\n           LECTEUR  : KORVA-2"
                            "\n           LOGICIEL : BOOT KORVA"
                            "\n           VERSION  : 4.01"
                            "\n           DATE     : 12/03/2006\n" +
                            software("BLOC[0]  : ", "KORVA SYSTEMES", " KRV 3.20") +
                            identity_lines("KV2-0712-04518", "4.01") + installed_software() +
                            "\n"
                            "\n REPONSE > NUMERO DE SERIE : KV2-0712-\n");
    EXPECT_EQ(run.status, 0);
}

TEST(VirtualReaderIdentity, ThirtyOneBlockReaderWithBoot405) {
    sim::VirtualReader reader = virtual_reader("boot405");
    const ScriptRun run = run_script(reader, {"no", "info", "efface", "31", "efface", "32"});
    EXPECT_EQ(run.text, HOLD + software("BLOC[0]  : ", "KORVA SYSTEMES", " KRV 3.20") +
                            identity_lines("KV2-0712-04518", "4.05") + installed_software() +
                            "\n"
                            "\n REPONSE > BLOC [31] LIBRE \n"
                            "\n REPONSE > NUMERO DE BLOC INCORRECT\n");
    // The listing went on to block 31: the reader asked for nothing more.
    EXPECT_EQ(reader.frames_received().back().code, 0xFF);
}

TEST(VirtualReaderIdentity, EmptyReaderIsVide) {
    sim::VirtualReader reader = virtual_reader("empty");
    const ScriptRun run = run_script(reader, {"no", "info"});
    // The identity block's last item has the boot version's listed tag.
    EXPECT_EQ(run.text, HOLD + identity_lines("KV2-0712-04518", "4.01") + "\n");
}

TEST(VirtualReaderIdentity, ErasedBlockLeavesTheListing) {
    sim::VirtualReader reader = virtual_reader("default");
    const ScriptRun run = run_script(reader, {"no", "efface", "7", "efface", "1", "nserie"});
    EXPECT_EQ(run.text, HOLD +
                            "\n REPONSE > BLOC [7] LIBRE \n"
                            "\r           ENTRER VOTRE CODE D'ACCES : ACCES REFUSE\n"
                            "\n REPONSE > NUMERO DE SERIE : KV2-0712-\n");
    EXPECT_EQ(reader.software(7), nullptr);
    EXPECT_NE(reader.software(6), nullptr);
}

}  // namespace
}  // namespace korva::testing
