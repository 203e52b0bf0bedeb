// The receive side: the byte-by-byte state machine that unframes the
// reader's frames into exchanges, the poll that feeds it, the timed wait,
// and the link's opening and closing.
#include <algorithm>

#include "link/frames.h"
#include "link/link.h"
#include "link/reader_waits.h"

namespace korva {

namespace {

// Receive states.
constexpr uint8_t AWAIT_DLE = 0;
constexpr uint8_t AWAIT_STX = 1;
constexpr uint8_t AWAIT_DIRECTION = 2;
constexpr uint8_t AWAIT_CODE = 3;
constexpr uint8_t AWAIT_SUBCODE = 4;
constexpr uint8_t AWAIT_SECTION_DLE = 5;
constexpr uint8_t IN_BODY = 6;
constexpr uint8_t AWAIT_CHECK = 7;

// A start bit, eight data bits and a stop bit.
constexpr int64_t BITS_PER_BYTE = 10;
// The line's speed when the settings name none.
constexpr uint32_t DEFAULT_BAUD = 9600;
// A wait that has not yet seen its deadline pass.
constexpr int64_t NO_GRACE_END = -1;
// A wait that has taken no byte yet.
constexpr int64_t NO_BYTE = -1;

// Stores one section data byte, or drops it when the section is full.
void store_data_byte(ReaderLink& link, uint8_t byte) {
    if (link.room == 0 || link.write_ptr == nullptr) return;
    *link.write_ptr++ = byte;
    --link.room;
}

// Step A: the subcode completes the header; find the request waiting for
// this frame, or give the frame an exchange of its own.
uint8_t match_frame(ReaderLink& link, uint8_t subcode) {
    link.check ^= subcode;
    link.write_ptr = nullptr;
    link.room = 0;
    link.current = exchange_find(link.frame_code, subcode, EXCHANGE_PENDING, link);
    if (link.current != nullptr) return AWAIT_SECTION_DLE;
    Exchange* created =
        exchange_create(link.frame_code, subcode, link, EXCHANGE_PENDING, handle_report);
    if (created == nullptr) return AWAIT_DLE;  // no descriptor: skip the frame
    link.current = created;
    link.last = created;
    exchange_insert(link);
    return AWAIT_SECTION_DLE;
}

// Step B: a byte of the frame body.
uint8_t body_byte(ReaderLink& link, uint8_t byte) {
    link.check ^= byte;
    Exchange* e = link.current;
    if (e == nullptr) return AWAIT_DLE;
    if (!link.dle_pending) {
        if (byte == DLE) {
            link.dle_pending = 1;
        } else {
            store_data_byte(link, byte);
        }
        return IN_BODY;
    }
    link.dle_pending = 0;
    switch (byte) {
        case SO:
        case SI:
        case US: {
            const std::size_t index = byte == SO ? 0 : byte == SI ? 1 : 2;
            // A section holds capacity + 1 bytes; at most capacity are written.
            link.write_ptr = e->section[index].data();
            link.room = e->capacity[index];
            return IN_BODY;
        }
        case DLE:
            if (link.room == 0) return AWAIT_DLE;  // abandoned; the exchange keeps its state
            store_data_byte(link, DLE);
            return IN_BODY;
        case ETX:
            return AWAIT_CHECK;
        default:
            e->state = EXCHANGE_DONE;
            return AWAIT_DLE;
    }
}

// Step C: the check byte ends the frame.
uint8_t check_byte(ReaderLink& link, uint8_t byte) {
    Exchange* e = link.current;
    link.write_ptr = nullptr;
    link.room = 0;
    if (e == nullptr) return AWAIT_DLE;
    e->check_received = byte;
    if (byte == link.check) {
        link.frame_complete = 1;
        e->state = EXCHANGE_ANSWERED;
        link.last = e;
        link.current = nullptr;
        ++link.sequence_counter;
    } else {
        e->state = EXCHANGE_DONE;
    }
    return AWAIT_DLE;
}

// How long one read of the port's time-outs lasts when nothing comes.
int64_t idle_read_ms(const SerialPort& port) {
    const int64_t chunk = std::min(port.read_chunk, READ_CHUNK);
    return static_cast<int64_t>(port.time_outs.constant) + port.time_outs.multiplier * chunk;
}

// A frame is under way when the receiver is inside one, or when bytes that
// were read still wait in the ring, and its last byte came within one idle
// read: receiver state left by a stray byte long ago is no frame coming.
bool frame_under_way(const ReaderLink& link, const SerialPort& port, int64_t last_byte_ms,
                     int64_t now_ms) {
    if (link.rx_state == AWAIT_DLE && port.rx_count == 0) return false;
    return last_byte_ms != NO_BYTE && now_ms - last_byte_ms <= idle_read_ms(port);
}

// How long a frame under way at a wait's deadline may take to finish: the
// longest frame's time on the wire at the line's speed, and one idle read
// of the port's time-outs for its last bytes to be taken in.
int64_t frame_grace_ms(const SerialPort& port) {
    const uint32_t baud =
        port.line_settings.baud_rate != 0 ? port.line_settings.baud_rate : DEFAULT_BAUD;
    const int64_t bits = static_cast<int64_t>(longest_frame_length()) * BITS_PER_BYTE;
    const int64_t wire_ms = (bits * 1000 + baud - 1) / baud;
    return wire_ms + idle_read_ms(port);
}

}  // namespace

uint8_t receive_byte(ReaderLink& link, uint8_t byte) {
    switch (link.rx_state) {
        case AWAIT_DLE:
            if (byte != DLE) return AWAIT_DLE;
            link.check = DLE;
            link.room = 0;
            link.write_ptr = nullptr;
            link.dle_pending = 0;
            return AWAIT_STX;
        case AWAIT_STX:
            if (byte != STX) return AWAIT_DLE;
            link.check ^= byte;
            return AWAIT_DIRECTION;
        case AWAIT_DIRECTION:
            if (byte != DIRECTION_TO_READER && byte != DIRECTION_FROM_READER) return AWAIT_DLE;
            link.check ^= byte;
            return AWAIT_CODE;
        case AWAIT_CODE:
            link.frame_code = byte;
            link.check ^= byte;
            return AWAIT_SUBCODE;
        case AWAIT_SUBCODE:
            return match_frame(link, byte);
        case AWAIT_SECTION_DLE:
            if (byte != DLE) {
                exchange_free(link, link.current);
                link.current = nullptr;
                return AWAIT_DLE;
            }
            link.check ^= byte;
            link.dle_pending = 1;
            return IN_BODY;
        case IN_BODY:
            return body_byte(link, byte);
        case AWAIT_CHECK:
            return check_byte(link, byte);
        default:
            return AWAIT_DLE;
    }
}

uint8_t link_poll(ReaderLink& link) {
    if (link.port == nullptr) return 0;
    SerialPort& port = *link.port;
    if (port.rx_count == 0) fill_receive_ring(port);
    if (port.rx_count == 0) return 0;
    link.rx_state = receive_byte(link, take_received_byte(port));
    if (link.frame_complete) {
        if (Exchange* e = link.last; e != nullptr && e->handler != nullptr) {
            // The handler frees the exchange: take what it needs first.
            const ResponseHandler handler = e->handler;
            handler(link, e->code, e->subcode);
        }
        link.frame_complete = 0;
    }
    return 1;
}

uint8_t await_answer(ReaderLink& link, uint8_t code, uint8_t seconds) {
    if (link.clock == nullptr) return 0;
    Clock& clock = *link.clock;
    const int64_t deadline = clock.calendar_seconds() + seconds;
    int64_t grace_end = NO_GRACE_END;
    int64_t last_byte_ms = NO_BYTE;
    link.answered = 0;
    while (link.answered != code) {
        // A device that is gone sends nothing more: no wait waits for it,
        // once the bytes it sent before are taken in.
        if (link.port != nullptr && port_gone(*link.port) && link.port->rx_count == 0) break;
        if (clock.calendar_seconds() > deadline) {
            // The deadline is not a frame boundary: a read begun before it
            // may have brought the first bytes of the answer. A frame under
            // way is received to its end, within the time the longest frame
            // takes; with nothing under way the wait ends here.
            const int64_t now = clock.calendar_ms();
            if (link.port == nullptr || !frame_under_way(link, *link.port, last_byte_ms, now))
                break;
            if (grace_end == NO_GRACE_END) grace_end = now + frame_grace_ms(*link.port);
            if (now >= grace_end) break;
        }
        const int64_t before = clock.calendar_ms();
        if (link_poll(link) != 0) {
            last_byte_ms = clock.calendar_ms();
        } else if (clock.calendar_ms() == before) {
            // The read came back empty without waiting (a broken or closed
            // line): wait a little rather than spin.
            clock.sleep_ms(waits::EMPTY_READ_BACKOFF_MS);
        }
    }
    if (link.answered == code) return code;
    exchange_free_all(link);
    return 0;
}

void link_open(ReaderLink& link, SerialPort& port, Clock& clock) {
    reset_rings(port);
    fill_receive_ring(port);
    exchange_free_all(link);
    link = ReaderLink{};
    link.port = &port;
    link.clock = &clock;
    link_poll(link);
    clock.sleep_ms(waits::LINK_OPEN_SETTLE_MS);
}

void link_close(ReaderLink& link) {
    exchange_free_all(link);
}

}  // namespace korva
