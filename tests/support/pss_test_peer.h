// A small reader double for the PSS dialogue: it hears the utility's raw PSS
// frames (at its own speed and address) and the few framed requests that the
// dialogue uses, and answers them with hand-built bytes after given delays.
// It shares no code with the utility: its CRC and its framing are its own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "console/console_commands.h"
#include "platform/scripted_console.h"
#include "platform/virtual_clock.h"
#include "serial/sim_serial_device.h"
#include "session/session.h"

namespace korva::testing {

using Bytes = std::vector<uint8_t>;

// CRC-16, reflected polynomial 0x8408, initial value 0, the textbook way.
inline uint16_t kermit_crc(const uint8_t* data, std::size_t count) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : (crc >> 1);
        }
    }
    return crc;
}

// A framed frame as the reader sends it: DLE STX 02, code, subcode, each
// section's mark and stuffed data, DLE ETX, the XOR check.
inline Bytes framed(uint8_t code, const Bytes& so, const Bytes& si = {}) {
    Bytes out = {0x10, 0x02, 0x02, code, 0x00};
    auto section = [&out](uint8_t mark, const Bytes& data) {
        out.push_back(0x10);
        out.push_back(mark);
        for (uint8_t b : data) {
            out.push_back(b);
            if (b == 0x10) out.push_back(0x10);
        }
    };
    section(0x0E, so);
    if (!si.empty()) section(0x0F, si);
    out.push_back(0x10);
    out.push_back(0x03);
    uint8_t check = 0;
    for (uint8_t b : out) check ^= b;
    out.push_back(check);
    return out;
}

// A block-list item: the block code, then "$" for an empty block or a
// publisher and a software name.
inline Bytes block_item(uint8_t block, bool installed) {
    Bytes item = {static_cast<uint8_t>(block * 2)};
    const char* text = installed ? "KRV$LOGICIEL$" : "$";
    for (const char* p = text; *p; ++p) item.push_back(static_cast<uint8_t>(*p));
    return item;
}

class PssTestPeer : public LinePeer {
  public:
    // --- the PSS side
    uint8_t pad = 2;
    uint32_t speed = 9600;
    std::size_t probe_answer_length = 9;
    std::set<int> silent_probes;  // indexes of the probes (heard at pad and speed) left unanswered
    Bytes remove_answer = {0x2F, 0x40, 0x02, 0x90, 0x00, 0x11, 0x22};  // empty: silent
    int remove_rounds = -1;          // removal frames answered; -1: all
    std::deque<Bytes> poll_answers;  // one per poll frame; silent once used up
    int64_t poll_delay_ms = 3000;

    // --- restart and framed side
    uint32_t framed_speed = 9600;
    bool boot_on_reset = true;
    Bytes boot_bytes = {0x00, 0x55, 0xAA, 0x13};
    Bytes start_bytes = {'A', 0x00, 0x00};
    int64_t boot_delay_ms = 300;
    int64_t start_delay_ms = 4000;
    bool restart_after_accept = true;
    bool restart_after_payment = true;
    int64_t restart_delay_ms = 8000;
    bool answer_hold = true;
    std::vector<Bytes> block_items;  // answers to the block-list request
    bool answer_block_list = true;

    // --- what was heard
    struct Heard {
        int64_t at_ms;
        uint32_t baud;
        Bytes bytes;
    };
    std::vector<Heard> pss_frames;      // complete raw frames, any address or speed
    std::vector<uint8_t> framed_codes;  // codes of the framed requests heard
    std::vector<uint32_t> probe_bauds;  // the baud of every probe
    std::vector<uint8_t> probe_addresses;
    int probes_answered_index = 0;
    int removes = 0;
    int polls = 0;
    int payments = 0;
    int bad_crc = 0;

    // A reader with every block installed: block numbers 0 to last.
    void install_all(uint8_t last) {
        block_items.clear();
        for (uint8_t b = 0; b <= last; ++b) block_items.push_back(block_item(b, true));
    }
    void empty_block(uint8_t block) {
        for (Bytes& item : block_items) {
            if (item[0] == block * 2) item = block_item(block, false);
        }
    }
    // The reader restarts now (as after a reset request).
    void boot(int64_t now_ms) {
        schedule(now_ms + boot_delay_ms, boot_bytes);
        schedule(now_ms + start_delay_ms, start_bytes);
    }
    void schedule(int64_t at_ms, const Bytes& bytes) {
        for (uint8_t b : bytes) due_.push_back({at_ms, b});
        std::stable_sort(due_.begin(), due_.end(),
                         [](const Due& a, const Due& b) { return a.at_ms < b.at_ms; });
    }
    int framed_count(uint8_t code) const {
        int n = 0;
        for (uint8_t c : framed_codes) n += c == code;
        return n;
    }

    void on_write(const uint8_t* data, std::size_t count, uint32_t baud, int64_t now_ms) override {
        for (std::size_t i = 0; i < count; ++i) take(data[i], baud, now_ms);
    }
    void deliver(int64_t now_ms, std::vector<uint8_t>& out) override {
        while (!due_.empty() && due_.front().at_ms <= now_ms) {
            out.push_back(due_.front().byte);
            due_.pop_front();
        }
    }
    int64_t next_delivery_ms(int64_t) override { return due_.empty() ? NEVER : due_.front().at_ms; }

  private:
    struct Due {
        int64_t at_ms;
        uint8_t byte;
    };

    void take(uint8_t byte, uint32_t baud, int64_t now_ms) {
        if (in_.empty()) baud_ = baud;
        if (baud != baud_) {
            in_.clear();
            baud_ = baud;
        }
        in_.push_back(byte);
        if (in_[0] == 0x10) {
            take_framed(now_ms);
        } else if ((in_[0] & 0x0F) == 0x0F) {
            take_pss(now_ms);
        } else {
            in_.clear();  // noise
        }
    }

    // DLE STX 02 code subcode { DLE mark data... } DLE ETX check.
    void take_framed(int64_t now_ms) {
        if (in_.size() < 7) return;
        const std::size_t n = in_.size();
        // Complete when the last two bytes before this one are an unpaired
        // DLE ETX.
        if (n < 8 || in_[n - 3] != 0x10 || in_[n - 2] != 0x03) return;
        std::size_t dles = 0;
        for (std::size_t i = n - 3; i >= 5 && in_[i] == 0x10; --i) ++dles;
        if (dles % 2 == 0) return;
        const uint8_t code = in_[3];
        const bool heard = baud_ == framed_speed;
        in_.clear();
        if (heard) on_framed(code, now_ms);
    }

    void take_pss(int64_t now_ms) {
        if (in_.size() < 3) return;
        const std::size_t total = 5u + in_[2];
        if (in_.size() < total) return;
        Bytes frame(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(total));
        in_.clear();
        pss_frames.push_back({now_ms, baud_, frame});
        const uint16_t crc = kermit_crc(frame.data(), total - 2);
        if (frame[total - 2] != (crc & 0xFF) || frame[total - 1] != (crc >> 8)) {
            ++bad_crc;
            return;
        }
        if (frame[1] == 0xC0) {
            probe_bauds.push_back(baud_);
            probe_addresses.push_back(frame[0]);
        }
        if (baud_ != speed || frame[0] != pad * 16 + 15) return;
        on_pss(frame, now_ms);
    }

    void on_framed(uint8_t code, int64_t now_ms) {
        framed_codes.push_back(code);
        if (code == 0xFC && boot_on_reset) boot(now_ms);
        if (code == 0xFB && answer_block_list) {
            int64_t at = now_ms + 50;
            for (const Bytes& item : block_items) {
                schedule(at, framed(0xFB, item));
                at += 40;
            }
        }
        if (code == 0xFF && answer_hold) schedule(now_ms + 100, framed(0xFF, {0x00}, {0x00}));
    }

    void on_pss(const Bytes& frame, int64_t now_ms) {
        const uint8_t control = frame[1];
        if (control == 0xC0) {
            const int index = probes_answered_index++;
            if (silent_probes.count(index) == 0) {
                Bytes answer(probe_answer_length, 0x00);
                if (!answer.empty()) answer[0] = frame[0];
                schedule(now_ms + 20, answer);
            }
        } else if (control == 0x40 && frame[2] == 0x07) {
            if (remove_rounds < 0 || removes < remove_rounds) schedule(now_ms + 50, remove_answer);
            ++removes;
        } else if (control == 0xF8) {
            ++polls;
            if (poll_answers.empty()) return;
            const Bytes answer = poll_answers.front();
            poll_answers.pop_front();
            schedule(now_ms + poll_delay_ms, answer);
            if (answer.size() > 4 && answer[4] == 0x00 && restart_after_accept) {
                schedule(now_ms + poll_delay_ms + restart_delay_ms, framed(0xF2, {0x00}));
            }
        } else if (control == 0x40 && frame[2] == 0x03) {
            ++payments;
            if (restart_after_payment) schedule(now_ms + restart_delay_ms, framed(0xF2, {0x00}));
        }
    }

    std::deque<Due> due_;
    Bytes in_;
    uint32_t baud_ = 0;
};

// Whether the console text ends with tail; shows both when it does not.
inline ::testing::AssertionResult ends_with(const std::string& text, const std::string& tail) {
    if (text.ends_with(tail)) return ::testing::AssertionSuccess();
    const std::size_t shown = std::min<std::size_t>(text.size(), tail.size() + 40);
    return ::testing::AssertionFailure()
           << "the text ends with [" << text.substr(text.size() - shown)
           << "]\n     expected tail [" << tail << "]";
}

// A poll answer carrying the given status at index 4.
inline Bytes poll_answer(uint8_t status) {
    return {0x2F, 0xF8, 0x03, 0x05, status, 0x31, 0x32};
}

// Sets a session up as the command loop leaves it before a command, on a
// simulated line to peer: port configured, link open, block limits known.
// Returns the device.
inline SimSerialDevice* ready_for_command(Session& s, Clock& clock, LinePeer& peer,
                                          uint8_t highest) {
    auto dev = std::make_unique<SimSerialDevice>(clock, peer);
    SimSerialDevice* device = dev.get();
    s.port.handle = std::move(dev);
    configure_port(s.port);
    s.port.read_chunk = READ_CHUNK;
    link_startup(s);
    s.highest_block = highest;
    s.block_bound = static_cast<uint8_t>(2 * highest + 1);
    return device;
}

// One session over the double.
struct PssBench {
    explicit PssBench(uint8_t highest = 15) {
        device = ready_for_command(s, clock, peer, highest);
        peer.install_all(highest);
    }
    ~PssBench() { link_shutdown(s); }
    PssBench(const PssBench&) = delete;
    PssBench& operator=(const PssBench&) = delete;

    const std::string& out() const { return console.output(); }
    int64_t now() { return clock.calendar_ms(); }

    VirtualClock clock;
    ScriptedConsole console;
    PssTestPeer peer;
    Session s{console, clock};
    SimSerialDevice* device = nullptr;
};

}  // namespace korva::testing
