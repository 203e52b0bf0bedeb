// The wire log: when the environment variable KORVA_WIRE_LOG names a file,
// every byte written to and read from the reader goes there with a
// millisecond time stamp and its direction, and each frame is decoded for
// people: framed frames (code, subcode, sections, check good or bad) and PSS
// frames (address, control, data, CRC good or bad). The first line notes
// what opening did about the driver's latency. Off, the port holds no log and
// pays one pointer test per read or write.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace korva {

class WireLog {
  public:
    // The log named by KORVA_WIRE_LOG, or nullptr when the variable is unset
    // or empty, or when the file cannot be opened.
    static std::unique_ptr<WireLog> from_environment(Clock& clock);
    // Appends to the named file.
    static std::unique_ptr<WireLog> open(const std::string& path, Clock& clock);
    WireLog(std::FILE* file, Clock& clock) : file_(file), clock_(clock) {}
    ~WireLog();
    WireLog(const WireLog&) = delete;
    WireLog& operator=(const WireLog&) = delete;

    void written(const uint8_t* bytes, std::size_t count);
    void read(const uint8_t* bytes, std::size_t count);
    // A line about the port itself, marked '#' where the bytes have their
    // direction.
    void note(const std::string& text);

  private:
    // Decodes one direction's byte stream into framed frames; bytes outside a
    // framed frame are gathered and tried as a PSS frame.
    struct Decoder {
        enum class State { HUNT, AFTER_DLE, DIRECTION, CODE, SUBCODE, BODY, BODY_DLE, CHECK };
        State state = State::HUNT;
        uint8_t direction = 0;
        uint8_t code = 0;
        uint8_t subcode = 0;
        uint8_t check = 0;
        int section = -1;
        std::vector<uint8_t> sections[3];
        std::vector<uint8_t> loose;  // bytes outside a frame
    };

    void log_bytes(char arrow, const uint8_t* bytes, std::size_t count);
    void decode(Decoder& d, char arrow, uint8_t byte);
    void flush_loose(Decoder& d, char arrow);
    void line(char arrow, const std::string& text);

    std::FILE* file_;
    Clock& clock_;
    Decoder out_;
    Decoder in_;
};

// CRC-16 of the PSS frames (polynomial 0x8408 reflected, initial 0, no
// final XOR), computed here independently for the log.
uint16_t wire_log_crc16(const uint8_t* bytes, std::size_t count);

}  // namespace korva
