// An image set read from a folder instead of the embedded one: the
// catalogue's five data files, under the same names and in the same stored
// form as the build's (six length digits, then the image). Each file is read
// and checked once, before the run touches a port. A file that is not there
// is allowed: the run then holds no image for its block, and charge answers
// as for a block without an image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "images/image_catalogue.h"

namespace korva {

enum class ImageFileState : uint8_t { GOOD, ABSENT, REFUSED };

struct ImageFile {
    const CatalogueEntry* entry = nullptr;
    std::string path;  // the folder joined with the file name, in UTF-8, as messages show it
    ImageFileState state = ImageFileState::ABSENT;
    std::string fault;            // REFUSED: what is wrong
    std::vector<uint8_t> stored;  // the bytes read (none when absent or unreadable)
};

struct ImageFolder {
    // The first fault, "<file or folder>: <what is wrong>"; empty when the
    // set may be used.
    std::string fault;
    std::vector<ImageFile> files;  // one per catalogue row, in its order
};

// Reads and checks the catalogue's files in dir (a path in UTF-8). A
// missing or unreadable folder, or one that holds none of the five files, is
// a fault of the folder.
ImageFolder read_image_folder(const std::string& dir);

// The embedded set in the same form, each image checked as a file would
// be; the paths are the file names.
ImageFolder embedded_image_folder();

// The set a run holds from a folder without fault: its good files.
HeldImages held_images_of(const ImageFolder& folder);

}  // namespace korva
