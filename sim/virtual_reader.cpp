// The reader's power and timing: its own events (switching on, restarts, the
// TLA starting) and the bytes that cross its line, in time order, and what
// it hears. Its framed side is in virtual_reader_framed.cpp, its PSS side in
// virtual_reader_pss.cpp; the line itself in virtual_line.cpp.
#include "sim/virtual_reader.h"

#include <algorithm>

namespace korva::sim {

namespace {

constexpr int64_t NS_PER_S = 1'000'000'000;

int64_t ceil_ms(int64_t ns) {
    return ns / NS_PER_MS + (ns % NS_PER_MS > 0 ? 1 : 0);
}

}  // namespace

VirtualReader::VirtualReader(const ReaderProfile& profile, const FaultKnobs& faults, bool pacing)
    : profile_(profile),
      faults_(faults),
      random_(profile.seed),
      blocks_(profile.software),
      line_(profile, faults, pacing) {
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

// --- the line's ends ------------------------------------------------------

void VirtualReader::on_write(const uint8_t* data, std::size_t count, uint32_t baud,
                             int64_t now_ms) {
    on_write_ns(data, count, baud, ms_to_ns(now_ms));
}

void VirtualReader::on_settings(const LineSettings& settings, int64_t now_ms) {
    on_settings_ns(settings, ms_to_ns(now_ms));
}

void VirtualReader::deliver(int64_t now_ms, std::vector<uint8_t>& out) {
    advance_to(ms_to_ns(now_ms));
    line_.hand_over(ms_to_ns(now_ms), NS_PER_MS, out);
}

int64_t VirtualReader::next_delivery_ms(int64_t now_ms) {
    const int64_t next = next_delivery_ns(ms_to_ns(now_ms));
    return next == NEVER_NS ? NEVER : ceil_ms(next);
}

void VirtualReader::on_write_ns(const uint8_t* data, std::size_t count, uint32_t baud, int64_t t) {
    advance_to(t);
    line_.utility_writes(data, count, baud, t);
}

void VirtualReader::on_settings_ns(const LineSettings& settings, int64_t t) {
    advance_to(t);
    line_.utility_speed(settings.baud_rate, t);
    if (!configured_) {
        configured_ = true;
        if (mode_ == ReaderMode::Off && power_on_ns_ == NEVER_NS)
            power_on_ns_ = t + ms_to_ns(profile_.power_on_ms);
    }
}

void VirtualReader::deliver_ns(int64_t t, std::vector<uint8_t>& out) {
    advance_to(t);
    line_.hand_over(t, 1, out);
}

int64_t VirtualReader::next_delivery_ns(int64_t now_ns) {
    advance_to(now_ns);
    if (!line_.connected()) return NEVER_NS;
    // The reader's own events and the utility's bytes still on the line
    // may lead to an answer: look again then.
    return std::min({line_.next_handing_ns(), next_event_ns(), line_.next_arrival_ns()});
}

void VirtualReader::power_on_at(int64_t at_ms) {
    if (mode_ == ReaderMode::Off) power_on_ns_ = ms_to_ns(at_ms);
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

// --- time -----------------------------------------------------------------

int64_t VirtualReader::next_event_ns() const {
    return std::min({power_on_ns_, restart_ns_, boot_done_ns_, tla_start_ns_});
}

void VirtualReader::advance_to(int64_t t_ns) {
    for (;;) {
        const int64_t event = next_event_ns();
        const int64_t byte = line_.next_arrival_ns();
        if (std::min(event, byte) > t_ns) break;
        if (event <= byte) {
            now_ns_ = std::max(now_ns_, event);
            run_events_at(event);
        } else {
            const LineByte b = line_.take_arrival();
            now_ns_ = std::max(now_ns_, b.at_ns);
            receive(b);
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
        tla_start_ns_ = line_.reader_free_ns() + ms_to_ns(timings_.tla_start_ms);
}

void VirtualReader::tla_start(int64_t t_ns) {
    if (mode_ != ReaderMode::Boot || hold_ || !tla_installed()) return;
    mode_ = ReaderMode::Tla;
    // The start bytes still go out at the boot's speed; then the TLA takes
    // the line at its own.
    line_.reader_sends({profile_.start_byte, 0x00, 0x00}, baud_, t_ns, false);
    baud_ = profile_.pss_speed;
}

// --- receiving ------------------------------------------------------------

void VirtualReader::receive(const LineByte& b) {
    if (mode_ == ReaderMode::Off || mode_ == ReaderMode::Booting) return;
    std::vector<uint8_t> heard;
    line_.hear_at_reader(b, baud_, heard);
    for (uint8_t h : heard) receive_heard(h, b.at_ns);
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
