#include "images/embedded_images.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "images/sha256.h"

namespace {

using korva::StoredImage;

uint32_t stored_length(const StoredImage& image) {
    uint32_t length = 0;
    for (int i = 0; i < 6; ++i) length = length * 10 + image.bytes[i];
    return length;
}

// Image byte at an offset counted from the first image byte.
uint8_t at(const StoredImage& image, std::size_t offset) {
    return image.bytes[6 + offset];
}

uint32_t second_part_offset(const StoredImage& image) {
    return 256u * at(image, 600) + at(image, 601) + 129u;
}

struct CatalogueRow {
    const char* name;
    uint32_t length;
    uint8_t image_class;
};

constexpr CatalogueRow kCatalogue[] = {
    {"bloc0_base.img", 63378, 4},      {"bloc2_superviseur.img", 35334, 1},
    {"bloc3_pss.img", 102602, 1},      {"bloc5_orbex_112.img", 122896, 1},
    {"bloc6_extension.img", 61556, 1},
};

TEST(EmbeddedImages, FiveImagesInCatalogueOrderWithTheirLengthsAndClasses) {
    const auto images = korva::embedded_images();
    ASSERT_EQ(images.size(), 5u);
    for (std::size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE(images[i].name);
        EXPECT_STREQ(images[i].name, kCatalogue[i].name);
        for (int d = 0; d < 6; ++d) EXPECT_LE(images[i].bytes[d], 9) << "length digit " << d;
        EXPECT_EQ(stored_length(images[i]), kCatalogue[i].length);
        EXPECT_EQ(images[i].size, 6u + kCatalogue[i].length);
        EXPECT_EQ(at(images[i], 609), kCatalogue[i].image_class);
        for (std::size_t o = 94; o <= 102; ++o) EXPECT_EQ(at(images[i], o), 0xFF) << o;
    }
    // The base image's length digits are 0,6,3,3,7,8.
    const uint8_t digits[] = {0, 6, 3, 3, 7, 8};
    EXPECT_TRUE(std::equal(digits, digits + 6, images[0].bytes));
}

TEST(EmbeddedImages, IdentificationBytesPassTheClassificationAtTheirBlocks) {
    const auto images = korva::embedded_images();
    ASSERT_EQ(images.size(), 5u);
    // Supervisor: kind 'Q'.
    EXPECT_EQ(at(images[1], 576), 0x51);
    // Typed block 3: two-part marking, P = 41074, second part 0x14 / 0x00.
    EXPECT_EQ(at(images[2], 576) >> 4, 0xF);
    EXPECT_EQ(at(images[2], 577) & 0xF, 0xF);
    EXPECT_EQ(second_part_offset(images[2]), 41074u);
    EXPECT_EQ(at(images[2], 41074 + 576), 0x14);
    EXPECT_EQ(at(images[2], 41074 + 577), 0x00);
    // Typed block 5, the TLA: P = 61532, second part 0x1C / 0x04.
    EXPECT_EQ(at(images[3], 576) >> 4, 0xF);
    EXPECT_EQ(at(images[3], 577) & 0xF, 0xF);
    EXPECT_EQ(second_part_offset(images[3]), 61532u);
    EXPECT_EQ(at(images[3], 61532 + 576), 0x1C);
    EXPECT_EQ(at(images[3], 61532 + 577), 0x04);
    // Typed block 6: the two-part marking with P = L.
    EXPECT_EQ(at(images[4], 576) >> 4, 0xF);
    EXPECT_EQ(at(images[4], 577) & 0xF, 0xF);
    EXPECT_EQ(second_part_offset(images[4]), 61556u);
}

// The part's descriptor text at offset 256 of the part.
std::string descriptor(const StoredImage& image, std::size_t part_offset) {
    std::string text;
    for (std::size_t o = part_offset + 256; o < part_offset + 320 && at(image, o) != 0; ++o)
        text += static_cast<char>(at(image, o));
    return text;
}

TEST(EmbeddedImages, EveryPartNamesItsSoftwareAndTheBaseSoftwareAllowsUpdates) {
    const auto images = korva::embedded_images();
    ASSERT_EQ(images.size(), 5u);
    EXPECT_EQ(descriptor(images[0], 0), "KORVA SYSTEMES$ KRV 3.20$");
    EXPECT_EQ(descriptor(images[1], 0), "KORVA SYSTEMES$SUPERVISEUR$");
    EXPECT_EQ(descriptor(images[2], 41074), "KORVA SYSTEMES$PSS 2.10$");
    EXPECT_EQ(descriptor(images[2], 0), "KORVA SYSTEMES$CAM 1.05$");
    EXPECT_EQ(descriptor(images[3], 61532), "ORBEX$TLA ORBEX$");
    EXPECT_EQ(at(images[3], 61532 + 320), 1);
    EXPECT_EQ(at(images[3], 61532 + 321), 12);
    EXPECT_EQ(descriptor(images[4], 0), "ORBEX$ORBEX EXTENSION$");
}

TEST(EmbeddedImages, TrailersAreTheDigestsOfTheirParts) {
    const auto images = korva::embedded_images();
    ASSERT_EQ(images.size(), 5u);
    // The trailer marks that follow the digest.
    const std::size_t part_starts[] = {0, 0, 0, 41074, 0, 61532, 0};
    const std::size_t trailer_ends[] = {63378, 35334, 41074, 102602, 61532, 122896, 61556};
    const int image_of[] = {0, 1, 2, 2, 3, 3, 4};
    for (int i = 0; i < 7; ++i) {
        const uint8_t* part = images[image_of[i]].bytes + 6 + part_starts[i];
        const uint8_t* trailer = images[image_of[i]].bytes + 6 + trailer_ends[i] - 128;
        const std::string mark(reinterpret_cast<const char*>(trailer) + 32, 15);
        EXPECT_EQ(mark, "KORVA SIGNATURE") << i;
        // The tool wrote the digest with Python's hashlib; the utility's comes
        // from the system's library.
        korva::Sha256Digest digest{};
        ASSERT_TRUE(korva::sha256({part, trailer}, digest));
        EXPECT_TRUE(std::equal(digest.begin(), digest.end(), trailer)) << i;
    }
    // The digests themselves are checked with a vetted hash library.
    const std::filesystem::path root(KORVA_SOURCE_DIR);
    if (!std::filesystem::exists(root / "tools" / "check_images.py"))
        GTEST_SKIP() << "source tree not found at " << KORVA_SOURCE_DIR;
    if (std::system("python3 -c '' 2>/dev/null") != 0) GTEST_SKIP() << "python3 not available";
    const std::string command = "python3 '" + (root / "tools" / "check_images.py").string() +
                                "' '" + (root / "images").string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(Sha256, StandardTestVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const auto& [text, hex] : vectors) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
        EXPECT_EQ(korva::sha256_hex({bytes, text.size()}), hex) << text;
    }
}

}  // namespace
