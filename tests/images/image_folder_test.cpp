// Image sets read from a folder (--images): each file read and checked, a
// missing file allowed, every other fault named with its file.
#include "images/image_folder.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <string>

#include "tests/support/image_files.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

namespace fs = std::filesystem;

struct FolderRow {
    void (*change)(const fs::path& set);  // the built-in set written in set/
    const char* folder;                   // read, under the work directory
    const char* file;                     // the one the fault names; nullptr: the folder
    const char* fault;                    // empty: none
    std::vector<uint8_t> held;            // block codes of the set held
};

const FolderRow FOLDER_ROWS[] = {
    {[](const fs::path&) {}, "set", nullptr, "", {0, 4, 6, 10, 12}},
    {[](const fs::path& d) { fs::remove(d / "bloc6_extension.img"); },
     "set",
     nullptr,
     "",
     {0, 4, 6, 10}},
    {[](const fs::path& d) {
         std::vector<uint8_t> stored = embedded_image_set()[1].stored;
         stored[LENGTH_DIGITS + CLASS_BYTE] = 4;
         write_bytes(d / "bloc2_superviseur.img", stored);
     },
     "set",
     "bloc2_superviseur.img",
     "class byte (609) is 0x04, typed block 2's is 0x01",
     {}},
    {[](const fs::path& d) { write_bytes(d / "bloc3_pss.img", std::vector<uint8_t>(1000006)); },
     "set",
     "bloc3_pss.img",
     "more than 1000005 bytes, longer than any stored image",
     {}},
    {[](const fs::path& d) { fs::create_directory(d / "empty"); },
     "set/empty",
     nullptr,
     "holds none of the image files (bloc0_base.img, bloc2_superviseur.img, bloc3_pss.img, "
     "bloc5_orbex_112.img, bloc6_extension.img)",
     {}},
    {[](const fs::path&) {}, "nowhere", nullptr, "no such folder", {}},
    // Paths are UTF-8; on Windows they must reach the system as UTF-16.
    {[](const fs::path& d) { write_image_set(d / u8"Jérôme" / u8"Mises à jour Zdeněk"); },
     "set/Jérôme/Mises à jour Zdeněk",
     nullptr,
     "",
     {0, 4, 6, 10, 12}},
#ifndef _WIN32
    {[](const fs::path& d) {
         fs::remove(d / "bloc5_orbex_112.img");
         fs::create_symlink("gone.img", d / "bloc5_orbex_112.img");
     },
     "set",
     "bloc5_orbex_112.img",
     "is a broken symbolic link",
     {}},
    {[](const fs::path& d) {
         fs::remove(d / "bloc0_base.img");
         fs::create_symlink("bloc0_base.img", d / "bloc0_base.img");
     },
     "set",
     "bloc0_base.img",
     "cannot be read (Too many levels of symbolic links)",
     {}},
    // Refused at once: a fifo is never waited on.
    {[](const fs::path& d) {
         fs::remove(d / "bloc3_pss.img");
         ::mkfifo((d / "bloc3_pss.img").c_str(), 0600);
     },
     "set",
     "bloc3_pss.img",
     "is not a file",
     {}},
#endif
};

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

TEST(ImageFolder, ReadsTheSetOrNamesTheFileAndItsFault) {
    for (const FolderRow& row : FOLDER_ROWS) {
        TempWorkDir work;
        write_image_set(work.path() / "set");
        row.change(work.path() / "set");
        const fs::path dir =
            work.path() / std::u8string_view(reinterpret_cast<const char8_t*>(row.folder));
        const ImageFolder folder = read_image_folder(utf8(dir));
        const fs::path named = row.file ? dir / row.file : dir;
        EXPECT_EQ(folder.fault, row.fault[0] ? utf8(named) + ": " + row.fault : "") << row.folder;
        if (!folder.fault.empty()) continue;
        // The good files, byte for byte (they are the built-in set's).
        HeldImages built_in = embedded_image_set();
        std::vector<uint8_t> codes;
        for (const HeldImage& image : held_images_of(folder)) {
            codes.push_back(image.block_code);
            EXPECT_EQ(image.stored, find_image(built_in, image.block_code)->stored);
        }
        EXPECT_EQ(codes, row.held);
    }
}

}  // namespace
}  // namespace korva::testing
