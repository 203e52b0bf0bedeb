// The reader's PSS side: what its TLA software answers to the probe, the
// TLA removal and its poll, and the switch to payment loading.
#include "sim/virtual_reader.h"

namespace korva::sim {

namespace {

const std::vector<uint8_t> kProbe = {0x00, 0x28, 0x00, 0xC8};
const std::vector<uint8_t> kRemoveTla = {0xFF, 0x01, 0x04, 0x01, 0x01, 0x04, 0x00};
const std::vector<uint8_t> kPoll = {0x05, 0x78};
const std::vector<uint8_t> kPaymentLoading = {0xFF, 0x01, 0xFF};

// Status bytes of the reader's user in the answer to the poll.
constexpr uint8_t POLL_ACCEPTED = 0x00;
constexpr uint8_t POLL_NOTHING_YET = 0x01;

}  // namespace

void VirtualReader::send_pss(uint8_t control, std::vector<uint8_t> data, int64_t ready_ns) {
    PssFrame frame;
    frame.address = static_cast<uint8_t>(profile_.pad * 16 + 15);
    frame.control = control;
    frame.data = std::move(data);
    line_.reader_sends(build_pss_frame(frame), baud_, ready_ns, false);
}

void VirtualReader::handle_pss(const PssFrame& frame, int64_t t_ns) {
    if (silent_ || frame.address != profile_.pad * 16 + 15) return;
    const int64_t ready = t_ns + turnaround_ns();
    if (frame.control == 0xC0 && frame.data == kProbe) {
        send_pss(0x80, {0x00, 0x28, 0x01, 0x00}, ready);  // 9 bytes on the wire
    } else if (frame.control == 0x40 && frame.data == kRemoveTla) {
        send_pss(0x00, {0x90}, ready);
        removal_question_ = true;  // the reader asks its user
    } else if (frame.control == 0xF8 && frame.data == kPoll) {
        uint8_t status = POLL_NOTHING_YET;
        if (removal_question_) {
            removal_question_ = false;
            if (poll_others_left_ > 0) {
                --poll_others_left_;
            } else {
                status = faults_.poll_status >= 0 ? static_cast<uint8_t>(faults_.poll_status)
                                                  : POLL_ACCEPTED;
            }
        }
        // The user takes a moment to answer on the reader's keypad.
        send_pss(0x00, {0x05, status}, t_ns + ms_to_ns(timings_.user_answer_ms));
        if (status == POLL_ACCEPTED) {
            blocks_.erase(5);
            blocks_.erase(6);
            restart_ns_ = line_.reader_free_ns() + ms_to_ns(timings_.self_restart_ms);
        }
    } else if (frame.control == 0x40 && frame.data == kPaymentLoading) {
        payment_loading_ = true;
        restart_ns_ = t_ns + ms_to_ns(timings_.self_restart_ms);
    }
}

}  // namespace korva::sim
