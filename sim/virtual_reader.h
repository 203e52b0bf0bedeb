// The virtual reader: a KORVA reader played by a program, at the far end of
// a simulated line. It takes the bytes the utility writes, at the line speed
// the utility set, and answers with its own bytes, each with the time it
// reaches the utility. The line itself, with what stands between it and the
// utility, is a VirtualLine (virtual_line.h).
//
// Time is kept lazily: nothing runs on its own. Whenever the line is touched
// (on_write, on_settings, deliver, next_delivery_ms) the reader first lives
// through everything due up to that moment in time order: the utility's
// bytes as they finish crossing the line, and its own events (switching on,
// the end of a restart, the TLA starting). Internally time counts in
// nanoseconds. A simulated line hands the bytes over by its millisecond
// clock; a real-time line (the reader on a pty) uses the nanosecond forms
// and hands each byte over at its due time.
//
// Modes: Off (switched off), Booting (restarting, deaf), Boot (the boot
// software speaks the framed maintenance protocol), Tla (the TLA software
// speaks the raw PSS protocol; only a framed reset still reaches the boot).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "serial/sim_serial_device.h"
#include "sim/frame_codec.h"
#include "sim/image_set.h"
#include "sim/pss_codec.h"
#include "sim/reader_profile.h"
#include "sim/virtual_line.h"

namespace korva::sim {

enum class ReaderMode { Off, Booting, Boot, Tla };

// Timings of the reader, in milliseconds.
struct ReaderTimings {
    int64_t turnaround_ms = 3;       // before the first byte of an answer (the profile's)
    int64_t boot_ms = 500;           // from switching on or a reset to the 0xF2 frame
    int64_t tla_start_ms = 3000;     // from the 0xF2 frame to the TLA's start bytes
    int64_t self_restart_ms = 1500;  // from an accepted removal or payment loading to the restart
    int64_t user_answer_ms = 1500;   // the reader's user answering the removal question
    int64_t jitter_ms = 0;           // the turnaround varies by up to this much more
};

class VirtualReader : public LinePeer {
  public:
    VirtualReader(const ReaderProfile& profile, const FaultKnobs& faults, bool pacing);

    // LinePeer.
    void on_write(const uint8_t* data, std::size_t count, uint32_t baud, int64_t now_ms) override;
    void on_settings(const LineSettings& settings, int64_t now_ms) override;
    void deliver(int64_t now_ms, std::vector<uint8_t>& out) override;
    int64_t next_delivery_ms(int64_t now_ms) override;
    bool connected() override { return line_.connected(); }

    // The same, on a nanosecond clock.
    void on_write_ns(const uint8_t* data, std::size_t count, uint32_t baud, int64_t now_ns);
    void on_settings_ns(const LineSettings& settings, int64_t now_ns);
    void deliver_ns(int64_t now_ns, std::vector<uint8_t>& out);
    // Exact: the due time of the next byte or inner event, not rounded up.
    int64_t next_delivery_ns(int64_t now_ns);

    // Switches the reader on at at_ms (when it is off). Without this call it
    // is switched on power_on_ms after the utility first configures its port.
    void power_on_at(int64_t at_ms);
    // The software the reader accepts: the parts of this set instead of the
    // embedded images (before the session starts).
    void hold_images(std::shared_ptr<const ImageSet> images) { images_ = std::move(images); }
    // Lives through everything due up to now_ms, as touching the line would:
    // for inspecting the reader after the utility stopped using the line.
    void catch_up(int64_t now_ms) { advance_to(ms_to_ns(now_ms)); }
    ReaderTimings& timings() { return timings_; }
    // The calendar time (ns since the epoch) at the reader's time 0, for
    // the start-up frame's phase: 0 where the line runs on the calendar
    // clock, as in process; a pty's steady clock needs the difference.
    void set_calendar_offset_ns(int64_t offset_ns) { calendar_offset_ns_ = offset_ns; }

    // Inspection, for tests.
    ReaderMode mode() const { return mode_; }
    bool on_hold() const { return hold_; }
    uint32_t line_baud() const { return baud_; }
    const std::vector<Frame>& frames_received() const { return frames_; }
    const std::vector<PssFrame>& pss_frames_received() const { return pss_frames_; }
    // The bytes of the last complete download into a block code; nullptr
    // when there is none.
    const std::vector<uint8_t>* downloaded(uint8_t block_code) const;
    // The software a block holds now; nullptr when the block is empty.
    const BlockSoftware* software(uint8_t block_number) const;
    unsigned packets_received() const { return packets_received_; }
    unsigned restarts() const { return restarts_; }
    bool payment_loading() const { return payment_loading_; }
    // Frames dropped for a wrong check byte.
    unsigned bad_checks() const { return framed_.bad_checks(); }

  private:
    struct Download {
        bool active = false;
        uint8_t block_code = 0;
        std::vector<uint8_t> bytes;
        uint32_t sum = 0;
        uint8_t expected = 1;
        bool refused_once = false;
    };

    void advance_to(int64_t t_ns);
    int64_t next_event_ns() const;
    void run_events_at(int64_t t_ns);
    void receive(const LineByte& b);
    void receive_heard(uint8_t byte, int64_t t_ns);

    // Framed side.
    void handle_request(const Frame& request, int64_t t_ns);
    void answer_boot_info(int64_t ready_ns);
    void answer_block_list(int64_t ready_ns);
    void answer_download(const Frame& request, int64_t ready_ns);
    void answer_signature(const Frame& request, int64_t ready_ns);
    void answer_erase(uint8_t param, int64_t ready_ns);
    void send_frame(uint8_t code, std::vector<Section> sections, int64_t ready_ns,
                    uint8_t direction = 0x03);
    void after_answer(int64_t ready_ns);

    // PSS side.
    void handle_pss(const PssFrame& frame, int64_t t_ns);
    void send_pss(uint8_t control, std::vector<uint8_t> data, int64_t ready_ns);

    // Life cycle.
    void restart(int64_t t_ns);
    void boot_done(int64_t t_ns);
    void tla_start(int64_t t_ns);
    bool tla_installed() const { return blocks_.count(5) != 0; }

    // When the reader puts its answers on the line.
    int64_t startup_frame_ns(int64_t ready_ns) const;
    int64_t turnaround_ns();

    ReaderProfile profile_;
    FaultKnobs faults_;
    ReaderTimings timings_;
    std::mt19937_64 random_;
    int64_t calendar_offset_ns_ = 0;
    std::shared_ptr<const ImageSet> images_ = default_image_set();

    int64_t now_ns_ = 0;
    ReaderMode mode_ = ReaderMode::Off;
    bool hold_ = false;
    uint32_t baud_ = 9600;  // the reader's own line speed
    std::map<uint8_t, BlockSoftware> blocks_;

    // Scheduled events; NEVER_NS when none.
    int64_t power_on_ns_ = NEVER_NS;
    int64_t boot_done_ns_ = NEVER_NS;
    int64_t tla_start_ns_ = NEVER_NS;
    int64_t restart_ns_ = NEVER_NS;
    bool configured_ = false;

    VirtualLine line_;

    FrameParser framed_;
    PssParser pss_;
    Download download_;
    std::map<uint8_t, std::vector<uint8_t>> downloads_;  // complete, by block code
    bool removal_question_ = false;
    unsigned poll_others_left_ = 0;
    bool silent_ = false;
    bool payment_loading_ = false;

    std::vector<Frame> frames_;
    std::vector<PssFrame> pss_frames_;
    unsigned packets_received_ = 0;
    unsigned restarts_ = 0;
};

}  // namespace korva::sim
