#include <gtest/gtest.h>

#include <filesystem>

#include "images/image_catalogue.h"
#include "maintenance/maintenance_commands.h"
#include "tests/maintenance/charge_test_helpers.h"
#include "tests/maintenance/test_reader.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

const std::string FILE_OK = "\r REPONSE > LECTURE FICHIER OK                              ";
const std::string ERASING = "\n           EFFACEMENT";
const std::string DOWNLOADING = "\n           TELECHARGEMENT EN COURS ... \n";
const std::string VALIDATING = "\n           VALIDATION EN COURS....";
const std::string LOAD_ERROR = "\n           ERREUR CHARGEMENT";
const std::string OLD_READER =
    "\r            VOTRE LECTEUR EST EN VERSION 1.40"
    "\n        MISE A JOUR NON AUTORISE SUR KORVA 1.40\n";

std::string installed(int block, const std::string& software = "SUPERVISEUR",
                      const std::string& version = "01.12") {
    return "\n           LOGICIEL INSTALLE : BLOC[" + std::to_string(block) + "]" +
           "\n                    EDITEUR  : KORVA" +
           "\n                    LOGICIEL : " + software +
           "\n                    VERSION  : " + version + "\n";
}

TEST(Charge, OnePartImageGoesInAndIsValidated) {
    Charging c;
    const std::string out = c.run({"superviseur", "2"});
    const Bytes& image = c.images[4];
    EXPECT_EQ(c.reader.blocks[4], slice(image, 0, 1000 - 128));
    ASSERT_EQ(c.reader.signatures.size(), 1u);
    EXPECT_EQ(c.reader.signatures[0].first, 4);
    EXPECT_EQ(c.reader.signatures[0].second, slice(image, 1000 - 128, 1000));
    EXPECT_EQ(out.rfind(FILE_OK + ERASING + DOWNLOADING, 0), 0u) << out;
    EXPECT_TRUE(ends_with(out, DONE + VALIDATING + installed(2) + "\n")) << out;
    EXPECT_EQ(c.rs.s.reader_kind, ReaderKind::UPDATABLE);
    EXPECT_FALSE(c.rs.s.command_failed);
    EXPECT_FALSE(std::filesystem::exists("superviseur"));
}

TEST(Charge, ParametersFromTheKeyboard) {
    Charging c("superviseur\n  2 and more\n");
    const std::string out = c.run({});
    EXPECT_EQ(
        out.rfind("\n           NOM DU FICHIER : \n           NUMERO DE BLOC : " + FILE_OK, 0), 0u)
        << out;
    EXPECT_EQ(c.reader.blocks[4].size(), 1000u - 128);
    EXPECT_EQ(std::string(c.rs.s.file_name_buffer.data()), "superviseur");
}

TEST(Charge, TwoPartImageSecondPartFirstThenFirstPartWhereTheReaderSays) {
    Charging c;
    c.reader.reported_block_code_override = 6;  // second part reported in block 3
    const std::string out = c.run({"x", "3"});
    const Bytes& image = c.images[6];
    EXPECT_EQ(c.reader.blocks[6], slice(image, TWO_PART_P, 3000 - 128));
    EXPECT_EQ(c.reader.blocks[8], slice(image, 0, TWO_PART_P - 128));
    ASSERT_EQ(c.reader.signatures.size(), 2u);
    EXPECT_EQ(c.reader.signatures[0], std::make_pair(uint8_t{6}, slice(image, 3000 - 128, 3000)));
    EXPECT_EQ(c.reader.signatures[1],
              std::make_pair(uint8_t{8}, slice(image, TWO_PART_P - 128, TWO_PART_P)));
    EXPECT_TRUE(ends_with(out, DONE + VALIDATING + installed(3) + "\n")) << out;
    EXPECT_FALSE(c.rs.s.command_failed);
}

TEST(Charge, BlockNumberBeyondTheReaderIsRefused) {
    for (const char* typed : {"100", "16", "20"}) {
        Charging c;
        EXPECT_EQ(c.run({"x", typed}), "\n REPONSE > NUMERO DE BLOC INCORRECT \n") << typed;
        EXPECT_TRUE(c.reader.requests().empty());
        EXPECT_TRUE(c.rs.s.command_failed);
    }
}

TEST(Charge, BlockWithoutImageEndsAtOnce) {
    // Typed blocks without a catalogue image, and one whose image the run's
    // set lacks (a folder of --images without its file).
    const std::pair<const char*, int> rows[] = {
        {"1", -1}, {"4", -1}, {"7", -1}, {"15", -1}, {"6", 12}};
    for (const auto& [typed, left_out] : rows) {
        Charging c;
        if (left_out >= 0) {
            c.images.erase(static_cast<uint8_t>(left_out));
            c.hold_images();
        }
        EXPECT_EQ(c.run({"x", typed}), "\r        ERREUR FICHIER PARAMETRES        ") << typed;
        EXPECT_TRUE(c.rs.s.command_failed);
    }
}

TEST(Charge, BaseSoftwareKindDecidesWhetherUpdatesAreAllowed) {
    {
        Charging c;
        c.reader.block_list[0] = item(0, "EDITOR$xKER 1.40$");
        EXPECT_EQ(c.run({"x", "2"}), OLD_READER);
        EXPECT_EQ(c.rs.s.reader_kind, ReaderKind::OLD);
        EXPECT_EQ(c.run({"x", "2"}), OLD_READER);
        EXPECT_EQ(c.reader.count(0xFB), 1u);  // known for the rest of the run
        EXPECT_TRUE(c.reader.blocks.empty());
    }
    {
        Charging c;
        c.reader.block_list[0] = item(0, "EDITOR$KRV 3.20$");   // one place off
        c.reader.block_list[2] = item(4, "EDITOR$xKRV 3.20$");  // another block
        EXPECT_EQ(c.run({"x", "2"}), OLD_READER);
        EXPECT_EQ(c.rs.s.reader_kind, ReaderKind::UNKNOWN);
        c.run({"x", "2"});
        EXPECT_EQ(c.reader.count(0xFB), 2u);  // looked for again
    }
    {
        // A '$' at the very end of the item: nothing is read beyond it.
        Charging c;
        Bytes edge(252, 'A');
        edge[0] = 0;
        edge[250] = '$';
        edge[251] = 'x';
        c.reader.block_list[0] = edge;
        EXPECT_EQ(c.run({"x", "2"}), OLD_READER);
    }
}

TEST(Charge, UnansweredBlockListRefusesTheUpdate) {
    Charging c;
    c.reader.drop_answer = [](const Request& f) { return f.code == 0xFB; };
    EXPECT_EQ(c.run({"x", "2"}), "\n REPONSE > ECHEC COMMANDE " + OLD_READER);
    EXPECT_EQ(c.rs.s.reader_kind, ReaderKind::UNKNOWN);
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, TlaImageOnlyWhileTheFullTlaIsThere) {
    Charging c;
    c.rs.s.tla_state = TlaState::REDUCED;
    EXPECT_EQ(c.run({"x", "5"}), "\r        FIN DE LA MISE A JOUR        ");
    EXPECT_TRUE(c.reader.blocks.empty());
}

TEST(Charge, StoredLengthZeroEndsSilently) {
    Charging c;
    c.rs.s.held_images[1].stored = Bytes(6, 0);
    EXPECT_EQ(c.run({"x", "2"}), "");
    EXPECT_TRUE(c.reader.blocks.empty());
}

TEST(Charge, RefusedImageIsNotSentAndShowsTheBanner) {
    Charging c;
    const std::string out = c.run({"x", "6"});
    EXPECT_EQ(out, FILE_OK + "\n           ERREUR PARAMETRAGE" + LOAD_ERROR + BANNER + "\n");
    EXPECT_TRUE(c.reader.blocks.empty());
    EXPECT_TRUE(c.rs.console.input_consumed());  // the key was read
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, FailedDownloadShowsTheBanner) {
    Charging c;
    c.reader.erase_answer_code = 0x22;
    const std::string out = c.run({"x", "2"});
    EXPECT_EQ(out,
              FILE_OK + ERASING + "\n           ECHEC EFFACEMENT " + LOAD_ERROR + BANNER + "\n");
    EXPECT_TRUE(c.reader.signatures.empty());
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, ChecksumMismatchStillValidatesThenShowsTheBanner) {
    Charging c;
    c.reader.sum_adjust = 1;
    const std::string out = c.run({"x", "2"});
    EXPECT_EQ(out.find("VERIFICATION CHECKSUM"), std::string::npos);
    EXPECT_TRUE(ends_with(out, DONE + VALIDATING + installed(2) + BANNER + "\n")) << out;
    EXPECT_EQ(c.reader.signatures.size(), 1u);
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, RefusedSignatureShowsTheBanner) {
    Charging c;
    c.reader.signature_status = 0x66;
    const std::string out = c.run({"x", "3"});
    EXPECT_TRUE(ends_with(
        out, DONE + VALIDATING + "\n           ERREUR SIGNATURE LOGICIELLE" + BANNER + "\n"))
        << out;
    EXPECT_EQ(c.reader.signatures.size(), 1u);  // the first part is not sent
    EXPECT_EQ(c.reader.count(0xFF), 1u);
}

TEST(Charge, UnansweredSignatureOfAOnePartImage) {
    Charging c;
    c.reader.drop_answer = [](const Request& f) { return f.code == 0xF4; };
    const std::string out = c.run({"x", "2"});
    EXPECT_TRUE(ends_with(out, DONE + VALIDATING + LOAD_ERROR + "\n")) << out;
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, UnansweredSignatureAfterTheSecondPartStopsBeforeTheFirstPart) {
    Charging c;
    c.reader.drop_answer = [](const Request& f) { return f.code == 0xF4; };
    const std::string out = c.run({"x", "3"});
    EXPECT_TRUE(ends_with(out, DONE + VALIDATING + LOAD_ERROR + BANNER + "\n")) << out;
    EXPECT_EQ(c.reader.count(0xFF), 1u);
    EXPECT_EQ(c.reader.blocks.count(14), 0u);
    EXPECT_TRUE(c.rs.s.command_failed);
}

TEST(Charge, PaymentLoadingModes) {
    {
        // Mode 1: no checks, one pass of all L - 128 bytes, block shown + 16.
        Charging c;
        c.rs.s.payment_loading_mode = PaymentLoading::ON_HOLD;
        const std::string out = c.run({"x", "3"});
        const Bytes& image = c.images[6];
        EXPECT_EQ(c.reader.blocks[6], slice(image, 0, 3000 - 128));
        ASSERT_EQ(c.reader.signatures.size(), 1u);
        EXPECT_EQ(c.reader.signatures[0].second, slice(image, 3000 - 128, 3000));
        EXPECT_TRUE(ends_with(out, installed(19) + "\n")) << out;
    }
    {
        // Mode 2: no checks, block code + 32; even a refused image goes in.
        Charging c;
        c.rs.s.payment_loading_mode = PaymentLoading::BLOCKS_31;
        c.reader.reported_block_code_override = 36;
        const std::string out = c.run({"x", "6"});
        EXPECT_EQ(c.reader.blocks[44], slice(c.images[12], 0, 900 - 128));
        ASSERT_EQ(c.reader.signatures.size(), 1u);
        EXPECT_EQ(c.reader.signatures[0].first, 44);
        EXPECT_TRUE(ends_with(out, installed(18) + "\n")) << out;
    }
}

TEST(Charge, ResentPacketStillPutsEveryByteIn) {
    Charging c;
    c.reader.refuse_packet[3] = -1;
    c.run({"x", "2"});
    EXPECT_EQ(c.reader.blocks[4], slice(c.images[4], 0, 1000 - 128));
    EXPECT_FALSE(c.rs.s.command_failed);
}

TEST(Charge, InstalledSoftwareDisplayStaysInsideTheAnswer) {
    Charging c;
    // Control characters in the name are not shown and not counted.
    Bytes d = descriptor("KORVA", "SUPER\x01VISEUR", 2, 5);
    d.insert(d.end() - 2, ' ');  // the unshown byte moves the version one place on
    c.reader.descriptor = d;
    EXPECT_TRUE(ends_with(c.run({"x", "2"}), installed(2, "SUPERVISEUR", "02.05") + "\n"));

    // No '$' at all: the publisher runs to the end, nothing else is shown.
    Charging c2;
    c2.reader.descriptor = Bytes(127, 'A');
    const std::string out = c2.run({"x", "2"});
    EXPECT_TRUE(ends_with(
        out, "\n                    EDITEUR  : " + std::string(127, 'A') +
                 "\n                    LOGICIEL : " + "\n                    VERSION  : \n\n"))
        << out;
}

}  // namespace
}  // namespace korva::testing
