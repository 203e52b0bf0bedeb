// The reader's line, power and timing: the bytes on both sides of the line at
// their speed, the reader's own events (switching on, restarts, the TLA
// starting) in time order, and what it hears. Its framed side is in
// virtual_reader_framed.cpp, its PSS side in virtual_reader_pss.cpp.
#include "sim/virtual_reader.h"

#include <algorithm>
#include <limits>

namespace korva::sim {

namespace {

// Stray bytes of a noisy line; a lone DLE among them, never last.
const std::vector<uint8_t> kNoise = {0x00, 0x10, 0x55, 0xFF, 0x3C};

constexpr int64_t NS_PER_MS = 1'000'000;
constexpr int64_t NS_PER_S = 1'000'000'000;
// A USB adapter's buffer: a 64-byte packet less its two status bytes.
constexpr std::size_t USB_BURST = 62;

int64_t ceil_ms(int64_t ns) {
    return ns / NS_PER_MS + (ns % NS_PER_MS > 0 ? 1 : 0);
}

// The first multiple of step at or after t (step > 0).
int64_t round_up(int64_t t, int64_t step) {
    const int64_t r = t % step;
    if (r == 0) return t;
    return r > 0 ? t + step - r : t - r;
}

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

VirtualReader::VirtualReader(const ReaderProfile& profile, const FaultKnobs& faults, bool pacing)
    : profile_(profile),
      faults_(faults),
      pacing_(pacing),
      random_(profile.seed),
      blocks_(profile.software) {
    utility_baud_.push_back({std::numeric_limits<int64_t>::min(), 9600});
    poll_others_left_ = faults.poll_other;
    timings_.turnaround_ms = profile_.turnaround_ms;
    timings_.jitter_ms = profile_.jitter_ms;
    timings_.tla_start_ms = profile_.tla_start_ms;
    timings_.user_answer_ms = profile_.user_answer_ms;
    timings_.self_restart_ms = profile_.self_restart_ms;
    if (profile_.on_hold) {
        mode_ = ReaderMode::Boot;
        hold_ = true;
    }
}

// --- the line -------------------------------------------------------------

void VirtualReader::on_write(const uint8_t* data, std::size_t count, uint32_t baud,
                             int64_t now_ms) {
    on_write_ns(data, count, baud, ms_to_ns(now_ms));
}

void VirtualReader::on_settings(const LineSettings& settings, int64_t now_ms) {
    on_settings_ns(settings, ms_to_ns(now_ms));
}

void VirtualReader::deliver(int64_t now_ms, std::vector<uint8_t>& out) {
    advance_to(ms_to_ns(now_ms));
    hand_over(ms_to_ns(now_ms), NS_PER_MS, out);
}

int64_t VirtualReader::next_delivery_ms(int64_t now_ms) {
    const int64_t next = next_delivery_ns(ms_to_ns(now_ms));
    return next == NEVER_NS ? NEVER : ceil_ms(next);
}

void VirtualReader::on_write_ns(const uint8_t* data, std::size_t count, uint32_t baud, int64_t t) {
    advance_to(t);
    if (unplugged_) return;
    if (utility_baud_.back().second != baud) utility_baud_.push_back({t, baud});
    for (std::size_t i = 0; i < count; ++i) {
        const int64_t start = std::max(t, utility_tx_free_ns_);
        const int64_t arrival = pacing_ ? start + byte_ns(baud) : start;
        utility_tx_free_ns_ = arrival;
        incoming_.push_back({arrival, data[i], baud});
    }
}

void VirtualReader::on_settings_ns(const LineSettings& settings, int64_t t) {
    advance_to(t);
    if (utility_baud_.back().second != settings.baud_rate)
        utility_baud_.push_back({t, settings.baud_rate});
    if (!configured_) {
        configured_ = true;
        if (mode_ == ReaderMode::Off && power_on_ns_ == NEVER_NS)
            power_on_ns_ = t + ms_to_ns(profile_.power_on_ms);
    }
}

void VirtualReader::deliver_ns(int64_t t, std::vector<uint8_t>& out) {
    advance_to(t);
    hand_over(t, 1, out);
}

int64_t VirtualReader::handing_ns() const {
    const LineByte& first = outgoing_.front();
    if (profile_.byte_gap_us > 0) return std::max(first.at_ns, gap_ready_ns_);
    if (profile_.usb_latency_ms > 0) {
        // The latency timer runs out at every multiple of its period; a full
        // buffer goes at once.
        const int64_t timer = round_up(first.at_ns, ms_to_ns(profile_.usb_latency_ms));
        if (outgoing_.size() >= USB_BURST && outgoing_[USB_BURST - 1].at_ns < timer)
            return outgoing_[USB_BURST - 1].at_ns;
        return timer;
    }
    return first.at_ns;
}

void VirtualReader::hand_over(int64_t t, int64_t tick_ns, std::vector<uint8_t>& out) {
    if (unplugged_) return;
    while (!outgoing_.empty()) {
        const int64_t at = handing_ns();
        if (at > t) break;
        // One byte alone, a burst of what crossed before the handing, or
        // every byte that has crossed.
        std::size_t left = profile_.byte_gap_us > 0      ? 1
                           : profile_.usb_latency_ms > 0 ? USB_BURST
                                                         : outgoing_.size();
        while (left > 0 && !outgoing_.empty() && outgoing_.front().at_ns <= at) {
            const LineByte b = outgoing_.front();
            outgoing_.pop_front();
            hear(b.byte, b.baud, utility_baud_at(b.at_ns), outgoing_half_, out);
            --left;
        }
        // The utility took that byte at a tick of its clock; the next one
        // comes the gap after that.
        if (profile_.byte_gap_us > 0)
            gap_ready_ns_ = round_up(at, tick_ns) + profile_.byte_gap_us * 1000;
    }
}

int64_t VirtualReader::next_delivery_ns(int64_t now_ns) {
    advance_to(now_ns);
    if (unplugged_) return NEVER_NS;
    int64_t next = NEVER_NS;
    if (!outgoing_.empty()) next = handing_ns();
    // The reader's own events and the utility's bytes still on the line
    // may lead to an answer: look again then.
    next = std::min(next, next_event_ns());
    if (!incoming_.empty()) next = std::min(next, incoming_.front().at_ns);
    return next;
}

void VirtualReader::power_on_at(int64_t at_ms) {
    if (mode_ == ReaderMode::Off) power_on_ns_ = ms_to_ns(at_ms);
}

int64_t VirtualReader::byte_ns(uint32_t baud) const {
    return baud == 0 ? 0 : 10'000'000'000LL / baud;  // ten bits a byte
}

uint32_t VirtualReader::utility_baud_at(int64_t t_ns) const {
    for (auto it = utility_baud_.rbegin(); it != utility_baud_.rend(); ++it)
        if (it->first <= t_ns) return it->second;
    return 9600;
}

int64_t VirtualReader::turnaround_ns() {
    int64_t ns = ms_to_ns(timings_.turnaround_ms);
    if (timings_.jitter_ms > 0) {
        // Drawn to the microsecond; the generator's output is the same on
        // every platform.
        const uint64_t range = static_cast<uint64_t>(timings_.jitter_ms) * 1000 + 1;
        ns += static_cast<int64_t>(random_() % range) * 1000;
    }
    return ns;
}

int64_t VirtualReader::startup_frame_ns(int64_t ready_ns) const {
    if (profile_.startup_phase_ms < 0) return ready_ns;
    const int64_t calendar = ready_ns + calendar_offset_ns_;
    const int64_t phase = ms_to_ns(profile_.startup_phase_ms);
    // The first instant at or after ready whose place in its second is phase.
    const int64_t at = round_up(calendar - phase, NS_PER_S) + phase;
    return at - calendar_offset_ns_;
}

void VirtualReader::put_byte(uint8_t byte, int64_t ready_ns) {
    const int64_t start = std::max(ready_ns, reader_tx_free_ns_);
    const int64_t arrival = pacing_ ? start + byte_ns(baud_) : start;
    reader_tx_free_ns_ = arrival;
    outgoing_.push_back({arrival, byte, baud_});
}

void VirtualReader::send_bytes(const std::vector<uint8_t>& bytes, int64_t ready_ns, bool frame) {
    if (frame && faults_.noise)
        for (uint8_t b : kNoise) put_byte(b, ready_ns);
    for (uint8_t b : bytes) {
        ++bytes_sent_;
        if (bytes_sent_ == faults_.drop) continue;
        put_byte(b, ready_ns);
        if (bytes_sent_ == faults_.duplicate) put_byte(b, ready_ns);
    }
}

// --- time -----------------------------------------------------------------

int64_t VirtualReader::next_event_ns() const {
    return std::min({power_on_ns_, restart_ns_, boot_done_ns_, tla_start_ns_});
}

void VirtualReader::advance_to(int64_t t_ns) {
    for (;;) {
        const int64_t event = next_event_ns();
        const int64_t byte = incoming_.empty() ? NEVER_NS : incoming_.front().at_ns;
        if (std::min(event, byte) > t_ns) break;
        if (event <= byte) {
            now_ns_ = std::max(now_ns_, event);
            run_events_at(event);
        } else {
            const LineByte b = incoming_.front();
            incoming_.pop_front();
            now_ns_ = std::max(now_ns_, b.at_ns);
            receive(b.byte, b.baud, b.at_ns);
        }
    }
    now_ns_ = std::max(now_ns_, t_ns);
}

void VirtualReader::run_events_at(int64_t t_ns) {
    if (power_on_ns_ <= t_ns) {
        power_on_ns_ = NEVER_NS;
        if (mode_ == ReaderMode::Off) {
            mode_ = ReaderMode::Booting;
            boot_done_ns_ = t_ns + ms_to_ns(timings_.boot_ms);
        }
    } else if (restart_ns_ <= t_ns) {
        restart_ns_ = NEVER_NS;
        restart(t_ns);
    } else if (boot_done_ns_ <= t_ns) {
        boot_done_ns_ = NEVER_NS;
        boot_done(t_ns);
    } else if (tla_start_ns_ <= t_ns) {
        tla_start_ns_ = NEVER_NS;
        tla_start(t_ns);
    }
}

void VirtualReader::restart(int64_t t_ns) {
    ++restarts_;
    mode_ = ReaderMode::Booting;
    hold_ = false;
    baud_ = 9600;
    download_ = Download{};
    removal_question_ = false;
    boot_done_ns_ = t_ns + ms_to_ns(timings_.boot_ms);
    tla_start_ns_ = NEVER_NS;
    restart_ns_ = NEVER_NS;
}

void VirtualReader::boot_done(int64_t t_ns) {
    mode_ = ReaderMode::Boot;
    send_frame(CODE_STARTED, {{MARK_SO, {0x00}}}, startup_frame_ns(t_ns));
    if (tla_installed() && !hold_)
        tla_start_ns_ = reader_tx_free_ns_ + ms_to_ns(timings_.tla_start_ms);
}

void VirtualReader::tla_start(int64_t t_ns) {
    if (mode_ != ReaderMode::Boot || hold_ || !tla_installed()) return;
    mode_ = ReaderMode::Tla;
    // The start bytes still go out at the boot's speed; then the TLA takes
    // the line at its own.
    send_bytes({profile_.start_byte, 0x00, 0x00}, t_ns, false);
    baud_ = profile_.pss_speed;
}

// --- receiving ------------------------------------------------------------

void VirtualReader::receive(uint8_t byte, uint32_t sent_baud, int64_t t_ns) {
    if (mode_ == ReaderMode::Off || mode_ == ReaderMode::Booting) return;
    std::vector<uint8_t> heard;
    hear(byte, sent_baud, baud_, incoming_half_, heard);
    for (uint8_t b : heard) receive_heard(b, t_ns);
}

void VirtualReader::receive_heard(uint8_t byte, int64_t t_ns) {
    const bool framed = framed_.push(byte);
    if (mode_ == ReaderMode::Boot) {
        if (framed) {
            frames_.push_back(framed_.frame());
            handle_request(framed_.frame(), t_ns);
        }
        return;
    }
    // The TLA runs: PSS frames, and the boot still hears a framed reset.
    if (pss_.push(byte, t_ns)) {
        pss_frames_.push_back(pss_.frame());
        handle_pss(pss_.frame(), t_ns);
    }
    if (framed && framed_.frame().code == CODE_RESET) {
        frames_.push_back(framed_.frame());
        restart(t_ns);
    }
}

// --- inspection -----------------------------------------------------------

const std::vector<uint8_t>* VirtualReader::downloaded(uint8_t block_code) const {
    const auto it = downloads_.find(block_code);
    return it == downloads_.end() ? nullptr : &it->second;
}

const BlockSoftware* VirtualReader::software(uint8_t block_number) const {
    const auto it = blocks_.find(block_number);
    return it == blocks_.end() ? nullptr : &it->second;
}

}  // namespace korva::sim
