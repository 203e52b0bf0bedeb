// The table of open exchanges: creation from the descriptor table, insertion
// with reclaiming of Done slots, lookup and freeing.
//
// Ownership: an exchange belongs either to one slot of the table or, between
// its creation and its insertion (or for good when the table is full), to
// the link's `outside` holder. `current` and `last` only ever point at an
// exchange owned in one of these places; freeing an exchange clears them.
#include <algorithm>
#include <memory>

#include "link/frames.h"
#include "link/link.h"

namespace korva {

namespace {

struct ExchangeDescriptor {
    uint8_t code;
    uint8_t subcode;
    std::array<uint8_t, 3> capacity;  // SO, SI, US
};

// Searched from the top; the first row with the same code and subcode wins.
// The row 0xFF 0xFF ends the table.
constexpr ExchangeDescriptor DESCRIPTORS[] = {
    {0xFA, 0x00, {129, 0, 0}},  // unprompted report
    {0xF1, 0x00, {1, 6, 0}},    // download
    {0xFF, 0x00, {1, 1, 0}},    // erase
    {0xF4, 0x00, {1, 128, 0}},  // signature
    {0xF5, 0x00, {2, 0, 0}},   {0xAF, 0x00, {1, 0, 0}}, {0xF3, 0x00, {1, 0, 0}},  // speed
    {0xF2, 0x00, {1, 0, 0}},                                                      // reader started
    {0xF7, 0x00, {1, 70, 0}},   // boot information
    {0xFB, 0x00, {252, 1, 0}},  // block list
    {0xFF, 0xFF, {0, 0, 0}},    // end of table
};

bool is_end(const ExchangeDescriptor& row) {
    return row.code == 0xFF && row.subcode == 0xFF;
}

// Stops the frame being received into an exchange that is going away.
void abandon_frame(ReaderLink& link) {
    link.current = nullptr;
    link.write_ptr = nullptr;
    link.room = 0;
    link.dle_pending = 0;
    link.rx_state = 0;
}

}  // namespace

std::size_t longest_frame_length() {
    // DLE STX, direction, code, subcode; DLE ETX; the check byte.
    constexpr std::size_t framing = 5 + 2 + 1;
    std::size_t longest = 0;
    for (const ExchangeDescriptor& row : DESCRIPTORS) {
        if (is_end(row)) break;
        std::size_t length = framing;
        for (uint8_t capacity : row.capacity) length += 2 + 2u * capacity;  // mark, doubled data
        longest = std::max(longest, length);
    }
    return longest;
}

Exchange* exchange_create(uint8_t code, uint8_t subcode, ReaderLink& link, uint8_t state,
                          ResponseHandler handler) {
    for (const ExchangeDescriptor& row : DESCRIPTORS) {
        if (is_end(row)) break;
        if (row.code != code || row.subcode != subcode) continue;
        auto exchange = std::make_unique<Exchange>();
        exchange->code = code;
        exchange->subcode = subcode;
        exchange->state = state;
        exchange->capacity = row.capacity;
        // One spare byte each; zeroed, so a copy of a whole section never
        // carries stale memory.
        for (std::size_t i = 0; i < exchange->section.size(); ++i) {
            exchange->section[i].assign(row.capacity[i] + 1u, 0);
        }
        exchange->handler = handler;
        // An earlier exchange that never made it into the table is given up
        // now: nothing could find it any more.
        exchange_free(link, link.outside.get());
        link.outside = std::move(exchange);
        return link.outside.get();
    }
    return nullptr;
}

uint8_t exchange_insert(ReaderLink& link) {
    Exchange* exchange = link.last;
    if (exchange == nullptr) return NO_SLOT;
    for (uint8_t i = 0; i < SLOT_COUNT; ++i) {
        if (link.slots[i].get() == exchange) return i;  // already in the table
    }
    if (link.outside.get() != exchange) return NO_SLOT;

    for (uint8_t i = 0; i < SLOT_COUNT; ++i) {
        if (!link.slots[i]) {
            link.slots[i] = std::move(link.outside);
            return i;
        }
    }
    const uint8_t start = link.sequence_counter % SLOT_COUNT;
    for (uint8_t k = 0; k < SLOT_COUNT; ++k) {
        const uint8_t i = (start + k) % SLOT_COUNT;
        if (link.slots[i]->state == EXCHANGE_DONE) {
            exchange_free(link, link.slots[i].get());
            link.slots[i] = std::move(link.outside);
            return i;
        }
    }
    // Every slot is Pending or Answered: the exchange stays outside.
    return NO_SLOT;
}

Exchange* exchange_find(uint8_t code, uint8_t subcode, uint8_t state, ReaderLink& link) {
    for (int i = SLOT_COUNT - 1; i >= 0; --i) {
        Exchange* e = link.slots[i].get();
        if (e != nullptr && e->code == code && e->subcode == subcode && e->state == state) {
            return e;
        }
    }
    return nullptr;
}

void exchange_free(ReaderLink& link, Exchange* exchange) {
    if (exchange == nullptr) return;
    std::unique_ptr<Exchange> owned;
    for (auto& slot : link.slots) {
        if (slot.get() == exchange) owned = std::move(slot);
    }
    if (link.outside.get() == exchange) owned = std::move(link.outside);
    if (!owned) return;  // not the link's: leave it alone
    if (link.current == exchange) abandon_frame(link);
    if (link.last == exchange) link.last = nullptr;
}

void exchange_free_all(ReaderLink& link) {
    for (auto& slot : link.slots) exchange_free(link, slot.get());
    exchange_free(link, link.outside.get());
    abandon_frame(link);
    link.frame_complete = 0;
}

}  // namespace korva
