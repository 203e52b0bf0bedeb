#include <gtest/gtest.h>

#include "tests/link/link_fixture.h"

namespace korva::testing {
namespace {

using ExchangeTableTest = LinkTest;

// Fills every slot with a Pending speed exchange.
void fill_table(ReaderLink& link) {
    for (uint8_t i = 0; i < SLOT_COUNT; ++i) {
        link.last = exchange_create(CODE_SPEED, 0, link, EXCHANGE_PENDING, handle_response);
        ASSERT_EQ(exchange_insert(link), i);
    }
}

TEST_F(ExchangeTableTest, CreateSizesTheSectionsFromTheDescriptorTable) {
    Exchange* e = exchange_create(CODE_BOOT_INFO, 0, link, EXCHANGE_PENDING, handle_response);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->capacity, (std::array<uint8_t, 3>{1, 70, 0}));
    EXPECT_EQ(e->section[0].size(), 2u);
    EXPECT_EQ(e->section[1].size(), 71u);
    EXPECT_EQ(e->section[2].size(), 1u);
    EXPECT_EQ(e->state, EXCHANGE_PENDING);
    EXPECT_EQ(occupied_slots(), 0u);  // not in the table yet

    // Erase has two rows' worth of codes; 0xFF/0 is a real row, 0xFF/0xFF
    // ends the table.
    Exchange* erase = exchange_create(CODE_ERASE, 0, link, EXCHANGE_PENDING, handle_response);
    ASSERT_NE(erase, nullptr);
    EXPECT_EQ(erase->capacity, (std::array<uint8_t, 3>{1, 1, 0}));
    EXPECT_EQ(exchange_create(0xFF, 0xFF, link, EXCHANGE_PENDING, nullptr), nullptr);
    EXPECT_EQ(exchange_create(CODE_SPEED, 1, link, EXCHANGE_PENDING, nullptr), nullptr);
    EXPECT_EQ(exchange_create(CODE_RESET, 0, link, EXCHANGE_PENDING, nullptr), nullptr);
}

TEST_F(ExchangeTableTest, InsertTakesTheLowestEmptySlot) {
    fill_table(link);
    exchange_free(link, link.slots[7].get());
    exchange_free(link, link.slots[3].get());
    EXPECT_FALSE(link.slots[3]);
    link.last = exchange_create(CODE_BOOT_INFO, 0, link, EXCHANGE_PENDING, handle_response);
    EXPECT_EQ(exchange_insert(link), 3);
    EXPECT_EQ(link.slots[3]->code, CODE_BOOT_INFO);
    EXPECT_EQ(link.outside, nullptr);
}

TEST_F(ExchangeTableTest, FullTableOfPendingExchangesRefusesInsertion) {
    fill_table(link);
    request_speed(link, 2, handle_response);
    ASSERT_NE(link.last, nullptr);
    EXPECT_EQ(exchange_insert(link), NO_SLOT);
    EXPECT_EQ(link.outside.get(), link.last);  // owned outside the table
    for (const auto& slot : link.slots) EXPECT_NE(slot.get(), link.last);

    // Its answer cannot be matched to it: the frame fills the highest
    // Pending exchange of the table instead.
    arrive(reader_frame(CODE_SPEED, 0, {{SO, {0x02}}}));
    EXPECT_EQ(await_answer(link, CODE_SPEED, 2), CODE_SPEED);
    EXPECT_FALSE(link.slots[31]);
}

TEST_F(ExchangeTableTest, FullTableReclaimsTheFirstDoneSlotFromTheFrameCount) {
    fill_table(link);
    link.slots[1]->state = EXCHANGE_DONE;
    link.slots[5]->state = EXCHANGE_DONE;
    link.sequence_counter = 32 + 3;  // start at slot 3
    link.last = exchange_create(CODE_BOOT_INFO, 0, link, EXCHANGE_PENDING, handle_response);
    EXPECT_EQ(exchange_insert(link), 5);
    EXPECT_EQ(link.slots[5]->code, CODE_BOOT_INFO);

    // From slot 6 the search wraps round to slot 1.
    link.sequence_counter = 6;
    link.last = exchange_create(CODE_BOOT_INFO, 0, link, EXCHANGE_PENDING, handle_response);
    EXPECT_EQ(exchange_insert(link), 1);
    EXPECT_EQ(link.slots[1]->code, CODE_BOOT_INFO);
}

TEST_F(ExchangeTableTest, InsertingTwiceKeepsOneSlot) {
    request_speed(link, 1, handle_response);
    EXPECT_EQ(exchange_insert(link), 0);
    EXPECT_EQ(occupied_slots(), 1u);
    link.last = nullptr;
    EXPECT_EQ(exchange_insert(link), NO_SLOT);
}

TEST_F(ExchangeTableTest, FindReturnsTheHighestMatchingSlot) {
    request_speed(link, 1, handle_response);
    request_boot_info(link, handle_response);
    request_speed(link, 2, handle_response);
    EXPECT_EQ(exchange_find(CODE_SPEED, 0, EXCHANGE_PENDING, link), link.slots[2].get());
    EXPECT_EQ(exchange_find(CODE_SPEED, 0, EXCHANGE_DONE, link), nullptr);
    EXPECT_EQ(exchange_find(CODE_SPEED, 1, EXCHANGE_PENDING, link), nullptr);
    link.slots[2]->state = EXCHANGE_DONE;
    EXPECT_EQ(exchange_find(CODE_SPEED, 0, EXCHANGE_PENDING, link), link.slots[0].get());
}

TEST_F(ExchangeTableTest, FreeClearsCurrentAndLast) {
    request_speed(link, 1, handle_response);
    arrive({0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E});  // a frame under way
    poll_all();
    ASSERT_EQ(link.current, link.slots[0].get());
    ASSERT_EQ(link.last, link.slots[0].get());
    exchange_free(link, link.slots[0].get());
    EXPECT_EQ(link.current, nullptr);
    EXPECT_EQ(link.last, nullptr);
    EXPECT_EQ(link.write_ptr, nullptr);
    EXPECT_EQ(link.rx_state, 0);
    exchange_free(link, nullptr);  // does nothing
    EXPECT_EQ(occupied_slots(), 0u);
}

TEST_F(ExchangeTableTest, FreeAllAbandonsTheFrameUnderWay) {
    request_speed(link, 1, handle_response);
    request_boot_info(link, handle_response);
    arrive({0x10, 0x02, 0x02, 0xF3, 0x00, 0x10, 0x0E});
    poll_all();
    ASSERT_EQ(link.rx_state, 6);
    exchange_free_all(link);
    EXPECT_EQ(occupied_slots(), 0u);
    EXPECT_EQ(link.rx_state, 0);
    EXPECT_EQ(link.current, nullptr);
    EXPECT_EQ(link.last, nullptr);
    EXPECT_EQ(link.frame_complete, 0);
    // What follows is searched for a new DLE STX.
    arrive({0x05, 0x10, 0x03, 0xEB});
    poll_all();
    EXPECT_EQ(occupied_slots(), 0u);
    EXPECT_EQ(link.outside, nullptr);
}

TEST_F(ExchangeTableTest, ReclaimingTheDoneExchangeOfAFailedFrameClearsCurrent) {
    fill_table(link);
    exchange_free(link, link.slots[0].get());
    // A frame with a bad check leaves its own Done exchange in slot 0.
    arrive(Bytes{0x10, 0x02, 0x02, 0xF2, 0x00, 0x10, 0x0E, 0x00, 0x10, 0x03, 0x00});
    poll_all();
    ASSERT_TRUE(link.slots[0]);
    ASSERT_EQ(link.slots[0]->state, EXCHANGE_DONE);
    ASSERT_EQ(link.current, link.slots[0].get());
    link.sequence_counter = 0;
    request_boot_info(link, handle_response);
    EXPECT_EQ(link.slots[0]->code, CODE_BOOT_INFO);
    EXPECT_EQ(link.current, nullptr);
}

TEST_F(ExchangeTableTest, UnplacedFrameExchangeIsOwnedAndFreedLater) {
    fill_table(link);
    // An unprompted 0xF2 finds the table full: it is received outside it
    // and its handler cannot find it.
    arrive(reader_frame(CODE_STARTED, 0, {{SO, {0x00}}}));
    link.answered = 0;
    poll_all();
    ASSERT_NE(link.outside, nullptr);
    EXPECT_EQ(link.outside->state, EXCHANGE_ANSWERED);
    EXPECT_EQ(link.answered, 0);

    // A new frame under way into an unplaced exchange, then a request
    // replaces the unplaced exchange: the frame is abandoned.
    arrive({0x10, 0x02, 0x02, 0xF2, 0x00, 0x10, 0x0E});
    poll_all();
    ASSERT_EQ(link.current, link.outside.get());
    request_boot_info(link, handle_response);
    EXPECT_EQ(link.current, nullptr);
    EXPECT_EQ(link.rx_state, 0);
    arrive({0x01, 0x02, 0x03, 0x10, 0x03, 0x00});
    poll_all();
    EXPECT_EQ(link.outside->code, CODE_BOOT_INFO);

    exchange_free_all(link);
    EXPECT_EQ(link.outside, nullptr);
    EXPECT_EQ(link.last, nullptr);
}

}  // namespace
}  // namespace korva::testing
