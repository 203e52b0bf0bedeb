#include "maintenance/download.h"

#include <cstring>

#include "link/reader_waits.h"

namespace korva {

namespace {

constexpr uint8_t PACKET_ACCEPTED = 0x55;
// The XOR of the fixed leading bytes of an accepted-packet acknowledgement
// (10 02 02 F1 00 10 0E 55 10 0F); with ETX and DLE also taken out of its
// check byte, what remains is the XOR of its six SI bytes.
constexpr uint8_t ACK_LEAD_XOR = 0xB5;

uint8_t sequence_from_check(uint8_t ack_check) {
    return static_cast<uint8_t>(ack_check ^ ETX ^ DLE ^ ACK_LEAD_XOR);
}

// The packets-left line, right-aligned whatever the number's size.
void print_remaining(Session& s, uint32_t remaining) {
    const int r = static_cast<int>(remaining);
    if (remaining / 100 != 0) {
        print(s, "\r           BLOCS RESTANTS A CHARGER :   %d", r);
    } else if (remaining / 10 != 0) {
        print(s, "\r           BLOCS RESTANTS A CHARGER :    %d", r);
    } else {
        print(s, "\r           BLOCS RESTANTS A CHARGER :     %d", r);
    }
}

// Copies one packet into the record and returns the sum of its bytes.
uint32_t load_packet(ReaderRecord& record, const uint8_t* bytes, uint32_t length) {
    record.data_len = static_cast<uint8_t>(length);
    std::memcpy(record.data.data(), bytes, length);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum += bytes[i];
    return sum;
}

bool send_packet(Session& s) {
    request_download_block(s.link, 0, handle_response);
    return await_answer(s.link, CODE_DOWNLOAD, waits::DOWNLOAD_ANSWER_S) == CODE_DOWNLOAD;
}

}  // namespace

DownloadResult download_block(Session& s, const uint8_t* bytes, uint32_t count,
                              uint8_t block_code) {
    ReaderRecord& record = s.record;
    record.ack_state = 0;
    record.param = block_code;

    print(s, "\n           EFFACEMENT");
    request_erase(s.link, 0, handle_response);
    if (await_answer(s.link, CODE_ERASE, waits::DOWNLOAD_ERASE_S) != CODE_ERASE)
        return DownloadResult::FAILED;
    if (record.status != block_code) {
        print(s, "\n           ECHEC EFFACEMENT ");
        return DownloadResult::FAILED;
    }

    print(s, "\n           TELECHARGEMENT EN COURS ... \n");
    request_download_start(s.link, 0, handle_response);
    if (await_answer(s.link, CODE_DOWNLOAD, waits::DOWNLOAD_ANSWER_S) != CODE_DOWNLOAD) {
        return DownloadResult::FAILED;
    }

    record.sequence = 1;
    uint32_t remaining_bytes = count;
    uint32_t packets_left = count / PACKET_SIZE;
    uint32_t sum = 0;
    uint32_t refusals = 0;
    const uint8_t* read = bytes;

    // Only an accepted packet moves the position, the count, the countdown
    // and the sum: a refused packet that goes out again counts once.
    while (remaining_bytes > PACKET_SIZE) {
        const uint8_t sent = record.sequence;
        const uint32_t packet_sum = load_packet(record, read, PACKET_SIZE) + sent;
        if (!send_packet(s)) return DownloadResult::FAILED;

        if (record.status == PACKET_ACCEPTED) {
            refusals = 0;
            remaining_bytes -= PACKET_SIZE;
            read += PACKET_SIZE;
            sum += packet_sum;
            --packets_left;
            print_remaining(s, packets_left);
            if (record.sequence != static_cast<uint32_t>(sent) + 1) {
                record.sequence = sequence_from_check(record.ack_check);
            }
            continue;
        }
        print_remaining(s, packets_left);
        if (record.sequence != sent) return DownloadResult::SEQUENCE_ERROR;
        if (++refusals >= PACKET_RESEND_LIMIT) return DownloadResult::FAILED;
    }

    if (remaining_bytes == 0) return DownloadResult::OK;

    record.sequence = 0;
    sum += load_packet(record, read, remaining_bytes);
    if (!send_packet(s)) return DownloadResult::FAILED;
    print_remaining(s, packets_left);
    if (record.reader_sum != sum) return DownloadResult::CHECKSUM_ERROR;
    print(s, "\n           VERIFICATION CHECKSUM :");
    print(s, "  %x = %x:", record.reader_sum, sum);
    return DownloadResult::OK;
}

}  // namespace korva
