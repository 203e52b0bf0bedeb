#include "maintenance/download.h"

#include <gtest/gtest.h>

#include "tests/maintenance/test_reader.h"

namespace korva::testing {
namespace {

const std::string ERASING = "\n           EFFACEMENT";
const std::string DOWNLOADING = "\n           TELECHARGEMENT EN COURS ... \n";
const std::string LEFT = "\r           BLOCS RESTANTS A CHARGER :";

Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return b;
}

uint32_t byte_sum(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b) s += x;
    return s;
}

// The numbers of the packets-left lines, in order.
std::vector<int> countdown(const std::string& out) {
    std::vector<int> numbers;
    for (std::size_t at = out.find(LEFT); at != std::string::npos; at = out.find(LEFT, at + 1)) {
        numbers.push_back(std::stoi(out.substr(at + LEFT.size())));
    }
    return numbers;
}

struct Download {
    explicit Download(TestReader& reader) : rs(reader) {}
    DownloadResult run(const Bytes& bytes, uint8_t block_code = 4) {
        return download_block(rs.s, bytes.data(), static_cast<uint32_t>(bytes.size()), block_code);
    }
    const std::string& out() const { return rs.console.output(); }
    ReaderSession rs;
};

TEST(DownloadBlock, NothingToSendStillErasesAndOpens) {
    TestReader reader;
    Download d(reader);
    EXPECT_EQ(d.run({}), DownloadResult::OK);
    EXPECT_EQ(d.out(), ERASING + DOWNLOADING);
    EXPECT_EQ(reader.count(0xFF), 1u);
    ASSERT_EQ(reader.count(0xF1), 1u);
    EXPECT_EQ(reader.requests()[1].section(0x0E), (Bytes{4, 0, 0, 0}));
    EXPECT_TRUE(reader.packet_sequences.empty());
}

TEST(DownloadBlock, ShortCountGoesInOneLastPacket) {
    for (std::size_t n : {1u, 37u, 79u}) {
        TestReader reader;
        Download d(reader);
        const Bytes bytes = pattern(n);
        ASSERT_EQ(d.run(bytes), DownloadResult::OK) << n;
        EXPECT_EQ(reader.packet_sequences, (std::vector<uint8_t>{0})) << n;
        EXPECT_EQ(reader.blocks[4], bytes);
        char tail[80];
        std::snprintf(tail, sizeof tail, "  %x = %x:", byte_sum(bytes), byte_sum(bytes));
        EXPECT_EQ(d.out(), ERASING + DOWNLOADING + LEFT + "     0" +
                               "\n           VERIFICATION CHECKSUM :" + tail)
            << n;
    }
}

TEST(DownloadBlock, ExactMultipleOfEightyEndsWithFullLastPacket) {
    TestReader reader;
    Download d(reader);
    const Bytes bytes = pattern(80);
    ASSERT_EQ(d.run(bytes), DownloadResult::OK);
    EXPECT_EQ(reader.packet_sequences, (std::vector<uint8_t>{0}));
    EXPECT_EQ(countdown(d.out()), (std::vector<int>{1}));

    TestReader reader2;
    Download d2(reader2);
    const Bytes bytes2(160, 0xAB);
    ASSERT_EQ(d2.run(bytes2), DownloadResult::OK);
    EXPECT_EQ(reader2.packet_sequences, (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(reader2.blocks[4], bytes2);
    // 160 x 0xAB plus the sequence number 1, in lower-case hexadecimal.
    EXPECT_EQ(d2.out(), ERASING + DOWNLOADING + LEFT + "     1" + LEFT + "     1" +
                            "\n           VERIFICATION CHECKSUM :  6ae1 = 6ae1:");
}

TEST(DownloadBlock, SupervisorSizedTransferCountsDownRightAligned) {
    TestReader reader;
    Download d(reader);
    const Bytes bytes = pattern(35206);
    ASSERT_EQ(d.run(bytes, 0x10), DownloadResult::OK);
    EXPECT_EQ(reader.blocks[0x10], bytes);
    // The block code 0x10 travels doubled in the erase request.
    EXPECT_EQ(reader.requests()[0].section(0x0E), Bytes{0x10});

    const std::vector<int> numbers = countdown(d.out());
    ASSERT_EQ(numbers.size(), 441u);
    EXPECT_EQ(numbers.front(), 439);
    EXPECT_EQ(numbers[numbers.size() - 2], 0);
    EXPECT_EQ(numbers.back(), 0);
    EXPECT_NE(d.out().find(LEFT + "   100" + LEFT + "    99"), std::string::npos);
    EXPECT_NE(d.out().find(LEFT + "    10" + LEFT + "     9"), std::string::npos);

    ASSERT_EQ(reader.packet_sequences.size(), 441u);
    EXPECT_EQ(reader.packet_sequences[0], 1);
    EXPECT_EQ(reader.packet_sequences[254], 255);
    EXPECT_EQ(reader.packet_sequences[255], 1);  // what the reader named after 255
    EXPECT_EQ(reader.packet_sequences.back(), 0);
}

TEST(DownloadBlock, NextSequenceComesFromTheAcknowledgementCheckByte) {
    // The worked example: an acknowledgement naming 7 after packet 3 ends
    // with the check byte A1, and the next packet carries 7.
    EXPECT_EQ(frame(0xF1, {{0x0E, {0x55}}, {0x0F, {7, 0, 0, 0, 0, 0}}}).back(), 0xA1);
    TestReader reader;
    reader.ack_override[2] = {7, 0, 0, 0, 0, 0};
    // After 255 the whole acknowledgement counts, not its first byte.
    reader.ack_override[251] = {0, 0, 0, 0, 0, 0x09};
    Download d(reader);
    d.run(pattern(400 * 80));
    ASSERT_GT(reader.packet_sequences.size(), 260u);
    EXPECT_EQ(reader.packet_sequences[3], 7);
    EXPECT_EQ(reader.packet_sequences[4], 8);
    EXPECT_EQ(reader.packet_sequences[251], 255);
    EXPECT_EQ(reader.packet_sequences[252], 9);

    // A named number other than the next one: the six SI bytes' XOR wins.
    TestReader reader2;
    reader2.ack_override[0] = {7, 2, 0, 0, 0, 0};
    Download d2(reader2);
    d2.run(pattern(400));
    ASSERT_GE(reader2.packet_sequences.size(), 2u);
    EXPECT_EQ(reader2.packet_sequences[1], 5);
}

TEST(DownloadBlock, DerivedZeroIsSentUnchanged) {
    TestReader reader;
    reader.ack_override[0] = {5, 5, 0, 0, 0, 0};
    Download d(reader);
    // The packet numbered 0 reads as the last one from then on, so the sums
    // no longer meet.
    EXPECT_EQ(d.run(pattern(400)), DownloadResult::CHECKSUM_ERROR);
    ASSERT_GE(reader.packet_sequences.size(), 2u);
    EXPECT_EQ(reader.packet_sequences[1], 0);
}

TEST(DownloadBlock, RefusedPacketAskedForAgainIsResentAndCountedOnce) {
    TestReader reader;
    reader.refuse_packet[1] = -1;  // the reader asks for packet 2 again
    Download d(reader);
    const Bytes bytes = pattern(400);
    EXPECT_EQ(d.run(bytes), DownloadResult::OK);
    EXPECT_EQ(reader.packet_sequences, (std::vector<uint8_t>{1, 2, 2, 3, 4, 0}));
    EXPECT_EQ(reader.blocks[4], bytes);  // every byte went in, once
    EXPECT_EQ(countdown(d.out()), (std::vector<int>{4, 4, 3, 2, 1, 1}));
    EXPECT_NE(d.out().find("VERIFICATION CHECKSUM"), std::string::npos);
}

TEST(DownloadBlock, RefusalNamingAnotherNumberIsASequenceError) {
    TestReader reader;
    reader.refuse_packet[1] = 9;
    Download d(reader);
    EXPECT_EQ(d.run(pattern(400)), DownloadResult::SEQUENCE_ERROR);
    EXPECT_EQ(reader.packet_sequences, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(d.out().find("VERIFICATION"), std::string::npos);
}

TEST(DownloadBlock, ReaderRefusingForeverEndsTheDownload) {
    TestReader reader;
    for (std::size_t i = 1; i < 100; ++i) reader.refuse_packet[i] = -1;
    Download d(reader);
    EXPECT_EQ(d.run(pattern(400)), DownloadResult::FAILED);
    EXPECT_EQ(reader.packet_sequences.size(), 1 + PACKET_RESEND_LIMIT);
}

TEST(DownloadBlock, EraseOfAnotherBlockFails) {
    TestReader reader;
    reader.erase_answer_code = 6;
    Download d(reader);
    EXPECT_EQ(d.run(pattern(400)), DownloadResult::FAILED);
    EXPECT_EQ(d.out(), ERASING + "\n           ECHEC EFFACEMENT ");
    EXPECT_EQ(reader.count(0xF1), 0u);
}

TEST(DownloadBlock, UnansweredRequestsFailSilentlyAndAreNotRepeated) {
    {
        TestReader reader;
        reader.drop_answer = [](const Request& f) { return f.code == 0xFF; };
        Download d(reader);
        const int64_t start = d.rs.clock.calendar_ms();
        EXPECT_EQ(d.run(pattern(400)), DownloadResult::FAILED);
        const int64_t waited = d.rs.clock.calendar_ms() - start;
        EXPECT_GE(waited, 30000);
        EXPECT_LE(waited, 32000);
        EXPECT_EQ(d.out(), ERASING);
        EXPECT_EQ(reader.requests().size(), 1u);
    }
    {
        TestReader reader;
        reader.drop_answer = [](const Request& f) { return f.code == 0xF1 && f.has(0x0E); };
        Download d(reader);
        const int64_t start = d.rs.clock.calendar_ms();
        EXPECT_EQ(d.run(pattern(400)), DownloadResult::FAILED);
        EXPECT_LE(d.rs.clock.calendar_ms() - start, 12000);
        EXPECT_EQ(d.out(), ERASING + DOWNLOADING);
        EXPECT_TRUE(reader.packet_sequences.empty());
    }
    {
        TestReader reader;
        int packets = 0;
        reader.drop_answer = [&packets](const Request& f) { return f.has(0x0F) && ++packets == 3; };
        Download d(reader);
        EXPECT_EQ(d.run(pattern(400)), DownloadResult::FAILED);
        EXPECT_EQ(reader.packet_sequences, (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_EQ(countdown(d.out()), (std::vector<int>{4, 3}));
    }
}

TEST(DownloadBlock, ChecksumMismatchIsReportedWithoutTheChecksumLine) {
    TestReader reader;
    reader.sum_adjust = 1;
    Download d(reader);
    EXPECT_EQ(d.run(pattern(200)), DownloadResult::CHECKSUM_ERROR);
    EXPECT_EQ(d.out(), ERASING + DOWNLOADING + LEFT + "     1" + LEFT + "     0" + LEFT + "     0");
}

}  // namespace
}  // namespace korva::testing
