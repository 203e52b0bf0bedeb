// The maintenance frame format as the reader sees it: DLE STX, a direction
// byte, the code, the subcode, sections (DLE and a mark, then data with every
// DLE doubled), DLE ETX and an XOR check byte over everything before it.
// Written for the virtual reader on its own; the utility has its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korva::sim {

constexpr uint8_t DLE = 0x10;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t MARK_SO = 0x0E;
constexpr uint8_t MARK_SI = 0x0F;
constexpr uint8_t MARK_US = 0x1F;

// The codes of the frames this reader knows.
constexpr uint8_t CODE_DOWNLOAD = 0xF1;
constexpr uint8_t CODE_STARTED = 0xF2;
constexpr uint8_t CODE_SPEED = 0xF3;
constexpr uint8_t CODE_SIGNATURE = 0xF4;
constexpr uint8_t CODE_BOOT_INFO = 0xF7;
constexpr uint8_t CODE_HOLD_1 = 0xF9;
constexpr uint8_t CODE_REPORT = 0xFA;
constexpr uint8_t CODE_BLOCK_LIST = 0xFB;
constexpr uint8_t CODE_RESET = 0xFC;
constexpr uint8_t CODE_HOLD_2 = 0xFD;
constexpr uint8_t CODE_ERASE = 0xFF;

// One section of a frame: its mark (SO, SI or US) and its data.
struct Section {
    uint8_t mark = MARK_SO;
    std::vector<uint8_t> data;
};

struct Frame {
    uint8_t direction = 0x02;
    uint8_t code = 0;
    uint8_t subcode = 0;
    std::vector<Section> sections;  // in wire order

    // The data of the first section with this mark; nullptr when absent.
    const std::vector<uint8_t>* section(uint8_t mark) const;
};

// The wire bytes of a frame, check byte included.
std::vector<uint8_t> build_frame(const Frame& frame);

// Unframes a byte stream. push() returns true when the byte completed a frame
// whose check byte is right; frame() then holds it until the next push.
// Frames with a wrong check byte or a broken control sequence are dropped,
// and the parser hunts for the next DLE STX.
class FrameParser {
  public:
    // Section data beyond this many bytes abandons the frame.
    static constexpr std::size_t MAX_SECTION = 512;

    bool push(uint8_t byte);
    const Frame& frame() const { return frame_; }
    // Frames dropped for a wrong check byte since the start.
    unsigned bad_checks() const { return bad_checks_; }

  private:
    enum class State { Hunt, Stx, Direction, Code, Subcode, SectionDle, Body, Check };
    void restart() { state_ = State::Hunt; }

    State state_ = State::Hunt;
    Frame frame_;
    Section* current_ = nullptr;  // section being filled, none before a mark
    bool dle_pending_ = false;
    uint8_t check_ = 0;
    unsigned bad_checks_ = 0;
};

}  // namespace korva::sim
