// What --list-images prints: the catalogue a technician checks before going
// out, for the built-in set and for a folder.
#include "console/listings.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/image_files.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

// A two-part image; the digest is sha256sum's of the committed file.
const std::string BLOC3 =
    "\n  typed block 3, L = 102602 bytes, two parts (the second at 41074)\n"
    "  second part, to block code 6: 61400 bytes and a 128-byte trailer\n"
    "    EDITEUR  : KORVA SYSTEMES\n    LOGICIEL : PSS 2.10\n    VERSION  : 02.10\n"
    "  first part, to block code 8 if the second part goes into block 3: 40946 bytes and a "
    "128-byte trailer\n"
    "    EDITEUR  : KORVA SYSTEMES\n    LOGICIEL : CAM 1.05\n    VERSION  : 01.05\n"
    "  SHA-256 of the file: 510b068731c71b99e6e4f67aef6eaf3c7bab86c7f79c7b431ca9716d31152559\n";
TEST(ImageListing, BuiltInSetAndAFolderWithAnAbsentAndARefusedFile) {
    const std::string built_in = image_set_listing("built-in", embedded_image_folder());
    EXPECT_EQ(built_in.rfind(
                  "Image set: built-in\n"
                  "EDITEUR, LOGICIEL and VERSION: what charge shows once the reader has installed "
                  "the\npart, read here from its descriptor \"PUBLISHER$NAME$\" at part offset 256 "
                  "and its\nversion bytes at 320-321.\n",
                  0),
              0u);
    EXPECT_NE(built_in.find("\nbloc3_pss.img" + BLOC3), std::string::npos) << built_in;

    TempWorkDir work;
    const auto dir = work.path() / "release";
    write_image_set(dir);
    std::filesystem::remove(dir / "bloc6_extension.img");
    std::vector<uint8_t> base = embedded_image_set()[0].stored;
    base[LENGTH_DIGITS + CLASS_BYTE] = 7;
    write_bytes(dir / "bloc0_base.img", base);
    const std::string text = image_set_listing(dir.string(), read_image_folder(dir.string()));
    EXPECT_EQ(text.rfind("Image set: " + dir.string() + "\n", 0), 0u);
    EXPECT_NE(text.find("\n" + (dir / "bloc0_base.img").string() +
                        "\n  REFUSED: class byte (609) is 0x07, typed block 0's is 0x04\n"),
              std::string::npos);
    EXPECT_NE(text.find("\n" + (dir / "bloc6_extension.img").string() +
                        "\n  absent: charge of typed block 6 answers ERREUR FICHIER PARAMETRES\n"),
              std::string::npos);

    // A long folder path is shown whole.
    const std::string deep = "D:/" + std::string(600, 'r');
    ImageFolder far = embedded_image_folder();
    for (ImageFile& file : far.files) file.path = deep + "/" + file.path;
    const std::string shown = image_set_listing(deep, far);
    EXPECT_EQ(shown.rfind("Image set: " + deep + "\n", 0), 0u);
    EXPECT_NE(shown.find("\n" + deep + "/bloc3_pss.img" + BLOC3), std::string::npos);
}

}  // namespace
}  // namespace korva::testing
