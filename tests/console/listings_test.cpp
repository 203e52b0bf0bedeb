// What --list-images prints: the catalogue a technician checks before going
// out, for the built-in set and for a folder.
#include "console/listings.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/image_files.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

// The digests are those of sha256sum for the committed files.
const char BUILT_IN_LISTING[] =
    "Image set: built-in\n"
    "EDITEUR, LOGICIEL and VERSION: what charge shows once the reader has installed the\n"
    "part, read here from its descriptor \"PUBLISHER$NAME$\" at part offset 256 and its\n"
    "version bytes at 320-321.\n"
    "\n"
    "bloc0_base.img\n"
    "  typed block 0, L = 63378 bytes, one part\n"
    "  to block code 0: 63250 bytes and a 128-byte trailer\n"
    "    EDITEUR  : KORVA SYSTEMES\n"
    "    LOGICIEL :  KRV 3.20\n"
    "    VERSION  : 03.20\n"
    "  SHA-256 of the file: 7f9f31473b1422f12006935b444163e89233730a317796abeb50e6720afafa21\n"
    "\n"
    "bloc2_superviseur.img\n"
    "  typed block 2, L = 35334 bytes, one part\n"
    "  to block code 4: 35206 bytes and a 128-byte trailer\n"
    "    EDITEUR  : KORVA SYSTEMES\n"
    "    LOGICIEL : SUPERVISEUR\n"
    "    VERSION  : 02.41\n"
    "  SHA-256 of the file: 4d3492f7e0f064fdae3ddac175174e8de10051a6ba1785932592fb8079da72d0\n"
    "\n"
    "bloc3_pss.img\n"
    "  typed block 3, L = 102602 bytes, two parts (the second at 41074)\n"
    "  second part, to block code 6: 61400 bytes and a 128-byte trailer\n"
    "    EDITEUR  : KORVA SYSTEMES\n"
    "    LOGICIEL : PSS 2.10\n"
    "    VERSION  : 02.10\n"
    "  first part, to block code 8 if the second part goes into block 3: 40946 bytes and a "
    "128-byte trailer\n"
    "    EDITEUR  : KORVA SYSTEMES\n"
    "    LOGICIEL : CAM 1.05\n"
    "    VERSION  : 01.05\n"
    "  SHA-256 of the file: 510b068731c71b99e6e4f67aef6eaf3c7bab86c7f79c7b431ca9716d31152559\n"
    "\n"
    "bloc5_orbex_112.img\n"
    "  typed block 5, L = 122896 bytes, two parts (the second at 61532)\n"
    "  second part, to block code 10: 61236 bytes and a 128-byte trailer\n"
    "    EDITEUR  : ORBEX\n"
    "    LOGICIEL : TLA ORBEX\n"
    "    VERSION  : 01.12\n"
    "  first part, to block code 12 if the second part goes into block 5: 61404 bytes and a "
    "128-byte trailer\n"
    "    EDITEUR  : ORBEX\n"
    "    LOGICIEL : ORBEX DONNEES\n"
    "    VERSION  : 01.12\n"
    "  SHA-256 of the file: f71cbfbacef525eceaf192276dee99c339c5546b6b8675e7c36c85d541086f56\n"
    "\n"
    "bloc6_extension.img\n"
    "  typed block 6, L = 61556 bytes, one part (two-part marking, no second part)\n"
    "  to block code 12: 61428 bytes and a 128-byte trailer\n"
    "    EDITEUR  : ORBEX\n"
    "    LOGICIEL : ORBEX EXTENSION\n"
    "    VERSION  : 01.12\n"
    "  SHA-256 of the file: ff323d3b1c75da0a13e0a6ab74de7c5b019753e0d5495c740ce90549a1e331c7\n";

// The built-in listing's lines for one file, after its name.
std::string built_in_block(const std::string& name) {
    const std::string all = BUILT_IN_LISTING;
    const std::size_t start = all.find("\n" + name + "\n") + 1 + name.size();
    return all.substr(start, all.find("\n\n", start) - start);
}

TEST(ImageListing, BuiltInSet) {
    EXPECT_EQ(image_set_listing("built-in", embedded_image_folder()), BUILT_IN_LISTING);
}

TEST(ImageListing, FolderShowsEachFileAbsentRefusedOrAsTheBuiltInOne) {
    TempWorkDir work;
    const auto dir = work.path() / "release";
    write_image_set(dir);
    std::filesystem::remove(dir / "bloc6_extension.img");
    std::vector<uint8_t> base = embedded_image_set()[0].stored;
    base[LENGTH_DIGITS + CLASS_BYTE] = 7;
    write_bytes(dir / "bloc0_base.img", base);
    const std::string text = image_set_listing(dir.string(), read_image_folder(dir.string()));

    const std::string blocks[] = {
        "Image set: " + dir.string() + "\n",
        "\n" + (dir / "bloc0_base.img").string() +
            "\n  REFUSED: class byte (609) is 0x07, typed block 0's is 0x04\n  SHA-256 of the "
            "file: ",
        "\n" + (dir / "bloc6_extension.img").string() +
            "\n  absent: charge of typed block 6 answers ERREUR FICHIER PARAMETRES\n",
        // The other files are the built-in ones.
        "\n" + (dir / "bloc2_superviseur.img").string() + built_in_block("bloc2_superviseur.img"),
        "\n" + (dir / "bloc3_pss.img").string() + built_in_block("bloc3_pss.img"),
        "\n" + (dir / "bloc5_orbex_112.img").string() + built_in_block("bloc5_orbex_112.img"),
    };
    for (const std::string& block : blocks) EXPECT_NE(text.find(block), std::string::npos) << block;
}

}  // namespace
}  // namespace korva::testing
