#include <gtest/gtest.h>

#include "tests/link/link_fixture.h"

namespace korva::testing {
namespace {

using HandlersTest = LinkTest;

TEST(ReaderRecordTest, InitialValues) {
    const ReaderRecord r;
    EXPECT_EQ(r.param, 0);
    EXPECT_EQ(r.sequence, 0);
    EXPECT_EQ(r.reader_sum, 0u);
    EXPECT_EQ(r.ack_state, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.data_len, 252);
    EXPECT_EQ(r.data.size(), 253u);
}

// The reader's answer to a download request or packet.
Bytes download_answer(uint8_t status, const Bytes& si) {
    return reader_frame(CODE_DOWNLOAD, 0, {{SO, {status}}, {SI, si}});
}

TEST_F(HandlersTest, DownloadAnswersFollowAckState) {
    // The start answer.
    record.ack_state = 0;
    request_download_start(link, 0, handle_response);
    arrive(download_answer(0x00, {0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(await_answer(link, CODE_DOWNLOAD, 10), CODE_DOWNLOAD);
    EXPECT_EQ(record.status, 0x00);
    EXPECT_EQ(record.ack_state, 1);

    // A data packet: the reader names the sequence it expects next.
    record.sequence = 1;
    record.data_len = 0;
    request_download_block(link, 0, handle_response);
    const Bytes answer = download_answer(0x01, {0x02, 9, 9, 9, 9, 9});
    arrive(answer);
    ASSERT_EQ(await_answer(link, CODE_DOWNLOAD, 10), CODE_DOWNLOAD);
    EXPECT_EQ(record.status, 0x01);
    EXPECT_EQ(record.sequence, 0x02);
    EXPECT_EQ(record.ack_check, answer.back());
    EXPECT_EQ(record.ack_state, 1);
    EXPECT_EQ(record.reader_sum, 0u);

    // The last packet: the reader's sum, big-endian over three bytes.
    record.sequence = 0;
    request_download_block(link, 0, handle_response);
    arrive(download_answer(0x00, {0x07, 0xAA, 0xBB, 0x12, 0x34, 0x56}));
    ASSERT_EQ(await_answer(link, CODE_DOWNLOAD, 10), CODE_DOWNLOAD);
    EXPECT_EQ(record.reader_sum, 0x123456u);
    EXPECT_EQ(record.sequence, 0);
    EXPECT_EQ(record.ack_state, 2);

    // Once over, an answer only marks the code.
    record.status = 0x33;
    request_download_block(link, 0, handle_response);
    arrive(download_answer(0x05, {0x09, 0, 0, 0x01, 0x01, 0x01}));
    ASSERT_EQ(await_answer(link, CODE_DOWNLOAD, 10), CODE_DOWNLOAD);
    EXPECT_EQ(record.status, 0x33);
    EXPECT_EQ(record.reader_sum, 0x123456u);
    EXPECT_EQ(record.ack_state, 2);
    EXPECT_EQ(occupied_slots(), 0u);
}

TEST_F(HandlersTest, EraseAndSpeedSetStatus) {
    request_erase(link, 0, handle_response);
    arrive(reader_frame(CODE_ERASE, 0, {{SO, {0x4F}}}));
    ASSERT_EQ(await_answer(link, CODE_ERASE, 10), CODE_ERASE);
    EXPECT_EQ(record.status, 0x4F);
}

TEST_F(HandlersTest, SignatureSetsAckStateAndCopiesTheSection) {
    Bytes si(128);
    for (std::size_t i = 0; i < si.size(); ++i) si[i] = static_cast<uint8_t>(0x80 + i % 16);
    const uint8_t data[128] = {};
    request_signature(link, data, 128, 0x01, handle_response);
    arrive(reader_frame(CODE_SIGNATURE, 0, {{SO, {0x02}}, {SI, si}}));
    ASSERT_EQ(await_answer(link, CODE_SIGNATURE, 30), CODE_SIGNATURE);
    EXPECT_EQ(record.ack_state, 0x02);
    EXPECT_TRUE(std::equal(si.begin(), si.end(), record.data.begin()));
}

TEST_F(HandlersTest, BootInfoCopiesTheWholeSectionZeroFilled) {
    record.data.fill(0xEE);
    request_boot_info(link, handle_response);
    arrive(reader_frame(CODE_BOOT_INFO, 0, {{SI, {'K', 0, 'M', 0}}}));
    ASSERT_EQ(await_answer(link, CODE_BOOT_INFO, 5), CODE_BOOT_INFO);
    EXPECT_EQ(record.data[0], 'K');
    EXPECT_EQ(record.data[2], 'M');
    EXPECT_EQ(record.data[69], 0);     // the unfilled tail is defined
    EXPECT_EQ(record.data[70], 0xEE);  // beyond the capacity, untouched
}

TEST_F(HandlersTest, UnpromptedReportsAndStartAnnouncement) {
    record.data.fill(0xEE);
    Bytes so(129, 0x31);
    arrive(reader_frame(CODE_REPORT, 0, {{SO, so}}));
    ASSERT_EQ(await_answer(link, CODE_REPORT, 2), CODE_REPORT);
    EXPECT_EQ(record.data[128], 0x31);
    EXPECT_EQ(record.data[129], 0xEE);

    arrive(reader_frame(CODE_STARTED, 0, {{SO, {0x00}}}));
    ASSERT_EQ(await_answer(link, CODE_STARTED, 30), CODE_STARTED);
    EXPECT_EQ(occupied_slots(), 0u);
}

TEST_F(HandlersTest, UnpromptedSpeedFrameChangesNothing) {
    record.status = 0x44;
    link.answered = 0x99;
    arrive(reader_frame(CODE_SPEED, 0, {{SO, {0x01}}}));
    poll_all();
    EXPECT_EQ(record.status, 0x44);
    EXPECT_EQ(link.answered, 0x99);
    EXPECT_EQ(occupied_slots(), 0u);
    EXPECT_EQ(link.outside, nullptr);
}

TEST_F(HandlersTest, HandlerWithoutAnsweredExchangeDoesNothing) {
    request_speed(link, 1, handle_response);
    record.status = 0x44;
    handle_response(link, CODE_SPEED, 0);  // still Pending: nothing to consume
    EXPECT_EQ(record.status, 0x44);
    EXPECT_EQ(link.last, nullptr);
    EXPECT_EQ(occupied_slots(), 1u);
}

TEST_F(HandlersTest, ResponseHandlerIgnoresCodesItDoesNotKnow) {
    link.answered = 0;
    request_block_list(link, handle_response);
    arrive(reader_frame(CODE_BLOCK_LIST, 0, {{SO, {0x02}}}));
    poll_all();
    EXPECT_EQ(link.answered, 0);
    EXPECT_EQ(occupied_slots(), 0u);
}

TEST_F(HandlersTest, RecordlessLinkStillMarksAnswers) {
    link.record = nullptr;
    request_speed(link, 1, handle_response);
    arrive(reader_frame(CODE_SPEED, 0, {{SO, {0x01}}}));
    EXPECT_EQ(await_answer(link, CODE_SPEED, 5), CODE_SPEED);
    EXPECT_EQ(record.status, 0);
}

}  // namespace
}  // namespace korva::testing
