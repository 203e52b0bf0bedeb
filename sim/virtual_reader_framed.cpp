// The reader's framed side: the boot software's answers to the maintenance
// requests (boot information, block list, speed, reset, hold, erase,
// download, signature).
#include <algorithm>
#include <string>

#include "sim/image_set.h"
#include "sim/virtual_reader.h"

namespace korva::sim {

namespace {

constexpr uint8_t STATUS_OK = 0x55;
constexpr uint8_t STATUS_REFUSED = 0xAA;
constexpr uint8_t ERASE_REFUSED = 0xFE;
constexpr uint8_t HOLD_PARAM = 100;

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

std::vector<uint8_t> text_bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

}  // namespace

void VirtualReader::send_frame(uint8_t code, std::vector<Section> sections, int64_t ready_ns,
                               uint8_t direction) {
    Frame frame;
    frame.direction = direction;
    frame.code = code;
    frame.sections = std::move(sections);
    line_.reader_sends(build_frame(frame), baud_, ready_ns, true);
}

void VirtualReader::after_answer(int64_t ready_ns) {
    if (!faults_.report_fa) return;
    std::vector<uint8_t> report = text_bytes("RAPPORT LECTEUR : PRET");
    report.resize(129, 0x00);
    send_frame(CODE_REPORT, {{MARK_SO, report}}, ready_ns);
}

void VirtualReader::handle_request(const Frame& request, int64_t t_ns) {
    if (silent_ || request.subcode != 0) return;
    const int64_t ready = t_ns + turnaround_ns();
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
        line_.pull_cable();
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
        part =
            find_known_part(*images_, received->second, std::span<const uint8_t>(*so).subspan(1));
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

}  // namespace korva::sim
