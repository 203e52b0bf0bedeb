// The request catalogue: one routine per request the utility sends in
// framed mode. Parameters that come from the ReaderRecord are read at the
// moment of sending.
#include <algorithm>
#include <array>

#include "link/frames.h"
#include "link/link.h"

namespace korva {

namespace {

constexpr uint8_t SUBCODE_NONE = 0;
constexpr std::array<uint8_t, 1> ZERO_BYTE{0x00};

// Registers the Pending exchange that the request's response will fill.
void register_exchange(ReaderLink& link, uint8_t code, uint8_t subcode, ResponseHandler handler) {
    link.last = exchange_create(code, subcode, link, EXCHANGE_PENDING, handler);
    if (link.last != nullptr) exchange_insert(link);
}

// A request whose one SO section is a single byte.
void send_one_byte_request(ReaderLink& link, uint8_t code, uint8_t byte) {
    const std::array<uint8_t, 1> data{byte};
    send_frame(*link.port, code, SUBCODE_NONE, SO, data, {});
}

}  // namespace

void request_boot_info(ReaderLink& link, ResponseHandler handler) {
    if (link.port == nullptr) return;
    send_one_byte_request(link, CODE_BOOT_INFO, 0x00);
    register_exchange(link, CODE_BOOT_INFO, SUBCODE_NONE, handler);
}

void request_block_list(ReaderLink& link, ResponseHandler handler) {
    if (link.port == nullptr) return;
    send_one_byte_request(link, CODE_BLOCK_LIST, 0x00);
    register_exchange(link, CODE_BLOCK_LIST, SUBCODE_NONE, handler);
}

void request_speed(ReaderLink& link, uint8_t rate_code, ResponseHandler handler) {
    if (link.port == nullptr) return;
    send_one_byte_request(link, CODE_SPEED, rate_code);
    register_exchange(link, CODE_SPEED, SUBCODE_NONE, handler);
}

void request_reset(ReaderLink& link) {
    if (link.port == nullptr) return;
    send_one_byte_request(link, CODE_RESET, 0x00);
}

void send_hold_pair(ReaderLink& link) {
    if (link.port == nullptr) return;
    send_one_byte_request(link, CODE_HOLD_FIRST, 0x00);
    send_one_byte_request(link, CODE_HOLD_SECOND, 0x00);
}

void request_erase(ReaderLink& link, uint8_t subcode, ResponseHandler handler) {
    if (link.port == nullptr || link.record == nullptr) return;
    const std::array<uint8_t, 1> data{link.record->param};
    send_frame(*link.port, CODE_ERASE, subcode, SO, data, {});
    register_exchange(link, CODE_ERASE, subcode, handler);
}

void request_download_start(ReaderLink& link, uint8_t subcode, ResponseHandler handler) {
    if (link.port == nullptr || link.record == nullptr) return;
    const std::array<uint8_t, 4> data{link.record->param, 0x00, 0x00, 0x00};
    send_frame(*link.port, CODE_DOWNLOAD, subcode, SO, data, {});
    register_exchange(link, CODE_DOWNLOAD, subcode, handler);
}

void request_download_block(ReaderLink& link, uint8_t subcode, ResponseHandler handler) {
    if (link.port == nullptr || link.record == nullptr) return;
    const ReaderRecord& record = *link.record;
    const std::array<uint8_t, 1> sequence{record.sequence};
    // data_len never reaches past the record's data buffer.
    const std::size_t count = std::min<std::size_t>(record.data_len, record.data.size());
    send_frame(*link.port, CODE_DOWNLOAD, subcode, SI, sequence,
               std::span<const uint8_t>(record.data.data(), count));
    register_exchange(link, CODE_DOWNLOAD, subcode, handler);
}

void request_signature(ReaderLink& link, const uint8_t* data, uint8_t count, uint8_t param,
                       ResponseHandler handler) {
    if (link.port == nullptr) return;
    const std::array<uint8_t, 1> lead{param};
    const std::span<const uint8_t> body =
        data == nullptr ? std::span<const uint8_t>() : std::span<const uint8_t>(data, count);
    send_frame(*link.port, CODE_SIGNATURE, SUBCODE_NONE, SO, lead, body);
    register_exchange(link, CODE_SIGNATURE, SUBCODE_NONE, handler);
}

}  // namespace korva
