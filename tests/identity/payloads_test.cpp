#include "identity/payloads.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korva {
namespace {

std::string text(ByteView bytes) {
    return raw_text(bytes);
}

std::vector<uint8_t> padded(std::vector<uint8_t> bytes, std::size_t size) {
    bytes.resize(size, 0);
    return bytes;
}

std::vector<uint8_t> with_text(std::vector<uint8_t> head, const std::string& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(BootInfoPayload, FieldsAreSplitByRunsOfZeroBytes) {
    const auto payload = padded(with_text({0, 0, 0}, std::string("PUB\0\0MODEL\0BOOT\0\0\0"
                                                                 "4.05\0DATE",
                                                                 28)),
                                BOOT_INFO_SIZE);
    const BootInfo info = read_boot_info(payload);
    EXPECT_EQ(text(info.field[BOOT_PUBLISHER]), "PUB");
    EXPECT_EQ(text(info.field[BOOT_READER_MODEL]), "MODEL");
    EXPECT_EQ(text(info.field[BOOT_SOFTWARE]), "BOOT");
    EXPECT_EQ(text(info.field[BOOT_VERSION]), "4.05");
    EXPECT_EQ(text(info.field[BOOT_DATE]), "DATE");
}

TEST(BootInfoPayload, MissingFieldsAreEmptyAndTheLastFieldStopsAtTheEnd) {
    const auto two_fields = padded(with_text({0}, std::string("PUB\0MODEL", 9)), BOOT_INFO_SIZE);
    BootInfo info = read_boot_info(two_fields);
    EXPECT_EQ(text(info.field[BOOT_READER_MODEL]), "MODEL");
    EXPECT_TRUE(info.field[BOOT_VERSION].empty());
    EXPECT_TRUE(info.field[BOOT_DATE].empty());

    // No zero byte anywhere: one field as long as the payload.
    const std::vector<uint8_t> full(BOOT_INFO_SIZE, 'x');
    info = read_boot_info(full);
    EXPECT_EQ(info.field[BOOT_PUBLISHER].size(), BOOT_INFO_SIZE);
    EXPECT_TRUE(info.field[BOOT_READER_MODEL].empty());

    // All zero.
    info = read_boot_info(std::vector<uint8_t>(BOOT_INFO_SIZE, 0));
    for (const ByteView& field : info.field) EXPECT_TRUE(field.empty());
}

TEST(BootInfoPayload, RecordViewIsSeventyBytes) {
    ReaderRecord record;
    record.data.fill('v');
    EXPECT_EQ(boot_info_payload(record).size(), BOOT_INFO_SIZE);
    EXPECT_EQ(read_boot_info(boot_info_payload(record)).field[0].size(), BOOT_INFO_SIZE);
    EXPECT_EQ(block_item(record).size(), BLOCK_ITEM_SIZE);
}

TEST(BlockItem, IdentityValueIsCutAtTheItemEnd) {
    const std::vector<uint8_t> item = padded(with_text({2, 0, 5, 9}, "123456789"), BLOCK_ITEM_SIZE);
    EXPECT_EQ(item_block(item), 1);
    EXPECT_EQ(item_tag(item), 5);
    EXPECT_EQ(text(item_value(item)), "123456789");

    // A length byte that runs past the item.
    std::vector<uint8_t> long_value = padded(with_text({2, 0, 0, 255}, "NAME"), BLOCK_ITEM_SIZE);
    EXPECT_EQ(item_value(long_value).size(), BLOCK_ITEM_SIZE - 4);
    EXPECT_EQ(item_value(std::vector<uint8_t>{2, 0, 0, 200, 'A', 'B'}).size(), 2u);

    // Too short to hold a value or a tag.
    EXPECT_TRUE(item_value(std::vector<uint8_t>{2, 0, 5}).empty());
    EXPECT_EQ(item_tag(std::vector<uint8_t>{2}), 0);
    EXPECT_EQ(item_block(ByteView{}), 0);
}

TEST(BlockItem, BlockNumberIsHalfTheFirstByte) {
    EXPECT_EQ(item_block(std::vector<uint8_t>{24}), 12);
    EXPECT_EQ(item_block(std::vector<uint8_t>{25}), 12);
    EXPECT_EQ(item_block(std::vector<uint8_t>{255}), 127);
}

TEST(BlockItem, SoftwareNamesStandBetweenTheDollars) {
    const auto item = padded(with_text({4}, "EDITEUR$LOGICIEL$rest$"), BLOCK_ITEM_SIZE);
    EXPECT_FALSE(item_block_empty(item));
    EXPECT_EQ(text(item_publisher(item)), "EDITEUR");
    EXPECT_EQ(text(item_software_name(item)), "LOGICIEL");

    const auto empty = padded(with_text({4}, "$ignored$"), BLOCK_ITEM_SIZE);
    EXPECT_TRUE(item_block_empty(empty));
    EXPECT_TRUE(item_publisher(empty).empty());
}

TEST(BlockItem, MissingDollarsStopAtTheItemEnd) {
    // No '$' at all: the publisher runs to the end, there is no name.
    const std::vector<uint8_t> no_dollar(BLOCK_ITEM_SIZE, 'A');
    EXPECT_EQ(item_publisher(no_dollar).size(), BLOCK_ITEM_SIZE - 1);
    EXPECT_TRUE(item_software_name(no_dollar).empty());

    // One '$': the name runs to the end.
    std::vector<uint8_t> one_dollar(BLOCK_ITEM_SIZE, 'N');
    one_dollar[0] = 4;
    one_dollar[3] = '$';
    EXPECT_EQ(text(item_publisher(one_dollar)), "NN");
    EXPECT_EQ(item_software_name(one_dollar).size(), BLOCK_ITEM_SIZE - 4);

    // '$' as the very last byte: empty name.
    std::vector<uint8_t> last_dollar(BLOCK_ITEM_SIZE, 'P');
    last_dollar.back() = '$';
    EXPECT_EQ(item_publisher(last_dollar).size(), BLOCK_ITEM_SIZE - 2);
    EXPECT_TRUE(item_software_name(last_dollar).empty());
}

// A signature answer of 128 bytes: block code 0x0A, then the text, the
// version bytes 0x0C 0x22 at the given offset.
std::vector<uint8_t> answer(const std::string& body, std::size_t version_at) {
    std::vector<uint8_t> bytes = padded(with_text({0x0A}, body), SIGNATURE_ANSWER_SIZE);
    if (version_at + 1 < bytes.size()) {
        bytes[version_at] = 0x0C;
        bytes[version_at + 1] = 0x22;
    }
    return bytes;
}

TEST(SignatureAnswer, FieldsAndTheVersionAfterTheName) {
    struct Case {
        std::string body;
        std::size_t version_at;
        std::string publisher;
        const char* name;
        int version;  // major * 100 + minor, -1 for none
    };
    const Case cases[] = {
        // second '$' at 10, four printable name bytes: version at 10 + 28 - 4
        {"PUB$NA\x01ME$", 34, "PUB", "NAME", 1234},
        {"PUB$NAME", 200, "PUB", "NAME", -1},                                // one '$': no version
        {"PUB", 200, "PUB" + std::string(124, '\0'), "", -1},                // no '$'
        {std::string(120, 'P') + "$$", 200, std::string(120, 'P'), "", -1},  // past the end
    };
    for (const Case& c : cases) {
        const InstalledSoftware got = read_signature_answer(answer(c.body, c.version_at));
        EXPECT_EQ(got.block, 5);
        EXPECT_EQ(got.publisher, c.publisher) << c.body;
        EXPECT_EQ(got.software_name, c.name) << c.body;
        const int version = got.version_major * 100 + got.version_minor;
        EXPECT_EQ(got.has_version ? version : -1, c.version) << c.body;
    }
}

TEST(Printable, KeepsThirtyTwoToOneHundredTwentyFive) {
    const std::vector<uint8_t> all = {0, 9, 10, 13, 31, 32, 'A', '}', '~', 127, 200, 255};
    EXPECT_EQ(printable_text(all), " A}");
    EXPECT_EQ(raw_text(all).size(), all.size());
}

}  // namespace
}  // namespace korva
