// The two response handlers: they copy what the console needs from a
// completed frame into the ReaderRecord, mark the code answered and free the
// exchange.
#include <algorithm>
#include <cstring>

#include "link/link.h"

namespace korva {

namespace {

constexpr std::size_t SECTION_SO = 0;
constexpr std::size_t SECTION_SI = 1;

// Byte i of a section; 0 outside the section's storage.
uint8_t section_byte(const Exchange& e, std::size_t section, std::size_t i) {
    const auto& bytes = e.section[section];
    return i < bytes.size() ? bytes[i] : 0;
}

// Copies a whole section (its full capacity, as far as the record holds)
// to the start of the record's data buffer.
void copy_section(const Exchange& e, std::size_t section, ReaderRecord& record) {
    const auto& bytes = e.section[section];
    const std::size_t count =
        std::min({static_cast<std::size_t>(e.capacity[section]), bytes.size(), record.data.size()});
    if (count > 0) std::memcpy(record.data.data(), bytes.data(), count);
}

// Takes the Answered exchange of this code and subcode out of play: it is
// Done from now on. None when there is no such exchange.
Exchange* claim_answered(ReaderLink& link, uint8_t code, uint8_t subcode) {
    link.last = exchange_find(code, subcode, EXCHANGE_ANSWERED, link);
    if (link.last != nullptr) link.last->state = EXCHANGE_DONE;
    return link.last;
}

// The answer to the download start, to a data packet, or to the last packet.
void download_answer(const Exchange& e, ReaderRecord& record) {
    switch (record.ack_state) {
        case 0:
            record.status = section_byte(e, SECTION_SO, 0);
            record.ack_state = 1;
            break;
        case 1:
            record.status = section_byte(e, SECTION_SO, 0);
            if (record.sequence != 0) {
                record.sequence = section_byte(e, SECTION_SI, 0);
                record.ack_check = e.check_received;
            } else {
                record.reader_sum = (uint32_t{section_byte(e, SECTION_SI, 3)} << 16) |
                                    (uint32_t{section_byte(e, SECTION_SI, 4)} << 8) |
                                    section_byte(e, SECTION_SI, 5);
                record.ack_state = 2;
            }
            break;
        default:
            break;  // the download is over: nothing changes
    }
}

}  // namespace

void handle_response(ReaderLink& link, uint8_t code, uint8_t subcode) {
    Exchange* e = claim_answered(link, code, subcode);
    if (e == nullptr) return;
    ReaderRecord unhung;  // stands in when no record hangs on the link
    ReaderRecord& record = link.record != nullptr ? *link.record : unhung;
    switch (code) {
        case CODE_DOWNLOAD:
            download_answer(*e, record);
            link.answered = code;
            break;
        case CODE_SPEED:
        case CODE_ERASE:
            record.status = section_byte(*e, SECTION_SO, 0);
            link.answered = code;
            break;
        case CODE_SIGNATURE:
            record.ack_state = section_byte(*e, SECTION_SO, 0);
            copy_section(*e, SECTION_SI, record);
            link.answered = code;
            break;
        case CODE_BOOT_INFO:
            copy_section(*e, SECTION_SI, record);
            link.answered = code;
            break;
        default:
            break;
    }
    exchange_free(link, e);
}

void handle_report(ReaderLink& link, uint8_t code, uint8_t subcode) {
    Exchange* e = claim_answered(link, code, subcode);
    if (e == nullptr) return;
    ReaderRecord unhung;
    ReaderRecord& record = link.record != nullptr ? *link.record : unhung;
    switch (code) {
        case CODE_STARTED:
            link.answered = code;
            break;
        case CODE_REPORT:
        case CODE_BLOCK_LIST:
            copy_section(*e, SECTION_SO, record);
            link.answered = code;
            break;
        default:
            break;  // nobody asked for it: freed without trace
    }
    exchange_free(link, e);
}

}  // namespace korva
