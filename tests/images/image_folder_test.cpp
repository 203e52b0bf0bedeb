// Image sets read from a folder (--images): each file read and checked, a
// missing file allowed, every other fault named with its file.
#include "images/image_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/image_files.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

namespace fs = std::filesystem;

struct FolderRow {
    const char* what;
    void (*change)(const fs::path& dir);
    const char* folder;         // the folder to read, relative to the work directory
    const char* fault_file;     // the file named by the fault; nullptr: the folder
    const char* fault;          // what is wrong; empty: no fault
    std::vector<uint8_t> held;  // block codes of the set held
};

const FolderRow FOLDER_ROWS[] = {
    {"the whole set", [](const fs::path&) {}, "set", nullptr, "", {0, 4, 6, 10, 12}},
    {"a file left out",
     [](const fs::path& d) { fs::remove(d / "set" / "bloc6_extension.img"); },
     "set",
     nullptr,
     "",
     {0, 4, 6, 10}},
    {"a malformed file",
     [](const fs::path& d) {
         std::vector<uint8_t> stored = embedded_image_set()[1].stored;
         stored[LENGTH_DIGITS + CLASS_BYTE] = 4;
         write_bytes(d / "set" / "bloc2_superviseur.img", stored);
     },
     "set",
     "bloc2_superviseur.img",
     "class byte (609) is 0x04, typed block 2's is 0x01",
     {}},
    {"a folder under a file's name",
     [](const fs::path& d) {
         fs::remove(d / "set" / "bloc0_base.img");
         fs::create_directory(d / "set" / "bloc0_base.img");
     },
     "set",
     "bloc0_base.img",
     "is not a file",
     {}},
    {"a file too long for any image",
     [](const fs::path& d) {
         write_bytes(d / "set" / "bloc3_pss.img", std::vector<uint8_t>(1'000'006, 0));
     },
     "set",
     "bloc3_pss.img",
     "more than 1000005 bytes, longer than any stored image",
     {}},
    {"none of the files",
     [](const fs::path& d) { fs::create_directory(d / "empty"); },
     "empty",
     nullptr,
     "holds none of the image files (bloc0_base.img, bloc2_superviseur.img, "
     "bloc3_pss.img, bloc5_orbex_112.img, bloc6_extension.img)",
     {}},
    {"no folder", [](const fs::path&) {}, "nowhere", nullptr, "no such folder", {}},
    {"a file for a folder",
     [](const fs::path&) {},
     "set/bloc0_base.img",
     nullptr,
     "not a folder",
     {}},
};

TEST(ImageFolder, ReadsTheSetOrNamesTheFileAndItsFault) {
    for (const FolderRow& row : FOLDER_ROWS) {
        SCOPED_TRACE(row.what);
        TempWorkDir work;
        write_image_set(work.path() / "set");
        row.change(work.path());
        const fs::path dir = work.path() / row.folder;
        const ImageFolder folder = read_image_folder(dir.string());
        const fs::path named = row.fault_file ? dir / row.fault_file : dir;
        EXPECT_EQ(folder.fault, row.fault[0] == '\0' ? "" : named.string() + ": " + row.fault);
        if (!folder.fault.empty()) continue;
        HeldImages held = held_images_of(folder);
        std::vector<uint8_t> codes;
        for (const HeldImage& image : held) codes.push_back(image.block_code);
        EXPECT_EQ(codes, row.held);
        // Byte for byte the files, which are the built-in set's.
        HeldImages built_in = embedded_image_set();
        for (HeldImage& image : held)
            EXPECT_EQ(image.stored, find_image(built_in, image.block_code)->stored);
    }
}

}  // namespace
}  // namespace korva::testing
