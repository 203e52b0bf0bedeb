// The transmit side of the frame format: stuffing and the XOR check byte.
#include "link/frames.h"

#include <algorithm>

namespace korva {

void emit_byte(SerialPort& port, uint8_t byte, bool stuff, uint8_t& check) {
    send_byte(port, byte);
    check ^= byte;
    if (stuff && byte == DLE) {
        send_byte(port, byte);
        check ^= byte;
    }
}

void emit_bytes(SerialPort& port, const uint8_t* bytes, uint8_t count, bool stuff, uint8_t& check) {
    if (bytes == nullptr) return;
    for (uint8_t i = 0; i < count; ++i) emit_byte(port, bytes[i], stuff, check);
}

namespace {

// emit_bytes for data of any length, in pieces of at most 255 bytes.
void emit_span(SerialPort& port, std::span<const uint8_t> bytes, bool stuff, uint8_t& check) {
    while (!bytes.empty()) {
        const auto piece = static_cast<uint8_t>(std::min<std::size_t>(bytes.size(), 255));
        emit_bytes(port, bytes.data(), piece, stuff, check);
        bytes = bytes.subspan(piece);
    }
}

}  // namespace

void send_frame(SerialPort& port, uint8_t code, uint8_t subcode, uint8_t mark,
                std::span<const uint8_t> lead, std::span<const uint8_t> body) {
    uint8_t check = 0;
    emit_span(port, frame_start, false, check);
    emit_byte(port, code, false, check);
    emit_byte(port, subcode, false, check);
    if (mark != NO_SECTION) {
        emit_byte(port, DLE, false, check);
        emit_byte(port, mark, false, check);
        emit_span(port, lead, true, check);
        emit_span(port, body, true, check);
    }
    emit_span(port, frame_end, false, check);
    // The check byte goes out as it is; writing it brings check back to 0.
    emit_byte(port, check, false, check);
}

}  // namespace korva
