// A serial device whose far end is a program object: the virtual reader, or
// a test double. Time is the given Clock's: a VirtualClock in tests (waits
// cost no real time), the system clock for a real-time simulated session.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "platform/clock.h"
#include "serial/serial_device.h"

namespace korva {

constexpr int64_t NEVER = std::numeric_limits<int64_t>::max();

// The far end of a simulated line.
class LinePeer {
  public:
    virtual ~LinePeer() = default;
    // The utility put these bytes on the line at now_ms, its port at baud.
    virtual void on_write(const uint8_t* data, std::size_t count, uint32_t baud,
                          int64_t now_ms) = 0;
    // The utility's port changed its settings (its speed) at now_ms.
    virtual void on_settings(const LineSettings& /*settings*/, int64_t /*now_ms*/) {}
    // Appends to out every byte that has reached the utility by now_ms.
    virtual void deliver(int64_t now_ms, std::vector<uint8_t>& out) = 0;
    // When the next byte will reach the utility if nothing more is written;
    // NEVER when none is due.
    virtual int64_t next_delivery_ms(int64_t now_ms) = 0;
    // False once the cable is pulled: the device is gone from then on.
    virtual bool connected() { return true; }
};

class SimSerialDevice : public SerialDevice {
  public:
    SimSerialDevice(Clock& clock, LinePeer& peer) : clock_(clock), peer_(peer) {}

    bool get_state(LineSettings& settings) override;
    bool set_state(const LineSettings& settings) override;
    bool set_timeouts(const ReadTimeouts& timeouts) override;
    bool set_mask(uint32_t mask) override;
    std::size_t read(uint8_t* buffer, std::size_t count) override;
    std::size_t write(const uint8_t* buffer, std::size_t count) override;
    std::string device_path() const override { return "simulated line"; }

    const LineSettings& settings() const { return settings_; }
    const ReadTimeouts& timeouts() const { return timeouts_; }
    uint32_t mask() const { return mask_; }

    // Make set_state fail from now on (a port that refuses a speed).
    void refuse_settings(bool refuse) { refuse_settings_ = refuse; }

    // What failure() says once the peer's cable is pulled.
    static constexpr const char* CABLE_PULLED = "the cable was pulled";

  private:
    // False, and the device gone, once the peer is no longer connected.
    bool still_there();

    Clock& clock_;
    LinePeer& peer_;
    LineSettings settings_{};
    ReadTimeouts timeouts_{};
    uint32_t mask_ = 0;
    bool refuse_settings_ = false;
    std::vector<uint8_t> arrived_;
    std::deque<uint8_t> pending_;
};

}  // namespace korva
