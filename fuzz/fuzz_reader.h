// A reader double for the session fuzz targets: it recognises the requests
// the utility writes (framed requests and raw PSS frames) and answers each
// with whatever the target decides, usually bytes taken from the fuzz
// input. Whole sessions run on a virtual clock with a scripted console, so
// the utility's own parsers see the fuzzed answers exactly as a real
// reader's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/run_session.h"
#include "platform/scripted_console.h"
#include "platform/virtual_clock.h"
#include "serial/sim_serial_device.h"
#include "session/session.h"

namespace korva::fuzz {

[[noreturn]] inline void fail() {
    std::abort();
}

// The fuzz input as a sequence of chunks: a length byte, then that many
// bytes (fewer at the end of the input).
class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t take() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::vector<uint8_t> chunk(std::size_t limit = 255) {
        const std::size_t want = std::min<std::size_t>(take(), limit);
        std::vector<uint8_t> out;
        while (out.size() < want && pos_ < size_) out.push_back(data_[pos_++]);
        return out;
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct Section {
    uint8_t mark;  // 0x0E, 0x0F or 0x1F
    std::vector<uint8_t> data;
};

// A framed answer as the reader sends it: stuffed sections, XOR check.
// Download acknowledgements carry the direction byte 0x02.
inline std::vector<uint8_t> framed(uint8_t code, const std::vector<Section>& sections,
                                   uint8_t direction = 0x03) {
    std::vector<uint8_t> out{0x10, 0x02, direction, code, 0x00};
    for (const Section& s : sections) {
        out.push_back(0x10);
        out.push_back(s.mark);
        for (uint8_t b : s.data) {
            out.push_back(b);
            if (b == 0x10) out.push_back(0x10);
        }
    }
    out.push_back(0x10);
    out.push_back(0x03);
    uint8_t check = 0;
    for (uint8_t b : out) check ^= b;
    out.push_back(check);
    return out;
}

// One request as the utility wrote it.
struct Request {
    bool pss = false;
    uint8_t code = 0;           // framed: the command code; PSS: the control byte
    std::vector<uint8_t> data;  // framed: the first section's data; PSS: the data
};

class AnswerPeer : public LinePeer {
  public:
    using Answerer = std::function<void(AnswerPeer& peer, const Request& request, int64_t now_ms)>;

    explicit AnswerPeer(Answerer answerer) : answerer_(std::move(answerer)) {}

    void on_write(const uint8_t* data, std::size_t count, uint32_t, int64_t now_ms) override {
        last_write_ms_ = now_ms;
        for (std::size_t i = 0; i < count; ++i) take(data[i], now_ms);
    }
    void deliver(int64_t now_ms, std::vector<uint8_t>& out) override {
        while (!due_.empty() && due_.front().first <= now_ms) {
            out.push_back(due_.front().second);
            due_.pop_front();
        }
    }
    int64_t next_delivery_ms(int64_t now_ms) override {
        if (due_.empty() && idle_ && now_ms - last_write_ms_ >= idle_after_ms_) {
            idle_(*this, now_ms);
            last_write_ms_ = now_ms;
        }
        return due_.empty() ? NEVER : due_.front().first;
    }

    // Bytes that reach the utility at at_ms (after what is already due).
    void send(int64_t at_ms, const std::vector<uint8_t>& bytes) {
        if (!due_.empty() && due_.back().first > at_ms) at_ms = due_.back().first;
        for (uint8_t b : bytes) due_.emplace_back(at_ms, b);
    }
    // Called when the utility has written nothing for idle_after_ms while it
    // waits: a reader that restarts by itself, so that no wait lasts for ever.
    void on_idle(int64_t idle_after_ms, std::function<void(AnswerPeer&, int64_t)> idle) {
        idle_after_ms_ = idle_after_ms;
        idle_ = std::move(idle);
    }

  private:
    // Cuts the utility's byte stream into requests. Framed requests begin
    // with DLE STX; anything else starts a PSS frame (address, control,
    // length, data, two CRC bytes).
    void take(uint8_t b, int64_t now_ms) {
        buf_.push_back(b);
        if (buf_[0] == 0x10) {
            if (buf_.size() >= 2 && buf_[1] != 0x02) {
                buf_.clear();
                return;
            }
            // DLE ETX then the check byte end it; doubled DLEs are data.
            const std::size_t n = buf_.size();
            if (n >= 8 && buf_[n - 3] == 0x10 && buf_[n - 2] == 0x03 && !doubled(n - 3)) {
                Request r;
                r.code = buf_[3];
                for (std::size_t i = 7; i + 3 < n; ++i) {
                    r.data.push_back(buf_[i]);
                    if (buf_[i] == 0x10) ++i;
                }
                buf_.clear();
                answerer_(*this, r, now_ms);
            }
            return;
        }
        if (buf_.size() >= 3 && buf_.size() == 3u + buf_[2] + 2u) {
            Request r;
            r.pss = true;
            r.code = buf_[1];
            r.data.assign(buf_.begin() + 3, buf_.end() - 2);
            buf_.clear();
            answerer_(*this, r, now_ms);
        }
    }
    // Whether the DLE at index i is the second of a doubled pair in the body.
    bool doubled(std::size_t i) const {
        std::size_t run = 0;
        for (std::size_t j = i; j >= 5 && buf_[j] == 0x10; --j) ++run;
        return run % 2 == 0;
    }

    Answerer answerer_;
    std::vector<uint8_t> buf_;
    std::deque<std::pair<int64_t, uint8_t>> due_;
    int64_t last_write_ms_ = 0;
    int64_t idle_after_ms_ = 0;
    std::function<void(AnswerPeer&, int64_t)> idle_;
};

// Runs a whole session against peer on a virtual clock; keys are the
// keyboard's input, which ends after them. Returns the exit status and
// leaves the console output in output.
inline int run_session_against(LinePeer& peer, const std::vector<std::string>& args,
                               const std::string& keys, std::string& output) {
    VirtualClock clock;
    ScriptedConsole console(keys);
    const Seams seams{console, clock, [&](const std::string&) -> std::unique_ptr<SerialDevice> {
                          return std::make_unique<SimSerialDevice>(clock, peer);
                      }};
    const int status = run_session(args, seams);
    output = console.output();
    return status;
}

// The answer of a reader that has its normal software: block 0 with the
// updatable base software, every other block filled; block 15 ends the list.
inline void send_full_block_list(AnswerPeer& peer, int64_t at_ms) {
    for (unsigned block = 0; block <= 15; ++block) {
        if (block == 1) continue;
        std::string text = block == 0 ? "KORVA SYSTEMES$ KRV 3.20$" : "KORVA SYSTEMES$LOGICIEL$";
        std::vector<uint8_t> item{static_cast<uint8_t>(2 * block)};
        item.insert(item.end(), text.begin(), text.end());
        peer.send(at_ms, framed(0xFB, {{0x0E, item}}));
    }
}

inline std::vector<uint8_t> boot_info_401() {
    const char text[] =
        "KORVA SYSTEMES\0KORVA-2\0BOOT KORVA\0"
        "4.01\0"
        "12/03/2006";
    return std::vector<uint8_t>(text, text + sizeof text);
}

}  // namespace korva::fuzz
