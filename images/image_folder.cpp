#include "images/image_folder.h"

#include <filesystem>
#include <string_view>
#include <system_error>

#include "images/image_file_reading.h"

namespace korva {

namespace {

namespace fs = std::filesystem;

// Six length digits give at most 999999 image bytes.
constexpr std::size_t STORED_LIMIT = LENGTH_DIGITS + 999999;

void refuse(ImageFile& file, std::string fault) {
    file.state = ImageFileState::REFUSED;
    file.fault = std::move(fault);
}

// The checks of the catalogue, on bytes read.
void judge(ImageFile& file) {
    std::string fault = check_stored_image(*file.entry, file.stored);
    if (!fault.empty()) return refuse(file, std::move(fault));
    file.state = ImageFileState::GOOD;
}

// Paths are held in UTF-8 (on Windows the command line is taken in UTF-16
// and kept so): made into the system's path from UTF-8 and back, never
// through the ANSI code page.
fs::path system_path(const std::string& utf8) {
    return fs::path(std::u8string_view(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string utf8_path(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

void read_file(ImageFile& file) {
    // One byte past the limit tells a file that no stored form can be.
    if (!read_stored_file(file, STORED_LIMIT + 1)) return;
    if (file.stored.size() > STORED_LIMIT) {
        return refuse(file, "more than " + std::to_string(STORED_LIMIT) +
                                " bytes, longer than any stored image");
    }
    judge(file);
}

// Adds a file to the folder; the folder's fault is its first refused file's.
void add_file(ImageFolder& folder, ImageFile file) {
    if (file.state == ImageFileState::REFUSED && folder.fault.empty())
        folder.fault = file.path + ": " + file.fault;
    folder.files.push_back(std::move(file));
}

}  // namespace

bool refuse_unread(ImageFile& file, std::string fault) {
    file.state = ImageFileState::REFUSED;
    file.fault = std::move(fault);
    file.stored.clear();
    return false;
}

ImageFolder read_image_folder(const std::string& dir) {
    ImageFolder folder;
    std::error_code ec;
    const fs::file_status status = fs::status(system_path(dir), ec);
    if (status.type() == fs::file_type::not_found) {
        folder.fault = dir + ": no such folder";
        return folder;
    }
    if (ec || !fs::is_directory(status)) {
        folder.fault = dir + ": not a folder";
        return folder;
    }
    bool any = false;
    for (const CatalogueEntry& entry : image_catalogue()) {
        ImageFile file;
        file.entry = &entry;
        file.path = utf8_path(system_path(dir) / entry.file_name);
        read_file(file);
        any = any || file.state != ImageFileState::ABSENT;
        add_file(folder, std::move(file));
    }
    if (!any) {
        std::string names;
        for (const CatalogueEntry& entry : image_catalogue())
            names += std::string(names.empty() ? "" : ", ") + entry.file_name;
        folder.fault = dir + ": holds none of the image files (" + names + ")";
    }
    return folder;
}

ImageFolder embedded_image_folder() {
    ImageFolder folder;
    HeldImages held = embedded_image_set();
    for (const CatalogueEntry& entry : image_catalogue()) {
        ImageFile file;
        file.entry = &entry;
        file.path = entry.file_name;
        if (const HeldImage* image =
                find_image(held, static_cast<uint8_t>(2 * entry.typed_block))) {
            file.stored = image->stored;
            judge(file);
        }
        add_file(folder, std::move(file));
    }
    return folder;
}

HeldImages held_images_of(const ImageFolder& folder) {
    HeldImages held;
    for (const ImageFile& file : folder.files) {
        if (file.state != ImageFileState::GOOD) continue;
        held.push_back({static_cast<uint8_t>(2 * file.entry->typed_block), file.stored});
    }
    return held;
}

}  // namespace korva
