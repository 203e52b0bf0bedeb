#include "sim/frame_codec.h"

namespace korva::sim {

const std::vector<uint8_t>* Frame::section(uint8_t mark) const {
    for (const Section& s : sections)
        if (s.mark == mark) return &s.data;
    return nullptr;
}

std::vector<uint8_t> build_frame(const Frame& frame) {
    std::vector<uint8_t> out{DLE, STX, frame.direction, frame.code, frame.subcode};
    for (const Section& s : frame.sections) {
        out.push_back(DLE);
        out.push_back(s.mark);
        for (uint8_t b : s.data) {
            out.push_back(b);
            if (b == DLE) out.push_back(DLE);
        }
    }
    out.push_back(DLE);
    out.push_back(ETX);
    uint8_t check = 0;
    for (uint8_t b : out) check ^= b;
    out.push_back(check);
    return out;
}

bool FrameParser::push(uint8_t byte) {
    switch (state_) {
        case State::Hunt:
            if (byte == DLE) {
                check_ = DLE;
                state_ = State::Stx;
            }
            return false;
        case State::Stx:
            if (byte == STX) {
                check_ ^= byte;
                state_ = State::Direction;
            } else {
                // A DLE here may itself start the frame.
                state_ = byte == DLE ? State::Stx : State::Hunt;
            }
            return false;
        case State::Direction:
            if (byte == 0x02 || byte == 0x03) {
                check_ ^= byte;
                frame_ = Frame{};
                frame_.direction = byte;
                current_ = nullptr;
                state_ = State::Code;
            } else {
                restart();
            }
            return false;
        case State::Code:
            check_ ^= byte;
            frame_.code = byte;
            state_ = State::Subcode;
            return false;
        case State::Subcode:
            check_ ^= byte;
            frame_.subcode = byte;
            state_ = State::SectionDle;
            return false;
        case State::SectionDle:
            if (byte != DLE) {
                restart();
                return false;
            }
            check_ ^= byte;
            dle_pending_ = true;
            state_ = State::Body;
            return false;
        case State::Body:
            check_ ^= byte;
            if (!dle_pending_) {
                if (byte == DLE) {
                    dle_pending_ = true;
                } else if (current_ != nullptr) {
                    if (current_->data.size() >= MAX_SECTION) {
                        restart();
                        return false;
                    }
                    current_->data.push_back(byte);
                }
                return false;
            }
            dle_pending_ = false;
            if (byte == MARK_SO || byte == MARK_SI || byte == MARK_US) {
                frame_.sections.push_back(Section{byte, {}});
                current_ = &frame_.sections.back();
            } else if (byte == DLE) {
                if (current_ != nullptr) {
                    if (current_->data.size() >= MAX_SECTION) {
                        restart();
                        return false;
                    }
                    current_->data.push_back(DLE);
                }
            } else if (byte == ETX) {
                state_ = State::Check;
            } else {
                restart();
            }
            return false;
        case State::Check:
            restart();
            if (byte == check_) return true;
            ++bad_checks_;
            return false;
    }
    return false;
}

}  // namespace korva::sim
