#include "link/frames.h"

#include <gtest/gtest.h>

#include <numeric>

#include "tests/link/link_fixture.h"

namespace korva::testing {
namespace {

using FramesTest = LinkTest;

TEST_F(FramesTest, EmitByteStuffsOnlyWhenAsked) {
    uint8_t check = 0;
    emit_byte(port, 0x10, true, check);
    EXPECT_EQ(peer.written(), (Bytes{0x10, 0x10}));
    EXPECT_EQ(check, 0x00);  // a doubled DLE leaves the check as without it
    emit_byte(port, 0x10, false, check);
    emit_byte(port, 0x41, true, check);
    EXPECT_EQ(peer.written(), (Bytes{0x10, 0x10, 0x10, 0x41}));
    EXPECT_EQ(check, 0x10 ^ 0x41);
}

TEST_F(FramesTest, EmitBytesSendsTheFirstCountBytes) {
    const uint8_t data[] = {0x01, 0x10, 0x02, 0x03};
    uint8_t check = 0;
    emit_bytes(port, data, 3, true, check);
    EXPECT_EQ(peer.written(), (Bytes{0x01, 0x10, 0x10, 0x02}));
    EXPECT_EQ(check, 0x01 ^ 0x02);
}

TEST_F(FramesTest, FrameWithoutSection) {
    send_frame(port, 0xF2, 0x00, NO_SECTION, {}, {});
    EXPECT_EQ(peer.written(), (Bytes{0x10, 0x02, 0x02, 0xF2, 0x00, 0x10, 0x03, 0xF1}));
}

TEST_F(FramesTest, SubcodeAndCheckByteOf0x10AreNotDoubled) {
    // Subcode 0x10 is sent once; it also has no descriptor, so nothing is
    // registered.
    record.param = 0x00;
    request_erase(link, 0x10, handle_response);
    EXPECT_EQ(peer.written(),
              (Bytes{0x10, 0x02, 0x02, 0xFF, 0x10, 0x10, 0x0E, 0x00, 0x10, 0x03, 0xF2}));
    EXPECT_EQ(occupied_slots(), 0u);

    // Data 0xFE gives the check byte 0x10, which goes out once.
    peer.clear_written();
    request_speed(link, 0xFE, handle_response);
    EXPECT_EQ(peer.written(),
              (Bytes{0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E, 0xFE, 0x10, 0x03, 0x10}));
}

TEST_F(FramesTest, ResetRequestRegistersNothing) {
    request_reset(link);
    EXPECT_EQ(peer.written(),
              (Bytes{0x10, 0x02, 0x02, 0xFC, 0x00, 0x10, 0x0E, 0x00, 0x10, 0x03, 0xE1}));
    EXPECT_EQ(occupied_slots(), 0u);
    EXPECT_EQ(link.last, nullptr);
}

TEST_F(FramesTest, SpeedRequestRegistersAPendingExchange) {
    request_speed(link, 2, handle_response);
    EXPECT_EQ(peer.written(),
              (Bytes{0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E, 0x02, 0x10, 0x03, 0xEC}));
    ASSERT_TRUE(link.slots[0]);
    EXPECT_EQ(link.slots[0].get(), link.last);
    EXPECT_EQ(link.slots[0]->code, CODE_SPEED);
    EXPECT_EQ(link.slots[0]->state, EXCHANGE_PENDING);
    EXPECT_EQ(link.slots[0]->handler, &handle_response);
}

TEST_F(FramesTest, EraseDoublesAParameterOf0x10) {
    record.param = 0x10;
    request_erase(link, 0, handle_response);
    EXPECT_EQ(peer.written(),
              (Bytes{0x10, 0x02, 0x02, 0xFF, 0x00, 0x10, 0x0E, 0x10, 0x10, 0x10, 0x03, 0xE2}));
    ASSERT_TRUE(link.slots[0]);
    EXPECT_EQ(link.slots[0]->code, CODE_ERASE);
}

TEST_F(FramesTest, HoldPairIsTwoFramesEachWithItsOwnCheck) {
    send_hold_pair(link);
    EXPECT_EQ(peer.written(),
              (Bytes{0x10, 0x02, 0x02, 0xF9, 0x00, 0x10, 0x0E, 0x00, 0x10, 0x03, 0xE4,
                     0x10, 0x02, 0x02, 0xFD, 0x00, 0x10, 0x0E, 0x00, 0x10, 0x03, 0xE0}));
    EXPECT_EQ(occupied_slots(), 0u);
}

TEST_F(FramesTest, BootInfoAndBlockListRequests) {
    request_boot_info(link, handle_response);
    request_block_list(link, handle_report);
    EXPECT_EQ(peer.written(),
              (Bytes{0x10, 0x02, 0x02, 0xF7, 0x00, 0x10, 0x0E, 0x00, 0x10, 0x03, 0xEA,
                     0x10, 0x02, 0x02, 0xFB, 0x00, 0x10, 0x0E, 0x00, 0x10, 0x03, 0xE6}));
    ASSERT_TRUE(link.slots[0] && link.slots[1]);
    EXPECT_EQ(link.slots[0]->code, CODE_BOOT_INFO);
    EXPECT_EQ(link.slots[1]->code, CODE_BLOCK_LIST);
    EXPECT_EQ(link.slots[1]->handler, &handle_report);
}

TEST_F(FramesTest, DownloadStartCarriesParamAndThreeZeros) {
    record.param = 0x0A;
    request_download_start(link, 0, handle_response);
    EXPECT_EQ(peer.written(), (Bytes{0x10, 0x02, 0x02, 0xF1, 0x00, 0x10, 0x0E, 0x0A, 0x00, 0x00,
                                     0x00, 0x10, 0x03, 0xE6}));
}

TEST_F(FramesTest, DownloadBlockWithNoDataSendsTheSequenceAlone) {
    record.sequence = 0x10;
    record.data_len = 0;
    request_download_block(link, 0, handle_response);
    EXPECT_EQ(peer.written(),
              (Bytes{0x10, 0x02, 0x02, 0xF1, 0x00, 0x10, 0x0F, 0x10, 0x10, 0x10, 0x03, 0xED}));
    ASSERT_TRUE(link.slots[0]);
    EXPECT_EQ(link.slots[0]->code, CODE_DOWNLOAD);
}

TEST_F(FramesTest, DownloadBlockSendsSequenceThenDataLenBytes) {
    record.sequence = 3;
    record.data_len = 2;
    record.data[0] = 0x10;
    record.data[1] = 0x55;
    record.data[2] = 0x77;  // beyond data_len
    request_download_block(link, 0, handle_response);
    EXPECT_EQ(peer.written(), (Bytes{0x10, 0x02, 0x02, 0xF1, 0x00, 0x10, 0x0F, 0x03, 0x10, 0x10,
                                     0x55, 0x10, 0x03, 0xBB}));
}

TEST_F(FramesTest, DownloadBlockLengthIsBoundedByTheDataBuffer) {
    record.sequence = 1;
    record.data_len = 255;  // more than the record holds
    record.data.fill(0x20);
    request_download_block(link, 0, handle_response);
    // 7 header bytes, the sequence, 253 data bytes, DLE ETX and the check.
    EXPECT_EQ(peer.written().size(), 7u + 1u + RECORD_DATA_SIZE + 3u);
}

TEST_F(FramesTest, SignatureOf128Bytes) {
    Bytes data(128);
    std::iota(data.begin(), data.end(), 0);  // holds one 0x10
    request_signature(link, data.data(), 128, 0x05, handle_response);
    Bytes section{0x05};
    section.insert(section.end(), data.begin(), data.end());
    EXPECT_EQ(peer.written(), frame(CODE_SIGNATURE, {{SO, section}}));
    EXPECT_EQ(peer.written().size(), 8u + 129u + 3u);
    ASSERT_TRUE(link.slots[0]);
    EXPECT_EQ(link.slots[0]->code, CODE_SIGNATURE);
}

// The tests' own frame code, which every other test builds and reads frames
// with, against frames written out byte by byte.
TEST(TestWire, BuildsAndSplitsWrittenOutFrames) {
    struct Row {
        Bytes built;
        Bytes wire;
    };
    const Row rows[] = {
        {frame(0xF2), {0x10, 0x02, 0x02, 0xF2, 0x00, 0x10, 0x03, 0xF1}},
        {frame(0xFC, {{MARK_SO, {0x00}}}),
         {0x10, 0x02, 0x02, 0xFC, 0x00, 0x10, 0x0E, 0x00, 0x10, 0x03, 0xE1}},
        {frame(0xFF, {{MARK_SO, {0x10}}}),
         {0x10, 0x02, 0x02, 0xFF, 0x00, 0x10, 0x0E, 0x10, 0x10, 0x10, 0x03, 0xE2}},
        {frame(0xFF, {{MARK_SO, {0x00}}}, {.subcode = 0x10}),
         {0x10, 0x02, 0x02, 0xFF, 0x10, 0x10, 0x0E, 0x00, 0x10, 0x03, 0xF2}},
        {frame(0xF3, {{MARK_SO, {0x01}}}, {.direction = 0x03}),
         {0x10, 0x02, 0x03, 0xF3, 0x00, 0x10, 0x0E, 0x01, 0x10, 0x03, 0xEE}},
        {frame(0xF1, {{MARK_SI, {0x10, 0x10}}}, {.stuff = false}),
         {0x10, 0x02, 0x02, 0xF1, 0x00, 0x10, 0x0F, 0x10, 0x10, 0x10, 0x03, 0xED}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.built, row.wire);
        Bytes bad = row.wire;
        bad.back() ^= 0x01;
        Bytes stream{0x55, 0x10, 0x41};  // noise, and a DLE that starts no frame
        stream.insert(stream.end(), row.wire.begin(), row.wire.end());
        stream.insert(stream.end(), bad.begin(), bad.end());
        stream.insert(stream.end(), {0x10, 0x02, 0x02, 0xF2, 0x00, 0x10, 0x42});  // unknown mark
        const Split split = split_frames(stream);
        ASSERT_EQ(split.frames.size(), 1u);
        EXPECT_EQ(split.bad_checks, 1u);
        EXPECT_EQ(split.loose, (Bytes{0x55, 0x10, 0x41, 0x10, 0x02, 0x02, 0xF2, 0x00, 0x10, 0x42}));
        EXPECT_EQ(split.frames[0].direction, row.wire[2]);
        EXPECT_EQ(split.frames[0].code, row.wire[3]);
        EXPECT_EQ(split.frames[0].subcode, row.wire[4]);
    }
    const Frame f = split_frames(frame(0xFB, {{MARK_US, {1}}, {MARK_SO, {0x10, 2}}})).frames.at(0);
    EXPECT_EQ(f.section(MARK_SO), (Bytes{0x10, 2}));
    EXPECT_EQ(f.section(MARK_US), (Bytes{1}));
    EXPECT_FALSE(f.has(MARK_SI));
}

}  // namespace
}  // namespace korva::testing
