// The fake reader with what charge needs of a reader: it keeps what a
// download puts into its blocks, answers the maintenance requests, and
// brings faults on demand.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/scripted_console.h"
#include "platform/virtual_clock.h"
#include "serial/sim_serial_device.h"
#include "session/session.h"
#include "tests/support/fake_reader.h"

namespace korva::testing {

// The reader's side of the maintenance requests that charge uses.
class TestReader : public FakeReader {
  public:
    static constexpr int64_t ANSWER_DELAY_MS = 3;

    // Block contents as downloads left them, by block code.
    std::map<uint8_t, Bytes> blocks;
    // The trailer of each signature request, with the block code it named.
    std::vector<std::pair<uint8_t, Bytes>> signatures;
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
    std::function<bool(const Request&)> drop_answer;  // true: stay silent
    int erase_answer_code = -1;                       // answer erase with this code
    uint32_t sum_adjust = 0;                          // added to the reported sum
    // Packets (by their index among data packets) that are refused; the
    // value is the sequence number the refusal names (-1: the one sent).
    std::map<std::size_t, int> refuse_packet;
    // Intermediate acknowledgements: replaces the SI bytes of the answer to
    // the packet with this index.
    std::map<std::size_t, Bytes> ack_override;
    // What the reader names after packet 255 (it cannot say 256).
    uint8_t after_255 = 1;

  protected:
    void answer(const Request& f, int64_t now) override {
        if (!f.check_ok) return;
        const Bytes so = f.section(MARK_SO);
        const Bytes si = f.section(MARK_SI);
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
                send(frame(0xFF, {{0x0E,
                                   {static_cast<uint8_t>(erase_answer_code >= 0 ? erase_answer_code
                                                                                : target_)}},
                                  {0x0F, {0x00}}}),
                     now);
                return;
            case 0xF1:
                send(frame(0xF1, {{0x0E, {0x00}}, {0x0F, Bytes(6, 0)}}), now);
                return;
            case 0xF4: {
                if (so.empty()) return;
                signatures.emplace_back(so[0], Bytes(so.begin() + 1, so.end()));
                Bytes si_answer{
                    reported_block_code_override == 0xFF ? so[0] : reported_block_code_override};
                si_answer.insert(si_answer.end(), descriptor.begin(), descriptor.end());
                send(frame(0xF4, {{0x0E, {signature_status}}, {0x0F, si_answer}}), now);
                return;
            }
            case 0xFB:
                for (const Bytes& item : block_list) send(frame(0xFB, {{0x0E, item}}), now);
                return;
            default:
                return;
        }
    }

  private:
    void send(const Bytes& bytes, int64_t now_ms) { schedule(now_ms + ANSWER_DELAY_MS, bytes); }

    void packet(const Bytes& si, std::size_t index, int64_t now) {
        const uint8_t seq = si[0];
        auto refusal = refuse_packet.find(index);
        if (refusal != refuse_packet.end()) {
            const uint8_t named = refusal->second < 0 ? seq : static_cast<uint8_t>(refusal->second);
            send(frame(0xF1, {{0x0E, {0x00}}, {0x0F, {named, 0, 0, 0, 0, 0}}}), now);
            return;
        }
        Bytes& block = blocks[target_];
        block.insert(block.end(), si.begin() + 1, si.end());
        for (uint8_t b : si) sum_ += b;
        if (seq == 0) {
            const uint32_t reported = (sum_ + sum_adjust) & 0xFFFFFF;
            send(frame(0xF1,
                       {{0x0E, {0x55}},
                        {0x0F,
                         {0, 0, 0, static_cast<uint8_t>(reported >> 16),
                          static_cast<uint8_t>(reported >> 8), static_cast<uint8_t>(reported)}}}),
                 now);
            return;
        }
        const uint8_t next = seq == 255 ? after_255 : static_cast<uint8_t>(seq + 1);
        Bytes ack{next, 0, 0, 0, 0, 0};
        auto over = ack_override.find(index);
        if (over != ack_override.end()) ack = over->second;
        send(frame(0xF1, {{0x0E, {0x55}}, {0x0F, ack}}), now);
    }

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
