// The framed protocol as the tests write and read it, worked out here from
// the frame description and nowhere else: it shares no code with the link
// nor with the virtual reader, so that one misreading of the format cannot
// pass on both sides of a test. Frame layout: DLE STX, direction, code,
// subcode, sections (DLE, a mark, data with every DLE doubled), DLE ETX,
// then the XOR of every byte from the first DLE to the ETX.
//
// No GoogleTest here: the fuzz harnesses use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korva::testing {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t MARK_SO = 0x0E;  // section 1
constexpr uint8_t MARK_SI = 0x0F;  // section 2
constexpr uint8_t MARK_US = 0x1F;  // section 3

struct Section {
    uint8_t mark;  // MARK_SO, MARK_SI or MARK_US
    Bytes data;
};

struct FrameOptions {
    uint8_t direction = 0x02;  // the reader may also send 0x03
    uint8_t subcode = 0x00;
    bool stuff = true;  // false: the sections' data go on the wire as given
};

// One frame as it goes on the wire.
inline Bytes frame(uint8_t code, const std::vector<Section>& sections = {},
                   FrameOptions options = {}) {
    Bytes out{0x10, 0x02, options.direction, code, options.subcode};
    for (const Section& section : sections) {
        out.push_back(0x10);
        out.push_back(section.mark);
        for (uint8_t byte : section.data) {
            out.push_back(byte);
            if (options.stuff && byte == 0x10) out.push_back(0x10);
        }
    }
    out.push_back(0x10);
    out.push_back(0x03);
    uint8_t check = 0;
    for (uint8_t byte : out) check ^= byte;
    out.push_back(check);
    return out;
}

// One frame read off the wire, its sections unstuffed in the order they came.
struct Frame {
    uint8_t direction = 0;
    uint8_t code = 0;
    uint8_t subcode = 0;
    std::vector<Section> sections;
    uint8_t check = 0;  // as received
    bool check_ok = false;

    bool has(uint8_t mark) const {
        for (const Section& s : sections)
            if (s.mark == mark) return true;
        return false;
    }
    // The data of every section with this mark, in order (empty when none).
    Bytes section(uint8_t mark) const {
        Bytes data;
        for (const Section& s : sections)
            if (s.mark == mark) data.insert(data.end(), s.data.begin(), s.data.end());
        return data;
    }
    // The data of all sections together (a request carries at most one).
    Bytes data() const {
        Bytes all;
        for (const Section& s : sections) all.insert(all.end(), s.data.begin(), s.data.end());
        return all;
    }
};

// Cuts frames out of a byte stream, one byte at a time. Bytes that belong to
// no frame are loose: noise before a frame, a DLE not followed by STX, and
// the first byte of a frame broken by an unknown mark, after which the bytes
// that followed it are read again.
class FrameSplitter {
  public:
    // Feeds one byte; returns the frames it ended (good check or bad),
    // usually none or one.
    std::vector<Frame> feed(uint8_t byte) {
        pending_.push_back(byte);
        return run();
    }

    // Ends the input: an unfinished frame's bytes become loose (the ones
    // that could still hold a frame are read again).
    std::vector<Frame> finish() {
        std::vector<Frame> frames;
        while (state_ != State::Idle) {
            pending_.assign(raw_.begin() + 1, raw_.end());
            loose_.push_back(raw_.front());
            reset();
            for (Frame& f : run()) frames.push_back(std::move(f));
        }
        return frames;
    }

    // Forgets a frame in progress (the line changed speed under it).
    void reset() {
        state_ = State::Idle;
        raw_.clear();
    }

    bool idle() const { return state_ == State::Idle; }
    // Every byte so far that was outside any frame.
    const Bytes& loose() const { return loose_; }

  private:
    enum class State { Idle, Stx, Header, Body, BodyDle, Check };

    std::vector<Frame> run() {
        std::vector<Frame> frames;
        while (!pending_.empty()) {
            const uint8_t b = pending_.front();
            pending_.erase(pending_.begin());
            if (step(b)) frames.push_back(building_);
        }
        return frames;
    }

    // True when b ends a frame (then building_ holds it).
    bool step(uint8_t b) {
        raw_.push_back(b);
        switch (state_) {
            case State::Idle:
                raw_.clear();
                if (b != 0x10) {
                    loose_.push_back(b);
                    return false;
                }
                raw_.push_back(b);
                state_ = State::Stx;
                return false;
            case State::Stx:
                if (b != 0x02) return broken();
                check_ = 0x10 ^ 0x02;
                state_ = State::Header;
                return false;
            case State::Header:  // direction, code, subcode
                check_ ^= b;
                if (raw_.size() < 5) return false;
                building_ = Frame{};
                building_.direction = raw_[2];
                building_.code = raw_[3];
                building_.subcode = raw_[4];
                state_ = State::Body;
                return false;
            case State::Body:
                check_ ^= b;
                if (b == 0x10) {
                    state_ = State::BodyDle;
                } else if (!building_.sections.empty()) {
                    building_.sections.back().data.push_back(b);
                }
                return false;
            case State::BodyDle:
                check_ ^= b;
                state_ = State::Body;
                if (b == 0x10) {
                    if (!building_.sections.empty()) building_.sections.back().data.push_back(b);
                } else if (b == 0x03) {
                    state_ = State::Check;
                } else if (b == MARK_SO || b == MARK_SI || b == MARK_US) {
                    building_.sections.push_back({b, {}});
                } else {
                    return broken();
                }
                return false;
            case State::Check:
                building_.check = b;
                building_.check_ok = b == check_;
                reset();
                return true;
        }
        return false;
    }

    // The frame cannot go on: its first byte is loose, the rest is read again.
    bool broken() {
        loose_.push_back(raw_.front());
        pending_.insert(pending_.begin(), raw_.begin() + 1, raw_.end());
        reset();
        return false;
    }

    State state_ = State::Idle;
    Bytes raw_;      // the bytes of the frame in progress, as received
    Bytes pending_;  // bytes still to be read (again)
    uint8_t check_ = 0;
    Frame building_;
    Bytes loose_;
};

// Every frame in a finished byte stream.
struct Split {
    std::vector<Frame> frames;  // good check only
    Bytes loose;                // bytes outside any frame
    unsigned bad_checks = 0;    // frames dropped for their check
};

inline Split split_frames(const Bytes& bytes) {
    Split result;
    FrameSplitter splitter;
    auto take = [&result](const std::vector<Frame>& frames) {
        for (const Frame& f : frames) {
            if (f.check_ok) {
                result.frames.push_back(f);
            } else {
                ++result.bad_checks;
            }
        }
    };
    for (uint8_t b : bytes) take(splitter.feed(b));
    take(splitter.finish());
    result.loose = splitter.loose();
    return result;
}

}  // namespace korva::testing
