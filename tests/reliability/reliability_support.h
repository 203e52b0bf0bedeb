// Support for the reliability tests: whole sessions against the virtual
// reader that can never hang (a watchdog on virtual time and on the number
// of line operations), a line that can be cut after any byte the reader
// sends, and a frame map of what the reader sent, to aim a fault at one
// answer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "serial/sim_serial_device.h"
#include "sim/reader_profile.h"
#include "sim/virtual_reader.h"
#include "tests/support/session_harness.h"

namespace korva::reliability {

// Thrown out of the line when a session runs too long; the test fails
// instead of hanging.
struct WatchdogTripped {
    std::string why;
};

// Stands between the utility and its peer: counts what crosses the line and
// can cut it. Cutting after n bytes either silences the reader (its bytes
// are lost from then on, writes still go out) or pulls the cable.
class GuardedLine : public LinePeer {
  public:
    enum class Cut { NONE, SILENCE, UNPLUG };

    explicit GuardedLine(LinePeer& inner) : inner_(inner) {}

    // Past limit_ms of the clock, or past limit_calls (and calls_per_ms for
    // each millisecond gone by), the session is stopped.
    void watch(Clock& clock, int64_t limit_ms, uint64_t limit_calls, uint64_t calls_per_ms = 0) {
        clock_ = &clock;
        start_ms_ = clock.calendar_ms();
        limit_ms_ = limit_ms;
        limit_calls_ = limit_calls;
        calls_per_ms_ = calls_per_ms;
    }
    void cut_after(std::size_t bytes, Cut how) {
        cut_at_ = bytes;
        cut_ = how;
    }
    // Pulls the cable at at_ms of the watched clock.
    void unplug_at(int64_t at_ms) { unplug_at_ms_ = at_ms; }

    void on_write(const uint8_t* data, std::size_t count, uint32_t baud, int64_t now_ms) override {
        check();
        if (unplugged()) return;
        written_.insert(written_.end(), data, data + count);
        if (write_times_.empty() || write_times_.back() != now_ms) write_times_.push_back(now_ms);
        inner_.on_write(data, count, baud, now_ms);
    }
    void on_settings(const LineSettings& settings, int64_t now_ms) override {
        check();
        inner_.on_settings(settings, now_ms);
    }
    void deliver(int64_t now_ms, std::vector<uint8_t>& out) override {
        check();
        std::vector<uint8_t> got;
        inner_.deliver(now_ms, got);
        for (uint8_t b : got) {
            if (cut_ != Cut::NONE && received_.size() >= cut_at_) break;
            received_.push_back(b);
            arrivals_.push_back(now_ms);
            out.push_back(b);
        }
    }
    int64_t next_delivery_ms(int64_t now_ms) override {
        check();
        if (cut_ != Cut::NONE && received_.size() >= cut_at_) {
            // The reader's own bytes are lost, but it still lives.
            std::vector<uint8_t> lost;
            inner_.deliver(now_ms, lost);
            return NEVER;
        }
        // A read under way wakes when the cable is pulled.
        const int64_t next = inner_.next_delivery_ms(now_ms);
        return unplug_at_ms_ > now_ms ? std::min(next, unplug_at_ms_) : next;
    }
    bool connected() override { return !unplugged() && inner_.connected(); }

    // Every byte the utility received, in order.
    const std::vector<uint8_t>& received() const { return received_; }
    // Every byte the utility wrote while the cable was in.
    const std::vector<uint8_t>& written() const { return written_; }
    // When each received byte reached the utility.
    const std::vector<int64_t>& arrivals() const { return arrivals_; }
    // When the utility wrote, each millisecond once.
    const std::vector<int64_t>& write_times() const { return write_times_; }
    // Takes, unwatched, what the reader still had on its way at at_ms.
    void drain(int64_t at_ms) {
        std::vector<uint8_t> got;
        inner_.deliver(at_ms, got);
        received_.insert(received_.end(), got.begin(), got.end());
        arrivals_.resize(received_.size(), at_ms);
    }

  private:
    bool unplugged() const {
        if (unplug_at_ms_ >= 0 && clock_ != nullptr && clock_->calendar_ms() >= unplug_at_ms_)
            return true;
        return cut_ == Cut::UNPLUG && received_.size() >= cut_at_;
    }
    void check() {
        ++calls_;
        if (clock_ == nullptr) return;
        if (clock_->calendar_ms() - start_ms_ > limit_ms_) {
            throw WatchdogTripped{"virtual time ran past the limit"};
        }
        const auto gone = static_cast<uint64_t>(clock_->calendar_ms() - start_ms_);
        if (calls_ > limit_calls_ + calls_per_ms_ * gone) {
            throw WatchdogTripped{"the line was polled without end"};
        }
    }

    LinePeer& inner_;
    Clock* clock_ = nullptr;
    int64_t start_ms_ = 0;
    int64_t limit_ms_ = 0;
    uint64_t limit_calls_ = 0;
    uint64_t calls_per_ms_ = 0;
    uint64_t calls_ = 0;
    std::size_t cut_at_ = 0;
    Cut cut_ = Cut::NONE;
    int64_t unplug_at_ms_ = -1;
    std::vector<uint8_t> received_;
    std::vector<int64_t> arrivals_;
    std::vector<uint8_t> written_;
    std::vector<int64_t> write_times_;
};

// Where each framed frame lies in a byte stream the reader sent: [start,
// end) offsets, end just after the check byte.
struct FrameSpan {
    std::size_t start;
    std::size_t end;
    uint8_t code;
};

inline std::vector<FrameSpan> frame_map(const std::vector<uint8_t>& bytes) {
    std::vector<FrameSpan> frames;
    std::size_t i = 0;
    while (i + 1 < bytes.size()) {
        if (!(bytes[i] == 0x10 && bytes[i + 1] == 0x02)) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        if (i + 4 >= bytes.size()) break;
        const uint8_t code = bytes[i + 3];
        std::size_t j = i + 5;  // after direction, code, subcode
        bool ended = false;
        while (j + 1 < bytes.size()) {
            if (bytes[j] == 0x10) {
                if (bytes[j + 1] == 0x03) {
                    ended = true;
                    j += 2;
                    break;
                }
                j += 2;  // a mark or a doubled DLE
            } else {
                ++j;
            }
        }
        if (!ended || j >= bytes.size()) break;
        frames.push_back({start, j + 1, code});
        i = j + 1;
    }
    return frames;
}

struct SessionRun {
    int status = -1;
    std::string output;
    std::string tripped;  // why the watchdog stopped the session; empty when it did not
    std::vector<uint8_t> received;
    std::vector<uint8_t> written;
};

// The limits of every session here: no command of the utility needs more
// than a few minutes of reader time.
constexpr int64_t SESSION_LIMIT_MS = 3 * 3600 * 1000;
constexpr uint64_t SESSION_LIMIT_CALLS = 20'000'000;

// Runs a whole session against peer through a guarded line; keys are the
// keyboard's input (keys and lines), which ends after them.
inline SessionRun run_guarded(LinePeer& peer, const std::vector<std::string>& args,
                              const std::string& keys, std::size_t cut_after = 0,
                              GuardedLine::Cut cut = GuardedLine::Cut::NONE) {
    GuardedLine line(peer);
    korva::testing::SessionHarness harness(line, keys);
    line.watch(harness.clock, SESSION_LIMIT_MS, SESSION_LIMIT_CALLS);
    if (cut != GuardedLine::Cut::NONE) line.cut_after(cut_after, cut);
    SessionRun run;
    try {
        run.status = harness.run(args);
    } catch (const WatchdogTripped& w) {
        run.tripped = w.why;
    }
    run.output = harness.console.output();
    run.received = line.received();
    run.written = line.written();
    return run;
}

inline sim::ReaderProfile profile_of(const std::string& text) {
    sim::ReaderProfile p;
    std::string error;
    EXPECT_TRUE(sim::parse_profile(text, p, error)) << error;
    return p;
}

// The text of a file, or "<absent>".
inline std::string file_or_absent(const std::filesystem::path& path) {
    if (!std::filesystem::exists(path)) return "<absent>";
    return korva::testing::read_file(path);
}

}  // namespace korva::reliability
