// A simple far end for a simulated line: records what the utility writes and
// plays back bytes scheduled at given times. No GoogleTest here: the fuzz
// harnesses use it too.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "serial/sim_serial_device.h"

namespace korva {

class ScriptedPeer : public LinePeer {
  public:
    void on_write(const uint8_t* data, std::size_t count, uint32_t baud, int64_t) override {
        written_.insert(written_.end(), data, data + count);
        last_baud_ = baud;
    }
    void deliver(int64_t now_ms, std::vector<uint8_t>& out) override {
        while (!due_.empty() && due_.front().at_ms <= now_ms) {
            out.push_back(due_.front().byte);
            due_.pop_front();
        }
    }
    int64_t next_delivery_ms(int64_t) override { return due_.empty() ? NEVER : due_.front().at_ms; }
    bool connected() override { return connected_; }

    // Bytes that reach the utility at at_ms.
    void schedule(int64_t at_ms, const std::vector<uint8_t>& bytes) {
        // Keep the queue in time order; bytes of one call keep their order.
        auto pos = std::upper_bound(due_.begin(), due_.end(), at_ms,
                                    [](int64_t t, const Due& d) { return t < d.at_ms; });
        std::deque<Due> added;
        for (uint8_t b : bytes) added.push_back({at_ms, b});
        due_.insert(pos, added.begin(), added.end());
    }
    void unplug() { connected_ = false; }

    const std::vector<uint8_t>& written() const { return written_; }
    void clear_written() { written_.clear(); }
    uint32_t last_write_baud() const { return last_baud_; }

  private:
    struct Due {
        int64_t at_ms;
        uint8_t byte;
    };
    std::deque<Due> due_;
    std::vector<uint8_t> written_;
    uint32_t last_baud_ = 0;
    bool connected_ = true;
};

}  // namespace korva
