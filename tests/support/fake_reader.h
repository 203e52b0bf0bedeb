// The fake reader of the link-level tests and of the fuzz harnesses: the far
// end of a simulated line that hears the utility's framed requests and raw
// PSS frames, keeps them, and answers framed requests by their code (queued
// answers first, one per request, then a standing answer). Tests that need
// a reader with more behaviour (one that keeps downloads, or one that plays
// the PSS dialogue) override answer() and answer_pss(). No GoogleTest here:
// the fuzz harnesses use it too.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "tests/support/scripted_peer.h"
#include "tests/support/wire.h"

namespace korva::testing {

// One framed request as the fake reader heard it.
struct Request : Frame {
    uint32_t baud = 0;  // the utility's port speed when it wrote it
    int64_t at_ms = 0;
};

// One raw PSS frame (address, control, length, data, two CRC bytes).
struct PssHeard {
    int64_t at_ms;
    uint32_t baud;
    Bytes bytes;
};

class FakeReader : public ScriptedPeer {
  public:
    static constexpr int64_t ANSWER_DELAY_MS = 20;

    // Framed requests written at another speed than this are noise to the
    // reader (0: it hears them at any speed).
    uint32_t framed_speed = 0;

    // Called with every framed request heard, before it is answered.
    std::function<void(const Request&)> on_request;

    // Every raw PSS frame, at any address or speed.
    std::vector<PssHeard> pss_frames;

    void answer_always(uint8_t code, const Bytes& bytes) { standing_[code] = bytes; }
    // An empty answer is silence for one request.
    void answer_next(uint8_t code, const Bytes& bytes) { queued_[code].push_back(bytes); }
    void stop_answering(uint8_t code) {
        standing_.erase(code);
        queued_.erase(code);
    }

    const std::vector<Request>& requests() const { return requests_; }
    std::vector<uint8_t> request_codes() const {
        std::vector<uint8_t> codes;
        for (const Request& r : requests_) codes.push_back(r.code);
        return codes;
    }
    std::size_t count(uint8_t code) const {
        std::size_t n = 0;
        for (const Request& r : requests_) n += r.code == code;
        return n;
    }

    // The speed that the utility's port was last set to.
    uint32_t port_baud() const { return port_baud_; }
    void on_settings(const LineSettings& settings, int64_t) override {
        port_baud_ = settings.baud_rate;
    }

    void on_write(const uint8_t* data, std::size_t count, uint32_t baud, int64_t now_ms) override {
        ScriptedPeer::on_write(data, count, baud, now_ms);
        for (std::size_t i = 0; i < count; ++i) take(data[i], baud, now_ms);
    }

  protected:
    // Answers a framed request; by default with the queued or standing answer
    // for its code, ANSWER_DELAY_MS later.
    virtual void answer(const Request& request, int64_t now_ms) {
        auto queued = queued_.find(request.code);
        if (queued != queued_.end() && !queued->second.empty()) {
            const Bytes bytes = queued->second.front();
            queued->second.pop_front();
            if (!bytes.empty()) schedule(now_ms + ANSWER_DELAY_MS, bytes);
            return;
        }
        auto standing = standing_.find(request.code);
        if (standing != standing_.end()) schedule(now_ms + ANSWER_DELAY_MS, standing->second);
    }
    // Answers a raw PSS frame; by default not at all.
    virtual void answer_pss(const PssHeard&, int64_t) {}

  private:
    // Framed requests begin with DLE; a PSS frame with its address byte,
    // whose low half is always 0xF. Anything else is noise. A frame in
    // progress is forgotten when the port's speed changes under it.
    void take(uint8_t byte, uint32_t baud, int64_t now_ms) {
        if (baud != baud_) {
            splitter_.reset();
            pss_.clear();
            baud_ = baud;
        }
        if (!pss_.empty() || (splitter_.idle() && (byte & 0x0F) == 0x0F)) {
            take_pss(byte, now_ms);
            return;
        }
        for (const Frame& frame : splitter_.feed(byte)) {
            if (framed_speed != 0 && baud_ != framed_speed) continue;
            Request request;
            static_cast<Frame&>(request) = frame;
            request.baud = baud_;
            request.at_ms = now_ms;
            requests_.push_back(request);
            if (on_request) on_request(request);
            answer(request, now_ms);
        }
    }

    void take_pss(uint8_t byte, int64_t now_ms) {
        pss_.push_back(byte);
        if (pss_.size() < 3 || pss_.size() < 5u + pss_[2]) return;
        pss_frames.push_back({now_ms, baud_, pss_});
        pss_.clear();
        answer_pss(pss_frames.back(), now_ms);
    }

    FrameSplitter splitter_;
    Bytes pss_;
    uint32_t baud_ = 0;
    uint32_t port_baud_ = 0;
    std::vector<Request> requests_;
    std::map<uint8_t, Bytes> standing_;
    std::map<uint8_t, std::deque<Bytes>> queued_;
};

}  // namespace korva::testing
