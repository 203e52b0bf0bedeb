#include "serial/wire_log.h"

#include "serial/wire_log_file.h"

namespace korva {

namespace {

constexpr uint8_t DLE_BYTE = 0x10;
constexpr uint8_t STX_BYTE = 0x02;
constexpr uint8_t ETX_BYTE = 0x03;
constexpr std::size_t SECTION_LOG_LIMIT = 512;
const char* const SECTION_NAMES[3] = {"SO", "SI", "US"};

std::string hex(const uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i) text.push_back(' ');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

std::string hex_byte(uint8_t b) {
    return hex(&b, 1);
}

std::string timestamp(int64_t ms) {
    const int64_t secs = ms / 1000;
    const int64_t day_secs = ((secs % 86400) + 86400) % 86400;
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(day_secs / 3600),
                  static_cast<int>(day_secs / 60 % 60), static_cast<int>(day_secs % 60),
                  static_cast<int>(((ms % 1000) + 1000) % 1000));
    return text;
}

}  // namespace

uint16_t wire_log_crc16(const uint8_t* bytes, std::size_t count) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc;
}

std::unique_ptr<WireLog> WireLog::from_environment(Clock& clock) {
    const std::string path = wire_log_variable();
    if (path.empty()) return nullptr;
    return open(path, clock);
}

std::unique_ptr<WireLog> WireLog::open(const std::string& path, Clock& clock) {
    std::FILE* file = open_to_append(path);  // bytes: the same LF lines on every platform
    if (file == nullptr) return nullptr;
    return std::make_unique<WireLog>(file, clock);
}

WireLog::~WireLog() {
    flush_loose(out_, '>');
    flush_loose(in_, '<');
    std::fclose(file_);
}

void WireLog::written(const uint8_t* bytes, std::size_t count) {
    log_bytes('>', bytes, count);
}

void WireLog::read(const uint8_t* bytes, std::size_t count) {
    log_bytes('<', bytes, count);
}

void WireLog::note(const std::string& text) {
    line('#', text);
}

void WireLog::line(char arrow, const std::string& text) {
    std::fprintf(file_, "%s %c %s\n", timestamp(clock_.calendar_ms()).c_str(), arrow, text.c_str());
}

void WireLog::log_bytes(char arrow, const uint8_t* bytes, std::size_t count) {
    if (count == 0) return;
    line(arrow, hex(bytes, count));
    Decoder& d = arrow == '>' ? out_ : in_;
    for (std::size_t i = 0; i < count; ++i) decode(d, arrow, bytes[i]);
    std::fflush(file_);
}

// Bytes outside framed frames: a PSS frame when its length byte and CRC fit,
// otherwise plain bytes.
void WireLog::flush_loose(Decoder& d, char arrow) {
    std::vector<uint8_t>& b = d.loose;
    if (b.empty()) return;
    if (b.size() >= 5 && static_cast<std::size_t>(b[2]) + 5 == b.size()) {
        const std::size_t n = b[2];
        const uint16_t crc = wire_log_crc16(b.data(), n + 3);
        const uint16_t carried = static_cast<uint16_t>(b[n + 3] | (b[n + 4] << 8));
        line(arrow, "PSS frame address " + hex_byte(b[0]) + " (PAD " + std::to_string(b[0] >> 4) +
                        ") control " + hex_byte(b[1]) + " data [" + hex(b.data() + 3, n) +
                        "] CRC " + hex(b.data() + n + 3, 2) + (crc == carried ? " good" : " BAD"));
    } else {
        line(arrow, "raw " + std::to_string(b.size()) + " bytes outside a frame");
    }
    b.clear();
}

void WireLog::decode(Decoder& d, char arrow, uint8_t byte) {
    using S = Decoder::State;
    switch (d.state) {
        case S::HUNT:
            if (byte == DLE_BYTE) {
                d.state = S::AFTER_DLE;
            } else {
                d.loose.push_back(byte);
                // A PSS frame is complete once its announced length is in.
                if (d.loose.size() >= 3 &&
                    d.loose.size() == static_cast<std::size_t>(d.loose[2]) + 5)
                    flush_loose(d, arrow);
            }
            return;
        case S::AFTER_DLE:
            if (byte == STX_BYTE) {
                flush_loose(d, arrow);
                d.check = DLE_BYTE ^ STX_BYTE;
                d.state = S::DIRECTION;
                for (auto& s : d.sections) s.clear();
                d.section = -1;
            } else {
                d.loose.push_back(DLE_BYTE);
                d.loose.push_back(byte);
                d.state = S::HUNT;
            }
            return;
        case S::DIRECTION:
            d.direction = byte;
            d.check ^= byte;
            d.state = S::CODE;
            return;
        case S::CODE:
            d.code = byte;
            d.check ^= byte;
            d.state = S::SUBCODE;
            return;
        case S::SUBCODE:
            d.subcode = byte;
            d.check ^= byte;
            d.state = S::BODY;
            return;
        case S::BODY:
            d.check ^= byte;
            if (byte == DLE_BYTE) {
                d.state = S::BODY_DLE;
            } else if (d.section >= 0 && d.sections[d.section].size() < SECTION_LOG_LIMIT) {
                d.sections[d.section].push_back(byte);
            }
            return;
        case S::BODY_DLE:
            d.check ^= byte;
            d.state = S::BODY;
            if (byte == 0x0E || byte == 0x0F || byte == 0x1F) {
                d.section = byte == 0x0E ? 0 : byte == 0x0F ? 1 : 2;
                d.sections[d.section].clear();
            } else if (byte == DLE_BYTE) {
                if (d.section >= 0 && d.sections[d.section].size() < SECTION_LOG_LIMIT)
                    d.sections[d.section].push_back(DLE_BYTE);
            } else if (byte == ETX_BYTE) {
                d.state = S::CHECK;
            } else {
                line(arrow, "frame " + hex_byte(d.code) + "/" + hex_byte(d.subcode) +
                                " broken by DLE " + hex_byte(byte));
                d.state = S::HUNT;
            }
            return;
        case S::CHECK: {
            std::string text = "frame " + hex_byte(d.code) + "/" + hex_byte(d.subcode) +
                               " direction " + hex_byte(d.direction);
            for (int i = 0; i < 3; ++i) {
                if (d.sections[i].empty()) continue;
                text += std::string(" ") + SECTION_NAMES[i] + "[" +
                        std::to_string(d.sections[i].size()) + "] " +
                        hex(d.sections[i].data(), d.sections[i].size());
            }
            text += " check " + hex_byte(byte) + (byte == d.check ? " good" : " BAD");
            line(arrow, text);
            d.state = S::HUNT;
            return;
        }
    }
}

}  // namespace korva
