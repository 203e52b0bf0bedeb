// The fake reader with the PSS dialogue: it answers the utility's raw PSS
// frames (at its own speed and address) and the few framed requests that the
// dialogue uses, after given delays. It shares no code with the utility: its
// CRC is its own, its framing the tests' own.
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
#include "tests/support/fake_reader.h"

namespace korva::testing {

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

// A frame as the reader sends it, with section 1 and, when given, section 2.
inline Bytes framed(uint8_t code, const Bytes& so, const Bytes& si = {}) {
    if (si.empty()) return frame(code, {{MARK_SO, so}});
    return frame(code, {{MARK_SO, so}, {MARK_SI, si}});
}

// A block-list item: the block code, then "$" for an empty block or a
// publisher and a software name.
inline Bytes block_item(uint8_t block, bool installed) {
    Bytes item = {static_cast<uint8_t>(block * 2)};
    const char* text = installed ? "KRV$LOGICIEL$" : "$";
    for (const char* p = text; *p; ++p) item.push_back(static_cast<uint8_t>(*p));
    return item;
}

class PssTestPeer : public FakeReader {
  public:
    PssTestPeer() { framed_speed = 9600; }

    // --- the PSS side
    uint8_t pad = 2;
    uint32_t speed = 9600;
    std::size_t probe_answer_length = 9;
    std::set<int> silent_probes;  // indexes of the probes (heard at pad and speed) left unanswered
    Bytes remove_answer = {0x2F, 0x40, 0x02, 0x90, 0x00, 0x11, 0x22};  // empty: silent
    int remove_rounds = -1;          // removal frames answered; -1: all
    std::deque<Bytes> poll_answers;  // one per poll frame; silent once used up
    int64_t poll_delay_ms = 3000;

    // --- restart and framed side (framed requests heard at framed_speed)
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

    // --- what was heard (besides requests() and pss_frames)
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
    int framed_count(uint8_t code) const { return static_cast<int>(count(code)); }

  protected:
    void answer(const Request& request, int64_t now_ms) override {
        const uint8_t code = request.code;
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

    void answer_pss(const PssHeard& heard, int64_t now_ms) override {
        const Bytes& frame = heard.bytes;
        const std::size_t total = frame.size();
        const uint16_t crc = kermit_crc(frame.data(), total - 2);
        if (frame[total - 2] != (crc & 0xFF) || frame[total - 1] != (crc >> 8)) {
            ++bad_crc;
            return;
        }
        if (frame[1] == 0xC0) {
            probe_bauds.push_back(heard.baud);
            probe_addresses.push_back(frame[0]);
        }
        if (heard.baud != speed || frame[0] != pad * 16 + 15) return;
        on_pss(frame, now_ms);
    }

  private:
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
