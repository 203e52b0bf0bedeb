// The framed maintenance protocol with the reader: frames, the exchange
// table, the receiver, the request catalogue and the response handlers.
//
// A command writes a request's parameters into the ReaderRecord, calls a
// request routine (which writes the frame and registers a Pending exchange),
// then await_answer() for the response code, then reads the record.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "serial/serial_port.h"

namespace korva {

// Control bytes of a frame.
constexpr uint8_t DLE = 0x10;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t SO = 0x0E;
constexpr uint8_t SI = 0x0F;
constexpr uint8_t US = 0x1F;

// Command codes in use.
constexpr uint8_t CODE_DOWNLOAD = 0xF1;
constexpr uint8_t CODE_STARTED = 0xF2;
constexpr uint8_t CODE_SPEED = 0xF3;
constexpr uint8_t CODE_SIGNATURE = 0xF4;
constexpr uint8_t CODE_BOOT_INFO = 0xF7;
constexpr uint8_t CODE_HOLD_FIRST = 0xF9;
constexpr uint8_t CODE_REPORT = 0xFA;
constexpr uint8_t CODE_BLOCK_LIST = 0xFB;
constexpr uint8_t CODE_RESET = 0xFC;
constexpr uint8_t CODE_HOLD_SECOND = 0xFD;
constexpr uint8_t CODE_ERASE = 0xFF;

// Exchange states.
constexpr uint8_t EXCHANGE_PENDING = 1;
constexpr uint8_t EXCHANGE_ANSWERED = 2;
constexpr uint8_t EXCHANGE_DONE = 3;

constexpr uint8_t SLOT_COUNT = 32;
constexpr uint8_t NO_SLOT = 0xFF;
constexpr std::size_t RECORD_DATA_SIZE = 253;

struct ReaderLink;
using ResponseHandler = void (*)(ReaderLink& link, uint8_t code, uint8_t subcode);

// Request parameters going out and answer values coming in.
struct ReaderRecord {
    uint8_t param = 0;
    uint8_t sequence = 0;
    uint32_t reader_sum = 0;
    uint8_t ack_state = 0;
    uint8_t status = 0;
    std::array<uint8_t, RECORD_DATA_SIZE> data{};
    uint8_t data_len = 252;
    uint8_t ack_check = 0;
};

struct Exchange {
    uint8_t code = 0;
    uint8_t subcode = 0;
    uint8_t state = 0;
    std::array<std::vector<uint8_t>, 3> section;  // capacity + 1 bytes each
    std::array<uint8_t, 3> capacity{};
    ResponseHandler handler = nullptr;
    uint8_t check_received = 0;
};

struct ReaderLink {
    SerialPort* port = nullptr;
    Clock* clock = nullptr;
    ReaderRecord* record = nullptr;

    uint8_t answered = 0;
    uint8_t* write_ptr = nullptr;
    uint8_t frame_code = 0;
    uint8_t rx_state = 0;
    uint8_t frame_complete = 0;
    uint8_t room = 0;
    uint8_t check = 0;
    uint8_t dle_pending = 0;
    uint8_t sequence_counter = 0;
    // current and last point at an exchange owned by a slot or by outside,
    // or are null; freeing an exchange clears them.
    Exchange* current = nullptr;
    Exchange* last = nullptr;
    std::array<std::unique_ptr<Exchange>, SLOT_COUNT> slots;
    // The exchange last created, until it is inserted; one that found the
    // table full stays here until the next exchange_create or a time-out.
    std::unique_ptr<Exchange> outside;
};

// Frames.
void emit_byte(SerialPort& port, uint8_t byte, bool stuff, uint8_t& check);
void emit_bytes(SerialPort& port, const uint8_t* bytes, uint8_t count, bool stuff, uint8_t& check);

// Link life.
void link_open(ReaderLink& link, SerialPort& port, Clock& clock);
void link_close(ReaderLink& link);

// Exchange table.
Exchange* exchange_create(uint8_t code, uint8_t subcode, ReaderLink& link, uint8_t state,
                          ResponseHandler handler);
uint8_t exchange_insert(ReaderLink& link);
Exchange* exchange_find(uint8_t code, uint8_t subcode, uint8_t state, ReaderLink& link);
void exchange_free(ReaderLink& link, Exchange* exchange);
void exchange_free_all(ReaderLink& link);

// Reception.
uint8_t receive_byte(ReaderLink& link, uint8_t byte);
uint8_t link_poll(ReaderLink& link);
// The code when it was answered within the given seconds, 0 on time-out
// (which discards every open exchange). A frame under way when the deadline
// passes (a byte of it came within one idle read) is received to its end
// first (bounded by the longest frame's time on the wire and one idle read);
// if it is the answer, the wait returns it. Returns 0 at once when the
// port's device is gone.
uint8_t await_answer(ReaderLink& link, uint8_t code, uint8_t seconds);

// Request catalogue.
void request_boot_info(ReaderLink& link, ResponseHandler handler);
void request_block_list(ReaderLink& link, ResponseHandler handler);
void request_speed(ReaderLink& link, uint8_t rate_code, ResponseHandler handler);
void request_reset(ReaderLink& link);
void send_hold_pair(ReaderLink& link);
void request_erase(ReaderLink& link, uint8_t subcode, ResponseHandler handler);
void request_download_start(ReaderLink& link, uint8_t subcode, ResponseHandler handler);
void request_download_block(ReaderLink& link, uint8_t subcode, ResponseHandler handler);
void request_signature(ReaderLink& link, const uint8_t* data, uint8_t count, uint8_t param,
                       ResponseHandler handler);

// Response handlers.
void handle_response(ReaderLink& link, uint8_t code, uint8_t subcode);
void handle_report(ReaderLink& link, uint8_t code, uint8_t subcode);

}  // namespace korva
