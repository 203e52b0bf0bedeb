// A small stand-in for the reader on the far end of a simulated line: it
// unframes what the utility writes (just enough for the maintenance
// requests), keeps what a download puts into its blocks, and answers with
// frames built here by hand. Faults come on demand.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/scripted_console.h"
#include "platform/virtual_clock.h"
#include "serial/sim_serial_device.h"
#include "session/session.h"

namespace korva::testing {

using Bytes = std::vector<uint8_t>;

// One frame as the utility sent it, sections unstuffed.
struct SentFrame {
    uint8_t code = 0;
    uint8_t subcode = 0;
    std::map<uint8_t, Bytes> sections;  // by mark: 0x0E, 0x0F, 0x1F
    bool check_ok = false;
};

// A frame as it goes on the wire: DLE STX, direction, code, subcode, the
// sections (data stuffed), DLE ETX, check byte.
inline Bytes build_frame(uint8_t code, const std::vector<std::pair<uint8_t, Bytes>>& sections,
                         uint8_t direction = 0x02) {
    Bytes out{0x10, 0x02, direction, code, 0x00};
    for (const auto& [mark, data] : sections) {
        out.push_back(0x10);
        out.push_back(mark);
        for (uint8_t b : data) {
            out.push_back(b);
            if (b == 0x10) out.push_back(b);
        }
    }
    out.push_back(0x10);
    out.push_back(0x03);
    uint8_t check = 0;
    for (uint8_t b : out) check ^= b;
    out.push_back(check);
    return out;
}

// Splits the utility's byte stream into frames.
class FrameSplitter {
  public:
    // Feeds one byte; true when a frame has ended (then frame() holds it).
    bool feed(uint8_t b) {
        switch (state_) {
            case 0:
                if (b == 0x10) state_ = 1;
                return false;
            case 1:
                state_ = b == 0x02 ? 2 : 0;
                check_ = 0x10 ^ 0x02;
                return false;
            case 2:
                check_ ^= b;
                state_ = 3;
                return false;
            case 3:
                check_ ^= b;
                frame_ = SentFrame{};
                frame_.code = b;
                state_ = 4;
                return false;
            case 4:
                check_ ^= b;
                frame_.subcode = b;
                section_ = nullptr;
                dle_ = false;
                state_ = 5;
                return false;
            case 5:
                check_ ^= b;
                if (!dle_) {
                    if (b == 0x10) {
                        dle_ = true;
                    } else if (section_) {
                        section_->push_back(b);
                    }
                    return false;
                }
                dle_ = false;
                if (b == 0x10) {
                    if (section_) section_->push_back(b);
                } else if (b == 0x03) {
                    state_ = 6;
                } else {
                    section_ = &frame_.sections[b];
                }
                return false;
            default:
                frame_.check_ok = b == check_;
                state_ = 0;
                return true;
        }
    }
    const SentFrame& frame() const { return frame_; }

  private:
    int state_ = 0;
    uint8_t check_ = 0;
    bool dle_ = false;
    Bytes* section_ = nullptr;
    SentFrame frame_;
};

// The reader's side of the maintenance requests that charge uses.
class TestReader : public LinePeer {
  public:
    static constexpr int64_t ANSWER_DELAY_MS = 3;

    // Block contents as downloads left them, by block code.
    std::map<uint8_t, Bytes> blocks;
    // The trailer of each signature request, with the block code it named.
    std::vector<std::pair<uint8_t, Bytes>> signatures;
    // Every frame the utility sent, in order.
    std::vector<SentFrame> frames;
    // The sequence number of every data packet received.
    std::vector<uint8_t> packet_sequences;

    // Block-list items, one frame each, in order (byte 0 the block code).
    std::vector<Bytes> block_list;
    // What a signature answer reports: the block code and the descriptor
    // text after it (publisher$software$, padding, version bytes).
    uint8_t reported_block_code_override = 0xFF;  // 0xFF: the block signed
    Bytes descriptor;
    uint8_t signature_status = 0x55;

    // Faults.
    std::function<bool(const SentFrame&)> drop_answer;  // true: stay silent
    int erase_answer_code = -1;                         // answer erase with this code
    uint32_t sum_adjust = 0;                            // added to the reported sum
    // Packets (by their index among data packets) that are refused; the
    // value is the sequence number the refusal names (-1: the one sent).
    std::map<std::size_t, int> refuse_packet;
    // Intermediate acknowledgements: replaces the SI bytes of the answer to
    // the packet with this index.
    std::map<std::size_t, Bytes> ack_override;
    // What the reader names after packet 255 (it cannot say 256).
    uint8_t after_255 = 1;

    void on_write(const uint8_t* data, std::size_t count, uint32_t, int64_t now_ms) override {
        for (std::size_t i = 0; i < count; ++i) {
            if (!splitter_.feed(data[i])) continue;
            frames.push_back(splitter_.frame());
            answer(splitter_.frame(), now_ms);
        }
    }
    void deliver(int64_t now_ms, std::vector<uint8_t>& out) override {
        while (!due_.empty() && due_.front().first <= now_ms) {
            out.push_back(due_.front().second);
            due_.pop_front();
        }
    }
    int64_t next_delivery_ms(int64_t) override { return due_.empty() ? NEVER : due_.front().first; }

    std::size_t count_frames(uint8_t code) const {
        std::size_t n = 0;
        for (const SentFrame& f : frames) n += f.code == code;
        return n;
    }

  private:
    void send(const Bytes& frame, int64_t now_ms) {
        for (uint8_t b : frame) due_.emplace_back(now_ms + ANSWER_DELAY_MS, b);
    }

    static Bytes section(const SentFrame& f, uint8_t mark) {
        auto it = f.sections.find(mark);
        return it == f.sections.end() ? Bytes{} : it->second;
    }

    void answer(const SentFrame& f, int64_t now) {
        if (!f.check_ok) return;
        const Bytes so = section(f, 0x0E);
        const Bytes si = section(f, 0x0F);
        if (f.code == 0xF1 && !si.empty()) {
            const std::size_t index = packet_sequences.size();
            packet_sequences.push_back(si[0]);
            if (drop_answer && drop_answer(f)) return;
            packet(si, index, now);
            return;
        }
        if (drop_answer && drop_answer(f)) return;
        switch (f.code) {
            case 0xFF:
                if (so.empty()) return;
                target_ = so[0];
                blocks[target_].clear();
                sum_ = 0;
                send(
                    build_frame(0xFF, {{0x0E,
                                        {static_cast<uint8_t>(
                                            erase_answer_code >= 0 ? erase_answer_code : target_)}},
                                       {0x0F, {0x00}}}),
                    now);
                return;
            case 0xF1:
                send(build_frame(0xF1, {{0x0E, {0x00}}, {0x0F, Bytes(6, 0)}}), now);
                return;
            case 0xF4: {
                if (so.empty()) return;
                signatures.emplace_back(so[0], Bytes(so.begin() + 1, so.end()));
                Bytes si_answer{
                    reported_block_code_override == 0xFF ? so[0] : reported_block_code_override};
                si_answer.insert(si_answer.end(), descriptor.begin(), descriptor.end());
                send(build_frame(0xF4, {{0x0E, {signature_status}}, {0x0F, si_answer}}), now);
                return;
            }
            case 0xFB:
                for (const Bytes& item : block_list) send(build_frame(0xFB, {{0x0E, item}}), now);
                return;
            default:
                return;
        }
    }

    void packet(const Bytes& si, std::size_t index, int64_t now) {
        const uint8_t seq = si[0];
        auto refusal = refuse_packet.find(index);
        if (refusal != refuse_packet.end()) {
            const uint8_t named = refusal->second < 0 ? seq : static_cast<uint8_t>(refusal->second);
            send(build_frame(0xF1, {{0x0E, {0x00}}, {0x0F, {named, 0, 0, 0, 0, 0}}}), now);
            return;
        }
        Bytes& block = blocks[target_];
        block.insert(block.end(), si.begin() + 1, si.end());
        for (uint8_t b : si) sum_ += b;
        if (seq == 0) {
            const uint32_t reported = (sum_ + sum_adjust) & 0xFFFFFF;
            send(build_frame(0xF1, {{0x0E, {0x55}},
                                    {0x0F,
                                     {0, 0, 0, static_cast<uint8_t>(reported >> 16),
                                      static_cast<uint8_t>(reported >> 8),
                                      static_cast<uint8_t>(reported)}}}),
                 now);
            return;
        }
        const uint8_t next = seq == 255 ? after_255 : static_cast<uint8_t>(seq + 1);
        Bytes ack{next, 0, 0, 0, 0, 0};
        auto over = ack_override.find(index);
        if (over != ack_override.end()) ack = over->second;
        send(build_frame(0xF1, {{0x0E, {0x55}}, {0x0F, ack}}), now);
    }

    FrameSplitter splitter_;
    std::deque<std::pair<int64_t, uint8_t>> due_;
    uint8_t target_ = 0;
    uint32_t sum_ = 0;
};

// A session on the simulated line to a TestReader, with its link open and
// the block limits of a 15-block reader, on the virtual clock.
struct ReaderSession {
    explicit ReaderSession(LinePeer& peer, std::string keys = {})
        : console(std::move(keys)), s(console, clock) {
        s.port.handle = std::make_unique<SimSerialDevice>(clock, peer);
        configure_port(s.port);
        link_open(s.link, s.port, s.clock);
        s.link.record = &s.record;
        s.highest_block = 15;
        s.block_bound = 31;
    }
    ~ReaderSession() { link_close(s.link); }

    VirtualClock clock;
    ScriptedConsole console;
    Session s;
};

}  // namespace korva::testing
