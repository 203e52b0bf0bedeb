// The reader for the session fuzz targets: the tests' fake reader, which
// recognises the requests the utility writes (framed requests and raw PSS
// frames), answering each with whatever the target decides, usually bytes
// taken from the fuzz input. Whole sessions run on a virtual clock with a scripted console, so
// the utility's own parsers see the fuzzed answers exactly as a real
// reader's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/run_session.h"
#include "platform/scripted_console.h"
#include "platform/virtual_clock.h"
#include "serial/sim_serial_device.h"
#include "session/session.h"
#include "tests/support/fake_reader.h"

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

using testing::Section;

// A framed answer as the reader sends it. Download acknowledgements carry
// the direction byte 0x02.
inline std::vector<uint8_t> framed(uint8_t code, const std::vector<Section>& sections,
                                   uint8_t direction = 0x03) {
    return testing::frame(code, sections, {.direction = direction});
}

// One request as the utility wrote it.
struct Request {
    bool pss = false;
    uint8_t code = 0;           // framed: the command code; PSS: the control byte
    std::vector<uint8_t> data;  // framed: the first section's data; PSS: the data
};

// The fake reader, each request answered as the target decides.
class AnswerPeer : public testing::FakeReader {
  public:
    using Answerer = std::function<void(AnswerPeer& peer, const Request& request, int64_t now_ms)>;

    explicit AnswerPeer(Answerer answerer) : answerer_(std::move(answerer)) {}

    void on_write(const uint8_t* data, std::size_t count, uint32_t baud, int64_t now_ms) override {
        last_write_ms_ = now_ms;
        FakeReader::on_write(data, count, baud, now_ms);
    }
    int64_t next_delivery_ms(int64_t now_ms) override {
        if (FakeReader::next_delivery_ms(now_ms) == NEVER && idle_ &&
            now_ms - last_write_ms_ >= idle_after_ms_) {
            idle_(*this, now_ms);
            last_write_ms_ = now_ms;
        }
        return FakeReader::next_delivery_ms(now_ms);
    }

    // Bytes that reach the utility at at_ms (after what is already due).
    void send(int64_t at_ms, const std::vector<uint8_t>& bytes) {
        last_at_ms_ = std::max(at_ms, last_at_ms_);
        schedule(last_at_ms_, bytes);
    }
    // Called when the utility has written nothing for idle_after_ms while it
    // waits: a reader that restarts by itself, so that no wait lasts for ever.
    void on_idle(int64_t idle_after_ms, std::function<void(AnswerPeer&, int64_t)> idle) {
        idle_after_ms_ = idle_after_ms;
        idle_ = std::move(idle);
    }

  protected:
    void answer(const testing::Request& request, int64_t now_ms) override {
        answerer_(*this, Request{false, request.code, request.data()}, now_ms);
    }
    void answer_pss(const testing::PssHeard& heard, int64_t now_ms) override {
        const std::vector<uint8_t>& f = heard.bytes;
        answerer_(*this, Request{true, f[1], std::vector<uint8_t>(f.begin() + 3, f.end() - 2)},
                  now_ms);
    }

  private:
    Answerer answerer_;
    int64_t last_at_ms_ = 0;
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

// The answers that the session targets give alike: a boot 4.01 reader's
// boot information, the full block list, and an erase that names the block
// asked for, each 3 ms after the request. False for any other request.
inline bool answer_routine(AnswerPeer& peer, const Request& request, int64_t now_ms) {
    const uint8_t param = request.data.empty() ? 0 : request.data[0];
    switch (request.code) {
        case CODE_BOOT_INFO:
            peer.send(now_ms + 3, framed(CODE_BOOT_INFO, {{0x0F, boot_info_401()}}));
            return true;
        case CODE_BLOCK_LIST:
            send_full_block_list(peer, now_ms + 3);
            return true;
        case CODE_ERASE:
            peer.send(now_ms + 3, framed(CODE_ERASE, {{0x0E, {param}}}));
            return true;
        default:
            return false;
    }
}

}  // namespace korva::fuzz
