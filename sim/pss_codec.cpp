#include "sim/pss_codec.h"

namespace korva::sim {

uint16_t crc16_kermit(const uint8_t* data, std::size_t count) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc;
}

std::vector<uint8_t> build_pss_frame(const PssFrame& frame) {
    std::vector<uint8_t> out;
    out.reserve(frame.data.size() + 5);
    out.push_back(frame.address);
    out.push_back(frame.control);
    out.push_back(static_cast<uint8_t>(frame.data.size()));
    for (uint8_t b : frame.data) out.push_back(b);
    const uint16_t crc = crc16_kermit(out.data(), out.size());
    out.push_back(static_cast<uint8_t>(crc & 0xFF));
    out.push_back(static_cast<uint8_t>(crc >> 8));
    return out;
}

bool PssParser::push(uint8_t byte, int64_t at_ns) {
    if (!buffer_.empty() && at_ns - last_ns_ > GAP_NS) buffer_.clear();
    last_ns_ = at_ns;
    buffer_.push_back(byte);
    for (;;) {
        if (buffer_.empty()) return false;
        if ((buffer_[0] & 0x0F) != 0x0F) {  // not an address byte
            buffer_.erase(buffer_.begin());
            continue;
        }
        if (buffer_.size() < 3) return false;
        const std::size_t n = buffer_[2];
        if (n > MAX_DATA) {
            buffer_.erase(buffer_.begin());
            continue;
        }
        if (buffer_.size() < 5 + n) return false;
        const uint16_t crc = crc16_kermit(buffer_.data(), 3 + n);
        if (buffer_[3 + n] == (crc & 0xFF) && buffer_[4 + n] == (crc >> 8)) {
            frame_.address = buffer_[0];
            frame_.control = buffer_[1];
            frame_.data.assign(buffer_.begin() + 3,
                               buffer_.begin() + 3 + static_cast<std::ptrdiff_t>(n));
            buffer_.erase(buffer_.begin(), buffer_.begin() + 5 + static_cast<std::ptrdiff_t>(n));
            return true;
        }
        ++bad_crcs_;
        buffer_.erase(buffer_.begin());
    }
}

}  // namespace korva::sim
