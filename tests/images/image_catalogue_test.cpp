#include "images/image_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "images/embedded_images.h"
#include "tests/support/wire.h"

namespace korva {
namespace {

using korva::testing::Bytes;

struct Part {
    uint8_t kind = 0;
    uint8_t sub_kind = 0;
};

// An image of length bytes with the given identification bytes; with
// second_part set, the two-part marking and the second part's bytes.
Bytes make_image(std::size_t length, uint8_t image_class, Part first, uint32_t second_part = 0,
                 Part second = {}) {
    Bytes image(length, 0x5A);
    image[CLASS_BYTE] = image_class;
    image[KIND_BYTE] = first.kind;
    image[SUB_KIND_BYTE] = first.sub_kind;
    if (second_part != 0) {
        const uint32_t v = second_part - 129;
        image[SECOND_PART_BYTES] = static_cast<uint8_t>(v >> 8);
        image[SECOND_PART_BYTES + 1] = static_cast<uint8_t>(v);
        if (second_part + SUB_KIND_BYTE < length) {
            image[second_part + KIND_BYTE] = second.kind;
            image[second_part + SUB_KIND_BYTE] = second.sub_kind;
        }
    }
    return image;
}

bool refused(const Bytes& image, uint8_t block_code) {
    return classify_image(image, block_code).refused;
}

TEST(ImageLength, ReadsSixDecimalDigits) {
    Bytes stored{0, 6, 3, 3, 7, 8};
    stored.resize(6 + 63378);
    EXPECT_EQ(image_length(stored), 63378u);
    EXPECT_EQ(image_length(Bytes{0, 0, 0, 0, 0, 0}), 0u);
    EXPECT_EQ(image_length(Bytes{0, 0, 0, 0, 0, 3, 1, 2, 3}), 3u);
}

TEST(ImageLength, BadDigitsOrMissingBytesMeanNoImage) {
    EXPECT_EQ(image_length(Bytes{0, 0, 0, 0, 0, 4, 1, 2, 3}), 0u);    // claims one byte too many
    EXPECT_EQ(image_length(Bytes{0, 0, 0, 0, 0, '3', 1, 2, 3}), 0u);  // a character, not a digit
    EXPECT_EQ(image_length(Bytes{0, 0, 1}), 0u);
}

TEST(ClassifyImage, BaseSoftwareGoesToBlockZeroOrPaymentBlocks) {
    const Bytes image = make_image(1000, 4, {0x51, 0x00});
    EXPECT_FALSE(refused(image, 0));
    for (uint8_t b : {1, 2, 4, 10, 31}) EXPECT_TRUE(refused(image, b)) << int(b);
    EXPECT_FALSE(refused(image, 32));
    EXPECT_FALSE(refused(image, 200));
    EXPECT_FALSE(classify_image(image, 0).two_part);
}

TEST(ClassifyImage, SupervisorGoesOnlyToBlockCodeFour) {
    const Bytes image = make_image(1000, 1, {0x51, 0x04});
    EXPECT_FALSE(refused(image, 4));
    for (uint8_t b : {0, 2, 6, 10, 12, 36}) EXPECT_TRUE(refused(image, b)) << int(b);
    EXPECT_FALSE(classify_image(image, 4).tla);
}

TEST(ClassifyImage, TwoPartImages) {
    // Second part belonging in block code 6.
    const Bytes six = make_image(3000, 1, {0xF0, 0x0F}, 1200, {0x14, 0x00});
    const ImageClass c = classify_image(six, 6);
    EXPECT_FALSE(c.refused);
    EXPECT_TRUE(c.two_part);
    EXPECT_EQ(c.second_part, 1200u);
    EXPECT_FALSE(c.tla);
    EXPECT_TRUE(refused(six, 12));
    EXPECT_TRUE(refused(six, 4));

    // A TLA second part: anywhere from block code 10 on.
    const Bytes tla = make_image(3000, 1, {0xF3, 0x2F}, 1200, {0x1C, 0x04});
    EXPECT_TRUE(refused(tla, 8));
    const ImageClass t = classify_image(tla, 10);
    EXPECT_FALSE(t.refused);
    EXPECT_TRUE(t.two_part);
    EXPECT_TRUE(t.tla);

    const Bytes other = make_image(3000, 1, {0xF0, 0x0F}, 1200, {0x2C, 0x04});
    EXPECT_TRUE(refused(other, 6));
    EXPECT_TRUE(classify_image(other, 12).two_part);
    EXPECT_FALSE(classify_image(other, 12).tla);
}

TEST(ClassifyImage, OtherSoftwareFromBlockCodeTen) {
    const Bytes tla = make_image(1000, 1, {0x1C, 0x34});
    EXPECT_TRUE(refused(tla, 8));
    EXPECT_FALSE(refused(tla, 10));
    EXPECT_TRUE(classify_image(tla, 10).tla);
    const Bytes plain = make_image(1000, 1, {0x20, 0x04});
    EXPECT_FALSE(classify_image(plain, 10).tla);
    EXPECT_FALSE(classify_image(plain, 10).two_part);
}

TEST(ClassifyImage, UnknownClassOrShortImageIsRefused) {
    for (uint8_t k : {0, 2, 3, 5, 0x51}) {
        EXPECT_TRUE(refused(make_image(1000, k, {0x20, 0x00}), 12)) << int(k);
    }
    EXPECT_TRUE(refused(Bytes(CLASS_BYTE, 0), 0));  // no class byte at all
}

TEST(ClassifyImage, MarkedSecondPartAtTheEndMeansOnePart) {
    // The second part would begin at the image's end: the image is one part.
    const Bytes image = make_image(3000, 1, {0xF0, 0x0F}, 3000);
    const ImageClass c = classify_image(image, 12);
    EXPECT_FALSE(c.refused);
    EXPECT_FALSE(c.two_part);
    EXPECT_TRUE(refused(image, 8));
}

TEST(ClassifyImage, SecondPartThatCannotHoldItsIdentificationIsRefused) {
    // Identification bytes beyond the end, or a part beyond the end.
    EXPECT_TRUE(refused(make_image(3000, 1, {0xF0, 0x0F}, 3000 - 577), 12));
    EXPECT_TRUE(refused(make_image(3000, 1, {0xF0, 0x0F}, 3001), 12));
    EXPECT_TRUE(refused(make_image(3000, 1, {0xF0, 0x0F}, 65535 + 129), 12));
    EXPECT_FALSE(refused(make_image(3000, 1, {0xF0, 0x0F}, 3000 - 578, {0x14, 0x00}), 6));
}

TEST(SerialIncrement, CountsTheLastFiveCharactersUp) {
    Bytes image(700, 0);
    const std::string field = "ABCD12399";
    std::copy(field.begin(), field.end(), image.begin() + SERIAL_FIELD);
    increment_serial(image);
    EXPECT_EQ(std::string(image.begin() + SERIAL_FIELD, image.begin() + SERIAL_FIELD_END),
              "ABCD12400");

    const std::string nines = "123499999";
    std::copy(nines.begin(), nines.end(), image.begin() + SERIAL_FIELD);
    increment_serial(image);
    EXPECT_EQ(std::string(image.begin() + SERIAL_FIELD, image.begin() + SERIAL_FIELD_END),
              "123400000");
    EXPECT_EQ(image[SERIAL_FIELD - 1], 0);
    EXPECT_EQ(image[SERIAL_FIELD_END], 0);

    // The embedded images' field is all 0xFF: the last byte wraps to 0.
    std::fill(image.begin() + SERIAL_FIELD, image.begin() + SERIAL_FIELD_END, 0xFF);
    increment_serial(image);
    EXPECT_EQ(Bytes(image.begin() + SERIAL_FIELD, image.begin() + SERIAL_FIELD_END),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
}

// The images the utility carries, at their own block codes.
struct Expected {
    uint8_t block_code;
    uint32_t length;
    bool two_part;
    uint32_t second_part;
    bool tla;
};

TEST(Catalogue, CarriedImagesClassifyAtTheirOwnBlocks) {
    const Expected table[] = {
        {0, 63378, false, 0, false},     {4, 35334, false, 0, false},
        {6, 102602, true, 41074, false}, {10, 122896, true, 61532, true},
        {12, 61556, false, 0, false},
    };
    HeldImages held = embedded_image_set();
    for (const Expected& e : table) {
        HeldImage* stored = find_image(held, e.block_code);
        ASSERT_NE(stored, nullptr) << int(e.block_code);
        EXPECT_EQ(image_length(stored->stored), e.length);
        const std::span<uint8_t> image = image_bytes(*stored);
        const ImageClass c = classify_image(image, e.block_code);
        EXPECT_FALSE(c.refused) << int(e.block_code);
        EXPECT_EQ(c.two_part, e.two_part) << int(e.block_code);
        EXPECT_EQ(c.second_part, e.second_part) << int(e.block_code);
        EXPECT_EQ(c.tla, e.tla) << int(e.block_code);
        EXPECT_EQ(Bytes(image.begin() + SERIAL_FIELD, image.begin() + SERIAL_FIELD_END),
                  Bytes(9, 0xFF));
    }
    // The block-code-12 image carries the two-part marking at its very end.
    const std::span<uint8_t> twelve = image_bytes(*find_image(held, 12));
    EXPECT_EQ(twelve[KIND_BYTE] >> 4, 0xF);
    EXPECT_EQ(256u * twelve[SECOND_PART_BYTES] + twelve[SECOND_PART_BYTES + 1] + 129,
              twelve.size());
    for (uint8_t b : {2, 8, 14, 16, 200}) EXPECT_EQ(find_image(held, b), nullptr) << int(b);
}

TEST(Catalogue, HeldCopyKeepsItsSerialNumberForTheRun) {
    HeldImages held = embedded_image_set();
    HeldImage* stored = find_image(held, 4);
    ASSERT_NE(stored, nullptr);
    increment_serial(image_bytes(*stored));
    HeldImage* again = find_image(held, 4);
    ASSERT_EQ(again, stored);
    EXPECT_EQ(image_bytes(*again)[SERIAL_FIELD_END - 1], 0x00);
    // The carried image itself is unchanged.
    const StoredImage& carried = embedded_images()[1];
    EXPECT_EQ(carried.bytes[LENGTH_DIGITS + SERIAL_FIELD_END - 1], 0xFF);
}

// --- the checks of an image set ------------------------------------------------

// A small two-part row, for the checks that the real lengths cannot reach.
constexpr CatalogueEntry SMALL = {9, "small.img", 2000, 1, KindRule::TWO_PART, 2, 0x14, 0x00};

Bytes stored_form(const Bytes& image) {
    Bytes stored(LENGTH_DIGITS + image.size());
    for (std::size_t i = 6, n = image.size(); i-- > 0; n /= 10) stored[i] = uint8_t(n % 10);
    std::copy(image.begin(), image.end(), stored.begin() + LENGTH_DIGITS);
    return stored;
}

void at(Bytes& stored, std::size_t offset, uint8_t value) {
    stored[LENGTH_DIGITS + offset] = value;
}
void set_p(Bytes& stored, uint32_t p) {
    at(stored, SECOND_PART_BYTES, uint8_t((p - 129) >> 8));
    at(stored, SECOND_PART_BYTES + 1, uint8_t(p - 129));
}

struct CheckRow {
    int image;  // index in the catalogue; -1: SMALL
    void (*change)(Bytes& stored);
    const char* fault;
};

const CheckRow CHECK_ROWS[] = {
    {0, [](Bytes& b) { b.resize(4); }, "4 bytes, too short for the six length digits"},
    {0, [](Bytes& b) { std::copy_n("063378", 6, b.begin()); },
     "the length digits are the characters \"063378\", not six decimal digit values (0 to 9)"},
    {0, [](Bytes& b) { b[2] = 10; }, "length digit 3 is 0x0A, not a decimal digit value (0 to 9)"},
    {0, [](Bytes& b) { b.pop_back(); },
     "the length digits give L = 63378, the file holds 63377 image bytes"},
    {0, [](Bytes& b) { b = stored_form(Bytes(1000, 0)); },
     "L = 1000, typed block 0's image has L = 63378"},
    {0, [](Bytes& b) { at(b, CLASS_BYTE, 1); },
     "class byte (609) is 0x01, typed block 0's is 0x04"},
    {1, [](Bytes& b) { at(b, KIND_BYTE, 0x52); },
     "kind byte (576) is 0x52, typed block 2's is 0x51 (supervisor)"},
    {2, [](Bytes& b) { at(b, SUB_KIND_BYTE, 0); },
     "kind bytes (576, 577) are 0xF0 0x00, typed block 3's carry the two-part marking (0xF_ "
     "0x_F)"},
    {4, [](Bytes& b) { set_p(b, 65664); },
     "second part offset (bytes 600-601 + 129) 65664 lies beyond the image's 61556 bytes"},
    {4, [](Bytes& b) { set_p(b, 40000); },
     "second part offset 40000: typed block 6's image is one part (offset = L = 61556)"},
    {-1, [](Bytes& b) { set_p(b, 2000); },
     "second part offset 2000 = L: typed block 9's image has a second part"},
    {2, [](Bytes& b) { set_p(b, 700); },
     "first part (0 to 700) too short for its identification bytes and its 128-byte trailer"},
    {-1, [](Bytes& b) { set_p(b, 1600); },
     "second part (1600 to 2000) too short for its identification bytes"},
    {-1, [](Bytes& b) { set_p(b, 1350); },
     "second part (1350 to 2000) has no room for its 128-byte trailer"},
    {3, [](Bytes& b) { at(b, 61532 + KIND_BYTE, 0x1D); },
     "second part's kind bytes (P + 576, P + 577) are 0x1D 0x04, typed block 5's are 0x1C 0x04"},
};

TEST(CheckStoredImage, EachFaultIsNamedAndTheBuiltInSetPasses) {
    const HeldImages built_in = embedded_image_set();
    for (std::size_t i = 0; i < built_in.size(); ++i)
        EXPECT_EQ(check_stored_image(image_catalogue()[i], built_in[i].stored), "") << i;
    for (const CheckRow& row : CHECK_ROWS) {
        const bool small = row.image < 0;
        Bytes stored = small ? stored_form(make_image(2000, 1, {0xF0, 0x0F}, 1250, {0x14, 0}))
                             : built_in[std::size_t(row.image)].stored;
        row.change(stored);
        EXPECT_EQ(check_stored_image(small ? SMALL : image_catalogue()[row.image], stored),
                  row.fault);
    }
    const CatalogueEntry tiny = {9, "tiny.img", 100, 1, KindRule::ANY, 1, 0, 0};
    EXPECT_EQ(check_stored_image(tiny, stored_form(Bytes(100, 1))),
              "L = 100, too short for the identification bytes and a 128-byte trailer");
}

}  // namespace
}  // namespace korva
