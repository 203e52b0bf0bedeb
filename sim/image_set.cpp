#include "sim/image_set.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "images/embedded_images.h"

namespace korva::sim {

namespace {

namespace fs = std::filesystem;

void add_part(ImageSet& set, std::span<const uint8_t> part) {
    if (part.size() < TRAILER_SIZE) return;
    const std::span<const uint8_t> body = part.first(part.size() - TRAILER_SIZE);
    const std::span<const uint8_t> trailer = part.last(TRAILER_SIZE);
    set.parts.push_back({{body.begin(), body.end()}, {trailer.begin(), trailer.end()}});
}

}  // namespace

bool add_stored_image(ImageSet& set, std::span<const uint8_t> stored, std::string& error) {
    if (stored.size() < 6) {
        error = "shorter than its six length digits";
        return false;
    }
    std::size_t length = 0;
    for (std::size_t i = 0; i < 6; ++i) {
        if (stored[i] > 9) {
            error = "its first six bytes are not digit values";
            return false;
        }
        length = length * 10 + stored[i];
    }
    if (stored.size() != 6 + length) {
        error = "its length digits give " + std::to_string(length) + " bytes, it holds " +
                std::to_string(stored.size() - 6);
        return false;
    }
    const std::span<const uint8_t> image = stored.subspan(6);
    std::size_t split = length;
    if (length > 609 && (image[576] >> 4) == 0xF && (image[577] & 0xF) == 0xF) {
        const std::size_t p = 256u * image[600] + image[601] + 129u;
        if (p >= TRAILER_SIZE && p + TRAILER_SIZE <= length) split = p;
    }
    add_part(set, image.first(split));
    if (split < length) add_part(set, image.subspan(split));
    return true;
}

std::shared_ptr<const ImageSet> default_image_set() {
    static const std::shared_ptr<const ImageSet> set = [] {
        auto parts = std::make_shared<ImageSet>();
        std::string ignored;
        for (const StoredImage& stored : embedded_images())
            add_stored_image(*parts, {stored.bytes, stored.size}, ignored);
        return parts;
    }();
    return set;
}

bool read_image_dir(const std::string& dir, ImageSet& set, std::string& error) {
    std::error_code ec;
    std::vector<fs::path> files;
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        if (it->path().extension() == ".img") files.push_back(it->path());
    }
    if (ec) {
        error = dir + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        const uintmax_t size = fs::file_size(file, ec);
        std::ifstream in(file, std::ios::binary);
        if (ec || !in || size > 6 + 999999) {
            error = file.string() + ": cannot be read as a stored image";
            return false;
        }
        const std::vector<uint8_t> stored((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
        std::string why;
        if (!add_stored_image(set, stored, why)) {
            error = file.string() + ": " + why;
            return false;
        }
    }
    return true;
}

const KnownPart* find_known_part(const ImageSet& set, const std::vector<uint8_t>& body,
                                 std::span<const uint8_t> trailer) {
    if (trailer.size() != TRAILER_SIZE) return nullptr;
    for (const KnownPart& part : set.parts) {
        if (part.body == body &&
            std::equal(part.trailer.begin(), part.trailer.end(), trailer.begin()))
            return &part;
    }
    return nullptr;
}

BlockSoftware part_software(std::span<const uint8_t> body) {
    BlockSoftware software;
    if (body.size() < VERSION_OFFSET + 2) return software;
    for (std::size_t i = DESCRIPTOR_OFFSET; i < DESCRIPTOR_OFFSET + DESCRIPTOR_SIZE; ++i) {
        if (body[i] == 0) break;
        software.descriptor += static_cast<char>(body[i]);
    }
    software.version_major = body[VERSION_OFFSET];
    software.version_minor = body[VERSION_OFFSET + 1];
    return software;
}

}  // namespace korva::sim
