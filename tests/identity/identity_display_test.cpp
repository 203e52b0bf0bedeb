#include <gtest/gtest.h>

#include "tests/support/frame_peer.h"

namespace korva::testing {
namespace {

const std::string FAILED_REQUEST = "\n REPONSE > Echec Commande ";
const std::string FAILED_LIST = "\n REPONSE > ECHEC COMMANDE ";

std::string software_lines(const std::string& block_label, const std::string& publisher,
                           const std::string& name) {
    return "\n           " + block_label + "EDITEUR  : " + publisher +
           "\n                      LOGICIEL : " + name + "\n";
}

// ---- bootinfo ---------------------------------------------------------------

TEST(Bootinfo, PrintsTheFiveFieldsWithTheirLabels) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    const ScriptRun run = run_script(peer, {"bootinfo"});
    EXPECT_EQ(run.text,
              "\n REPONSE > EDITEUR  : EDITIONS NORD"
              "\n           LECTEUR  : KORVA L2"
              "\n           LOGICIEL : BOOT KORVA"
              "\n           VERSION  : 4.01"
              "\n           DATE     : 12/01/2006"
              "\n");
    EXPECT_EQ(run.status, 0);
    // The probe and the command each asked once.
    EXPECT_EQ(peer.request_codes(), (std::vector<uint8_t>{0xF7, 0xF7}));
}

TEST(Bootinfo, RunsOfZeroBytesAreOneSeparatorAndFieldsAreNotFiltered) {
    FakeReader peer;
    const char raw[] =
        "\0\0\0PUB~\0\0MOD\x01\0BOOT\0\0\0"
        "4.05\0DATE";
    const Bytes payload(raw, raw + sizeof raw - 1);
    peer.answer_always(0xF7, boot_info_answer(payload));
    const ScriptRun run = run_script(peer, {"bootinfo"});
    EXPECT_EQ(run.text,
              "\n REPONSE > EDITEUR  : PUB~"
              "\n           LECTEUR  : MOD\x01"
              "\n           LOGICIEL : BOOT"
              "\n           VERSION  : 4.05"
              "\n           DATE     : DATE"
              "\n");
}

TEST(Bootinfo, FewerThanFiveFieldsLeaveTheLaterOnesEmpty) {
    FakeReader peer;
    peer.answer_always(0xF7, boot_info_answer(bytes_of(std::string("\0PUB\0MODEL\0", 11))));
    const ScriptRun run = run_script(peer, {"bootinfo"});
    EXPECT_EQ(run.text,
              "\n REPONSE > EDITEUR  : PUB"
              "\n           LECTEUR  : MODEL"
              "\n           LOGICIEL : "
              "\n           VERSION  : "
              "\n           DATE     : "
              "\n");
}

TEST(Bootinfo, AFieldWithoutEndStopsAtTheSeventiethByte) {
    FakeReader peer;
    peer.answer_always(0xF7, boot_info_answer(Bytes(70, 'Z')));
    const ScriptRun run = run_script(peer, {"bootinfo"});
    EXPECT_EQ(run.text, "\n REPONSE > EDITEUR  : " + std::string(70, 'Z') +
                            "\n           LECTEUR  : "
                            "\n           LOGICIEL : "
                            "\n           VERSION  : "
                            "\n           DATE     : "
                            "\n");
}

TEST(Bootinfo, NoAnswer) {
    FakeReader peer;
    peer.answer_next(0xF7, boot_info_answer(boot_payload(reader_with_15_blocks().boot)));
    const ScriptRun run = run_script(peer, {"bootinfo"});
    EXPECT_EQ(run.text, FAILED_REQUEST + "\n");
    EXPECT_EQ(run.status, 1);
}

// ---- info -------------------------------------------------------------------

TEST(Info, FifteenBlockReader) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    const ScriptRun run = run_script(peer, {"info"});
    EXPECT_EQ(run.text, software_lines("BLOC[0]  : ", "EDITIONS NORD", "BASE 3.20") +
                            "\n           BLOC[1] :  NOM CONSTRUCTEUR      : KORVA"
                            "\n                      NUMERO DE SERIE       : 123456789"
                            "\n                      VERSION LOGICIEL BOOT : 4.01\n" +
                            software_lines("BLOC[2]  : ", "EDITIONS NORD", "SUPERVISEUR 2.1") +
                            software_lines("BLOC[5]  : ", "ORBEX", "TLA 1.12") + "\n");
    EXPECT_EQ(run.status, 0);
}

TEST(Info, ThirtyOneBlockReaderAlignsTwoDigitBlocks) {
    FakeReader peer;
    play(peer, reader_with_31_blocks());
    const ScriptRun run = run_script(peer, {"info"});
    EXPECT_EQ(run.text, software_lines("BLOC[0]  : ", "EDITIONS NORD", "BASE 4.00") +
                            "\n                      NUMERO DE SERIE       : 987654321" +
                            software_lines("BLOC[12] : ", "PAIEMENT SA", "CB 2.0") +
                            software_lines("BLOC[31] : ", "EDITIONS NORD", "DERNIER") + "\n");
}

TEST(Info, EveryIdentityTagHasItsLine) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    std::vector<Bytes> items;
    for (uint8_t tag : {0, 1, 2, 3, 5, 27, 28, 29, 30, 34, 35, 36, 80}) {
        items.push_back(identity_item(tag, "v" + std::to_string(tag)));
    }
    items.push_back(empty_item(15));
    peer.answer_always(0xFB, block_list_answer(items));
    const ScriptRun run = run_script(peer, {"info"});
    EXPECT_EQ(run.text,
              "\n           BLOC[1] :  NOM CONSTRUCTEUR      : v0"
              "\n                      NUMERO CONSTRUCTEUR   : v1"
              "\n                      TYPE LECTEUR          : v2"
              "\n                      CODE PRODUIT          : v3"
              "\n                      NUMERO DE SERIE       : v5"
              "\n                      REFERENCE CPLD N 1    : v27"
              "\n                      REFERENCE CPLD N 2    : v28"
              "\n                                            : v29"
              "\n                      REFERENCE CONTROLEUR  : v30"
              "\n                      SPE GIE DE REFERENCE  : v34"
              "\n                      VERSION HARDWARE CAM  : v35"
              "\n                      VERSION LIBRAIRIE CAM : v36"
              "\n                      VERSION LOGICIEL BOOT : v80\n"
              "\n");
}

TEST(Info, AllEmptyIsVide) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    std::vector<Bytes> items{empty_item(0)};
    for (uint8_t block = 2; block <= 15; ++block) items.push_back(empty_item(block));
    peer.answer_always(0xFB, block_list_answer(items));
    EXPECT_EQ(run_script(peer, {"info"}).text, "\n           BLOC [0 -> 15] : VIDE\n");
}

TEST(Info, VideFollowsWhenTheLastShownItemHadAnUnlistedTag) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    const std::vector<Bytes> listed_last{empty_item(0), identity_item(4, "hidden"),
                                         identity_item(28, "CPLD"), empty_item(15)};
    peer.answer_next(0xFB, block_list_answer(listed_last));
    const std::vector<Bytes> unlisted_last{empty_item(0), identity_item(28, "CPLD"),
                                           identity_item(4, "hidden"), empty_item(15)};
    peer.answer_next(0xFB, block_list_answer(unlisted_last));
    const std::string cpld = "\n                      REFERENCE CPLD N 2    : CPLD";
    EXPECT_EQ(run_script(peer, {"info", "info"}).text,
              cpld + "\n" + cpld + "\n           BLOC [0 -> 15] : VIDE\n");
}

TEST(Info, TildeAndControlBytesDroppedInNamesButNotInPublishers) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.answer_always(0xFB, block_list_answer({software_item(0, "PUB~\x01",
                                                              "NA~M\x7f"
                                                              "E\x02"),
                                                identity_item(2, "T~Y\tPE"), empty_item(15)}));
    EXPECT_EQ(run_script(peer, {"info"}).text,
              software_lines("BLOC[0]  : ", "PUB~\x01", "NAME") +
                  "\n                      TYPE LECTEUR          : TYPE\n");
}

TEST(Info, TimeOutOnTheThirdItem) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.answer_always(0xFB, block_list_answer({software_item(0, "A", "B"), empty_item(2)}));
    const ScriptRun run = run_script(peer, {"info"});
    EXPECT_EQ(run.text, software_lines("BLOC[0]  : ", "A", "B") + FAILED_LIST + "\n");
    EXPECT_EQ(run.status, 1);
}

TEST(Info, NoItemAtAll) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.stop_answering(0xFB);
    EXPECT_EQ(run_script(peer, {"info"}).text, FAILED_LIST + "\n");
}

TEST(Info, ListingEndsAtTheHighestBlock) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.answer_next(0xFB,
                     block_list_answer({software_item(0, "A", "B"), empty_item(15),
                                        software_item(16, "C", "D"), software_item(17, "E", "F")}));
    const ScriptRun run = run_script(peer, {"info"});
    EXPECT_EQ(run.text, software_lines("BLOC[0]  : ", "A", "B") + "\n");
}

TEST(Info, ItemBeyondTheHighestBlockIsShownAndEndsTheListing) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.answer_next(0xFB,
                     block_list_answer({software_item(20, "C", "D"), software_item(2, "E", "F")}));
    EXPECT_EQ(run_script(peer, {"info"}).text, software_lines("BLOC[20] : ", "C", "D") + "\n");
}

TEST(Info, ItemsThatBreakTheLayoutStopAtTheItemEnd) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    Bytes long_value{2, 0, 5, 255};
    long_value.resize(252, 'V');
    Bytes no_dollar{4};
    no_dollar.resize(252, 'P');
    peer.answer_always(0xFB, block_list_answer({long_value, no_dollar, empty_item(15)}));
    EXPECT_EQ(run_script(peer, {"info"}).text,
              "\n                      NUMERO DE SERIE       : " + std::string(248, 'V') +
                  software_lines("BLOC[2]  : ", std::string(251, 'P'), "") + "\n");
}

}  // namespace
}  // namespace korva::testing
