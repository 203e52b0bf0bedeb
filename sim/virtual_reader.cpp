#include "sim/virtual_reader.h"

#include <algorithm>
#include <limits>

#include "sim/image_set.h"

namespace korva::sim {

namespace {

constexpr uint8_t STATUS_OK = 0x55;
constexpr uint8_t STATUS_REFUSED = 0xAA;
constexpr uint8_t ERASE_REFUSED = 0xFE;
constexpr uint8_t HOLD_PARAM = 100;

constexpr uint8_t CODE_DOWNLOAD = 0xF1;
constexpr uint8_t CODE_STARTED = 0xF2;
constexpr uint8_t CODE_SPEED = 0xF3;
constexpr uint8_t CODE_SIGNATURE = 0xF4;
constexpr uint8_t CODE_BOOT_INFO = 0xF7;
constexpr uint8_t CODE_HOLD_1 = 0xF9;
constexpr uint8_t CODE_REPORT = 0xFA;
constexpr uint8_t CODE_BLOCK_LIST = 0xFB;
constexpr uint8_t CODE_HOLD_2 = 0xFD;
constexpr uint8_t CODE_RESET = 0xFC;
constexpr uint8_t CODE_ERASE = 0xFF;

// Status bytes of the reader's user in the answer to the poll.
constexpr uint8_t POLL_ACCEPTED = 0x00;
constexpr uint8_t POLL_NOTHING_YET = 0x01;

// Stray bytes of a noisy line; a lone DLE among them, never last.
const std::vector<uint8_t> kNoise = {0x00, 0x10, 0x55, 0xFF, 0x3C};

// The block-1 identity fields: tag and value (the boot version and the
// serial number come from the profile).
struct IdentityField {
    uint8_t tag;
    const char* value;
};
constexpr IdentityField kIdentity[] = {
    {0, "KORVA SYSTEMES"}, {1, "0042"},        {2, "KORVA-2 PINPAD"}, {3, "KV2-S2"},
    {5, nullptr},          {27, "CPLD A 1.3"}, {28, "CPLD B 1.1"},    {29, "REV 02"},
    {30, "CTRL 5.4"},      {31, "OPT 00"},     {32, "OPT 01"},        {33, "OPT 02"},
    {34, "SPE 3.1"},       {35, "CAM HW 2.0"}, {36, "CAMLIB 4.2"},    {40, "DIAG 7"},
    {80, nullptr},
};

const std::vector<uint8_t> kProbe = {0x00, 0x28, 0x00, 0xC8};
const std::vector<uint8_t> kRemoveTla = {0xFF, 0x01, 0x04, 0x01, 0x01, 0x04, 0x00};
const std::vector<uint8_t> kPoll = {0x05, 0x78};
const std::vector<uint8_t> kPaymentLoading = {0xFF, 0x01, 0xFF};

std::vector<uint8_t> text_bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

int64_t ceil_ms(int64_t ns) {
    return ns / 1'000'000 + (ns % 1'000'000 > 0 ? 1 : 0);
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
    : profile_(profile), faults_(faults), pacing_(pacing), blocks_(profile.software) {
    utility_baud_.push_back({std::numeric_limits<int64_t>::min(), 9600});
    poll_others_left_ = faults.poll_other;
    timings_.turnaround_ms = profile_.turnaround_ms;
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
    deliver_ns(ms_to_ns(now_ms), out);
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
    if (unplugged_) return;
    while (!outgoing_.empty() && outgoing_.front().at_ns <= t) {
        const LineByte b = outgoing_.front();
        outgoing_.pop_front();
        hear(b.byte, b.baud, utility_baud_at(b.at_ns), outgoing_half_, out);
    }
}

int64_t VirtualReader::next_delivery_ns(int64_t now_ns) {
    advance_to(now_ns);
    if (unplugged_) return NEVER_NS;
    int64_t next = NEVER_NS;
    if (!outgoing_.empty()) next = outgoing_.front().at_ns;
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
    send_frame(CODE_STARTED, {{MARK_SO, {0x00}}}, t_ns);
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

// --- framed side ----------------------------------------------------------

void VirtualReader::send_frame(uint8_t code, std::vector<Section> sections, int64_t ready_ns,
                               uint8_t direction) {
    Frame frame;
    frame.direction = direction;
    frame.code = code;
    frame.sections = std::move(sections);
    std::vector<uint8_t> bytes = build_frame(frame);
    if (++frames_sent_ == faults_.corrupt_check) bytes.back() ^= 0x5A;
    send_bytes(bytes, ready_ns, true);
}

void VirtualReader::after_answer(int64_t ready_ns) {
    if (!faults_.report_fa) return;
    std::vector<uint8_t> report = text_bytes("RAPPORT LECTEUR : PRET");
    report.resize(129, 0x00);
    send_frame(CODE_REPORT, {{MARK_SO, report}}, ready_ns);
}

void VirtualReader::handle_request(const Frame& request, int64_t t_ns) {
    if (silent_ || request.subcode != 0) return;
    const int64_t ready = t_ns + ms_to_ns(timings_.turnaround_ms);
    const std::vector<uint8_t>* so = request.section(MARK_SO);
    const uint8_t param = (so != nullptr && !so->empty()) ? (*so)[0] : 0;
    switch (request.code) {
        case CODE_BOOT_INFO:
            answer_boot_info(ready);
            break;
        case CODE_BLOCK_LIST:
            answer_block_list(ready);
            break;
        case CODE_SPEED:
            if (param == 1 || param == 2) {
                send_frame(CODE_SPEED, {{MARK_SO, {param}}}, ready);
                after_answer(ready);
                baud_ = param == 1 ? 9600 : 19200;  // once the answer is on its way
            } else {
                send_frame(CODE_SPEED, {{MARK_SO, {0x00}}}, ready);
                after_answer(ready);
            }
            break;
        case CODE_RESET:
            restart(t_ns);
            break;
        case CODE_HOLD_1:
        case CODE_HOLD_2:
            hold_ = true;
            tla_start_ns_ = NEVER_NS;
            break;
        case CODE_ERASE:
            answer_erase(param, ready);
            break;
        case CODE_DOWNLOAD:
            answer_download(request, ready);
            break;
        case CODE_SIGNATURE:
            answer_signature(request, ready);
            break;
        default:
            break;  // not a request this reader knows
    }
}

void VirtualReader::answer_boot_info(int64_t ready_ns) {
    std::vector<uint8_t> info;
    for (const std::string& field :
         {std::string("KORVA SYSTEMES"), std::string("KORVA-2"), std::string("BOOT KORVA"),
          profile_.boot_version, std::string("12/03/2006")}) {
        info.insert(info.end(), field.begin(), field.end());
        info.push_back(0x00);
    }
    send_frame(CODE_BOOT_INFO, {{MARK_SI, info}}, ready_ns);
    after_answer(ready_ns);
}

void VirtualReader::answer_block_list(int64_t ready_ns) {
    auto software_item = [this](uint8_t block) {
        std::vector<uint8_t> item{static_cast<uint8_t>(block * 2)};
        const auto it = blocks_.find(block);
        const std::string text = it == blocks_.end() ? "$" : it->second.descriptor;
        item.insert(item.end(), text.begin(), text.end());
        return item;
    };
    send_frame(CODE_BLOCK_LIST, {{MARK_SO, software_item(0)}}, ready_ns);
    for (const IdentityField& field : kIdentity) {
        std::string value = field.value != nullptr ? field.value
                            : field.tag == 5       ? profile_.serial_number
                                                   : profile_.boot_version;
        std::vector<uint8_t> item{2, 0x00, field.tag, static_cast<uint8_t>(value.size())};
        item.insert(item.end(), value.begin(), value.end());
        send_frame(CODE_BLOCK_LIST, {{MARK_SO, item}}, ready_ns);
    }
    for (unsigned block = 2; block <= profile_.highest_block; ++block)
        send_frame(CODE_BLOCK_LIST, {{MARK_SO, software_item(static_cast<uint8_t>(block))}},
                   ready_ns);
    after_answer(ready_ns);
}

void VirtualReader::answer_erase(uint8_t param, int64_t ready_ns) {
    uint8_t status = param;
    if (param == HOLD_PARAM) {
        hold_ = true;
        tla_start_ns_ = NEVER_NS;
    } else if (param % 2 == 0 && param / 2 <= profile_.highest_block && param != 2) {
        blocks_.erase(static_cast<uint8_t>(param / 2));
        downloads_.erase(param);
        if (download_.block_code == param) download_ = Download{};
    } else {
        status = ERASE_REFUSED;  // the identity block, or no such block
    }
    send_frame(CODE_ERASE, {{MARK_SO, {status}}}, ready_ns);
    after_answer(ready_ns);
}

void VirtualReader::answer_download(const Frame& request, int64_t ready_ns) {
    // Acknowledgements go out with direction byte 0x02: the utility derives
    // the next sequence number from their check byte.
    auto ack = [&](uint8_t status, std::vector<uint8_t> si) {
        send_frame(CODE_DOWNLOAD, {{MARK_SO, {status}}, {MARK_SI, std::move(si)}}, ready_ns, 0x02);
        after_answer(ready_ns);
    };
    const std::vector<uint8_t>* so = request.section(MARK_SO);
    const std::vector<uint8_t>* si = request.section(MARK_SI);
    if (si == nullptr) {  // download start: block code, 0, 0, 0
        download_ = Download{};
        download_.active = so != nullptr && !so->empty();
        download_.block_code = download_.active ? (*so)[0] : 0;
        ack(download_.active ? STATUS_OK : STATUS_REFUSED, {1, 0, 0, 0, 0, 0});
        return;
    }
    if (si->empty()) return;
    const unsigned packet = ++packets_received_;
    if (faults_.restart_after != 0 && packet == faults_.restart_after) {
        restart(ready_ns - ms_to_ns(timings_.turnaround_ms));
        return;
    }
    if (faults_.unplug_after != 0 && packet > faults_.unplug_after) {
        unplugged_ = true;
        outgoing_.clear();
        return;
    }
    if (faults_.silent_after != 0 && packet > faults_.silent_after) {
        silent_ = true;
        return;
    }
    const uint8_t sequence = (*si)[0];
    if (!download_.active) {
        ack(STATUS_REFUSED, {1, 0, 0, 0, 0, 0});
        return;
    }
    if (faults_.refuse_packet == packet && !download_.refused_once) {
        download_.refused_once = true;
        ack(STATUS_REFUSED, {sequence, 0, 0, 0, 0, 0});
        return;
    }
    if (sequence != 0 && sequence != download_.expected) {
        ack(STATUS_REFUSED, {download_.expected, 0, 0, 0, 0, 0});
        return;
    }
    download_.bytes.insert(download_.bytes.end(), si->begin() + 1, si->end());
    for (auto it = si->begin() + 1; it != si->end(); ++it) download_.sum += *it;
    download_.sum += sequence;
    if (sequence != 0) {
        download_.expected = sequence == 255 ? 1 : static_cast<uint8_t>(sequence + 1);
        ack(STATUS_OK, {download_.expected, 0, 0, 0, 0, 0});
        return;
    }
    // The last packet: the download is complete.
    uint32_t sum = download_.sum + (faults_.wrong_checksum ? 1 : 0);
    sum &= 0xFFFFFF;
    downloads_[download_.block_code] = std::move(download_.bytes);
    download_ = Download{};
    ack(STATUS_OK, {0, 0, 0, static_cast<uint8_t>(sum >> 16), static_cast<uint8_t>(sum >> 8),
                    static_cast<uint8_t>(sum)});
}

void VirtualReader::answer_signature(const Frame& request, int64_t ready_ns) {
    const std::vector<uint8_t>* so = request.section(MARK_SO);
    if (so == nullptr || so->empty()) return;
    const uint8_t code = (*so)[0];
    const KnownPart* part = nullptr;
    const auto received = downloads_.find(code);
    if (so->size() == 1 + TRAILER_SIZE && received != downloads_.end())
        part = find_known_part(received->second, std::span<const uint8_t>(*so).subspan(1));
    if (part == nullptr || faults_.refuse_signature) {
        send_frame(CODE_SIGNATURE, {{MARK_SO, {STATUS_REFUSED}}, {MARK_SI, {code}}}, ready_ns);
        after_answer(ready_ns);
        return;
    }
    const BlockSoftware software = part_software(part->body);
    blocks_[static_cast<uint8_t>(code / 2)] = software;
    // Block code, "PUBLISHER$NAME$", then the version bytes 28 bytes after
    // the start of the name, where the utility looks for them.
    const std::string& text = software.descriptor;
    const auto first = text.find('$');
    const std::string publisher = text.substr(0, std::min(first, std::size_t{64}));
    std::string name = first == std::string::npos ? "" : text.substr(first + 1);
    if (!name.empty() && name.back() == '$') name.pop_back();
    if (name.size() > 27) name.resize(27);
    std::vector<uint8_t> si{code};
    si.insert(si.end(), publisher.begin(), publisher.end());
    si.push_back('$');
    const std::size_t name_start = si.size();
    si.insert(si.end(), name.begin(), name.end());
    si.push_back('$');
    si.resize(name_start + 28, 0x00);
    si.push_back(software.version_major);
    si.push_back(software.version_minor);
    send_frame(CODE_SIGNATURE, {{MARK_SO, {STATUS_OK}}, {MARK_SI, si}}, ready_ns);
    after_answer(ready_ns);
}

// --- PSS side -------------------------------------------------------------

void VirtualReader::send_pss(uint8_t control, std::vector<uint8_t> data, int64_t ready_ns) {
    PssFrame frame;
    frame.address = static_cast<uint8_t>(profile_.pad * 16 + 15);
    frame.control = control;
    frame.data = std::move(data);
    send_bytes(build_pss_frame(frame), ready_ns, false);
}

void VirtualReader::handle_pss(const PssFrame& frame, int64_t t_ns) {
    if (silent_ || frame.address != profile_.pad * 16 + 15) return;
    const int64_t ready = t_ns + ms_to_ns(timings_.turnaround_ms);
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
            restart_ns_ = reader_tx_free_ns_ + ms_to_ns(timings_.self_restart_ms);
        }
    } else if (frame.control == 0x40 && frame.data == kPaymentLoading) {
        payment_loading_ = true;
        restart_ns_ = t_ns + ms_to_ns(timings_.self_restart_ms);
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
