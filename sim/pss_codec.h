// The raw protocol that the reader's TLA software speaks: address byte
// (PAD x 16 + 15), control byte, data length n, n data bytes, CRC-16 low
// byte then high byte over everything before it. Written for the virtual
// reader on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korva::sim {

// CRC-16 with the reflected CCITT polynomial 0x8408, initial value 0 and no
// final XOR; over "123456789" it is 0x2189.
uint16_t crc16_kermit(const uint8_t* data, std::size_t count);

struct PssFrame {
    uint8_t address = 0;
    uint8_t control = 0;
    std::vector<uint8_t> data;
};

// The wire bytes of a frame, CRC included.
std::vector<uint8_t> build_pss_frame(const PssFrame& frame);

// Cuts PSS frames out of a byte stream. A pause of more than GAP_NS between
// two bytes starts afresh; bytes that cannot start a frame and frames whose
// CRC is wrong are skipped.
class PssParser {
  public:
    static constexpr int64_t GAP_NS = 50'000'000;  // 50 ms
    static constexpr std::size_t MAX_DATA = 64;

    // True when the byte, arrived at at_ns, completed a frame with a good CRC.
    bool push(uint8_t byte, int64_t at_ns);
    const PssFrame& frame() const { return frame_; }
    unsigned bad_crcs() const { return bad_crcs_; }

  private:
    std::vector<uint8_t> buffer_;
    int64_t last_ns_ = 0;
    PssFrame frame_;
    unsigned bad_crcs_ = 0;
};

}  // namespace korva::sim
