#include "serial/sim_serial_device.h"

#include <algorithm>

namespace korva {

namespace {
constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;
}

bool SimSerialDevice::get_state(LineSettings& settings) {
    settings = settings_;
    return true;
}

bool SimSerialDevice::set_state(const LineSettings& settings) {
    if (refuse_settings_) return false;
    settings_ = settings;
    peer_.on_settings(settings_, clock_.calendar_ms());
    return true;
}

bool SimSerialDevice::set_timeouts(const ReadTimeouts& timeouts) {
    timeouts_ = timeouts;
    return true;
}

bool SimSerialDevice::set_mask(uint32_t mask) {
    mask_ = mask;
    return true;
}

bool SimSerialDevice::still_there() {
    if (failure().empty() && !peer_.connected()) mark_gone(CABLE_PULLED);
    return failure().empty();
}

std::size_t SimSerialDevice::read(uint8_t* buffer, std::size_t count) {
    if (count == 0 || !still_there()) return 0;
    const int64_t start = clock_.calendar_ms();
    const bool no_total = timeouts_.multiplier == 0 && timeouts_.constant == 0;
    int64_t total_deadline = NEVER;
    if (!no_total) {
        total_deadline = start +
                         static_cast<int64_t>(timeouts_.multiplier) * static_cast<int64_t>(count) +
                         timeouts_.constant;
    } else if (timeouts_.interval == MAXDWORD) {
        total_deadline = start;  // return at once with what is there
    }

    const bool interval_on = timeouts_.interval != 0 && timeouts_.interval != MAXDWORD;
    std::size_t got = 0;
    int64_t last_byte_ms = start;
    for (;;) {
        const int64_t now = clock_.calendar_ms();
        // The cable pulled in the middle of a read: what came is kept, and
        // the device is gone from now on.
        if (!still_there()) return got;
        arrived_.clear();
        peer_.deliver(now, arrived_);
        pending_.insert(pending_.end(), arrived_.begin(), arrived_.end());
        // A byte that comes after a silence longer than the interval is the
        // next read's.
        if (got > 0 && interval_on && now > last_byte_ms + static_cast<int64_t>(timeouts_.interval))
            return got;
        while (got < count && !pending_.empty()) {
            buffer[got++] = pending_.front();
            pending_.pop_front();
            last_byte_ms = now;
        }
        if (got == count) return got;

        int64_t wake = total_deadline;
        if (got > 0 && interval_on) {
            // Ends once the line has been silent for longer than the interval.
            wake = std::min(wake, last_byte_ms + static_cast<int64_t>(timeouts_.interval) + 1);
        }
        if (now >= wake) return got;
        int64_t next = peer_.next_delivery_ms(now);
        if (next <= now) next = now + 1;  // a peer late with its bytes: look again shortly
        const int64_t until = std::min(wake, next);
        if (until == NEVER) return got;  // nothing will ever come
        clock_.sleep_ms(until - now);
    }
}

std::size_t SimSerialDevice::write(const uint8_t* buffer, std::size_t count) {
    if (!still_there()) return 0;
    peer_.on_write(buffer, count, settings_.baud_rate, clock_.calendar_ms());
    return count;
}

}  // namespace korva
