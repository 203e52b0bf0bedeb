// The line between the virtual reader and the utility.
#include "sim/virtual_line.h"

#include <algorithm>
#include <limits>

namespace korva::sim {

namespace {

// Stray bytes of a noisy line; a lone DLE among them, never last.
const std::vector<uint8_t> kNoise = {0x00, 0x10, 0x55, 0xFF, 0x3C};

// A USB adapter's buffer: a 64-byte packet less its two status bytes.
constexpr std::size_t USB_BURST = 62;

// What a listener at `heard` baud makes of a byte sent at `sent` baud: the
// same byte at the same speed; two broken bytes when the sender is slower;
// one broken byte for every two when it is faster. Broken bytes have their
// top bit set and low nibble clear, so they never look like DLE or like a
// PSS address.
void hear(uint8_t byte, uint32_t sent, uint32_t heard, bool& half, std::vector<uint8_t>& out) {
    if (sent == heard) {
        half = false;
        out.push_back(byte);
    } else if (sent < heard) {
        out.push_back(static_cast<uint8_t>(0x80 | (byte & 0x70)));
        out.push_back(0xE0);
    } else {
        half = !half;
        if (half) out.push_back(static_cast<uint8_t>(0xC0 | (byte & 0x30)));
    }
}

}  // namespace

int64_t round_up(int64_t t, int64_t step) {
    const int64_t r = t % step;
    if (r == 0) return t;
    return r > 0 ? t + step - r : t - r;
}

VirtualLine::VirtualLine(const ReaderProfile& profile, const FaultKnobs& faults, bool pacing)
    : pacing_(pacing),
      byte_gap_us_(profile.byte_gap_us),
      usb_latency_ms_(profile.usb_latency_ms),
      drop_(faults.drop),
      duplicate_(faults.duplicate),
      noise_(faults.noise),
      corrupt_check_(faults.corrupt_check) {
    utility_baud_.push_back({std::numeric_limits<int64_t>::min(), 9600});
}

// --- from the utility to the reader ---------------------------------------

void VirtualLine::utility_writes(const uint8_t* data, std::size_t count, uint32_t baud, int64_t t) {
    if (unplugged_) return;
    utility_speed(baud, t);
    for (std::size_t i = 0; i < count; ++i) {
        const int64_t start = std::max(t, utility_tx_free_ns_);
        const int64_t arrival = pacing_ ? start + byte_ns(baud) : start;
        utility_tx_free_ns_ = arrival;
        incoming_.push_back({arrival, data[i], baud});
    }
}

void VirtualLine::utility_speed(uint32_t baud, int64_t t) {
    if (utility_baud_.back().second != baud) utility_baud_.push_back({t, baud});
}

int64_t VirtualLine::next_arrival_ns() const {
    return incoming_.empty() ? NEVER_NS : incoming_.front().at_ns;
}

LineByte VirtualLine::take_arrival() {
    const LineByte b = incoming_.front();
    incoming_.pop_front();
    return b;
}

void VirtualLine::hear_at_reader(const LineByte& b, uint32_t baud, std::vector<uint8_t>& out) {
    hear(b.byte, b.baud, baud, incoming_half_, out);
}

// --- from the reader to the utility ---------------------------------------

void VirtualLine::put_byte(uint8_t byte, uint32_t baud, int64_t ready_ns) {
    const int64_t start = std::max(ready_ns, reader_tx_free_ns_);
    const int64_t arrival = pacing_ ? start + byte_ns(baud) : start;
    reader_tx_free_ns_ = arrival;
    outgoing_.push_back({arrival, byte, baud});
}

void VirtualLine::reader_sends(std::vector<uint8_t> bytes, uint32_t baud, int64_t ready_ns,
                               bool frame) {
    if (frame && ++frames_sent_ == corrupt_check_) bytes.back() ^= 0x5A;
    if (frame && noise_)
        for (uint8_t b : kNoise) put_byte(b, baud, ready_ns);
    for (uint8_t b : bytes) {
        ++bytes_sent_;
        if (bytes_sent_ == drop_) continue;
        put_byte(b, baud, ready_ns);
        if (bytes_sent_ == duplicate_) put_byte(b, baud, ready_ns);
    }
}

int64_t VirtualLine::next_handing_ns() const {
    if (unplugged_ || outgoing_.empty()) return NEVER_NS;
    const LineByte& first = outgoing_.front();
    if (byte_gap_us_ > 0) return std::max(first.at_ns, gap_ready_ns_);
    if (usb_latency_ms_ > 0) {
        // The latency timer runs out at every multiple of its period; a full
        // buffer goes at once.
        const int64_t timer = round_up(first.at_ns, ms_to_ns(usb_latency_ms_));
        if (outgoing_.size() >= USB_BURST && outgoing_[USB_BURST - 1].at_ns < timer)
            return outgoing_[USB_BURST - 1].at_ns;
        return timer;
    }
    return first.at_ns;
}

void VirtualLine::hand_over(int64_t t, int64_t tick_ns, std::vector<uint8_t>& out) {
    if (unplugged_) return;
    while (!outgoing_.empty()) {
        const int64_t at = next_handing_ns();
        if (at > t) break;
        // One byte alone, a burst of what crossed before the handing, or
        // every byte that has crossed.
        std::size_t left = byte_gap_us_ > 0      ? 1
                           : usb_latency_ms_ > 0 ? USB_BURST
                                                 : outgoing_.size();
        while (left > 0 && !outgoing_.empty() && outgoing_.front().at_ns <= at) {
            const LineByte b = outgoing_.front();
            outgoing_.pop_front();
            hear(b.byte, b.baud, utility_baud_at(b.at_ns), outgoing_half_, out);
            --left;
        }
        // The utility took that byte at a tick of its clock; the next one
        // comes the gap after that.
        if (byte_gap_us_ > 0) gap_ready_ns_ = round_up(at, tick_ns) + byte_gap_us_ * 1000;
    }
}

void VirtualLine::pull_cable() {
    unplugged_ = true;
    outgoing_.clear();
}

int64_t VirtualLine::byte_ns(uint32_t baud) const {
    return baud == 0 ? 0 : 10'000'000'000LL / baud;  // ten bits a byte
}

uint32_t VirtualLine::utility_baud_at(int64_t t_ns) const {
    for (auto it = utility_baud_.rbegin(); it != utility_baud_.rend(); ++it)
        if (it->first <= t_ns) return it->second;
    return 9600;
}

}  // namespace korva::sim
