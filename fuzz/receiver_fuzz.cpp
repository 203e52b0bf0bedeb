// Fuzz target for the link's receiver: arbitrary bytes from the reader,
// interleaved with requests, waits that run out and table resets, all
// chosen by the input. After every step the link's pointers must still
// point into memory it owns.
//
// Input: a sequence of steps. Each step is an opcode byte (taken mod 8)
// followed by its operands; a step cut short by the end of the input uses
// zeros.
//   0 len bytes...   the bytes arrive now; poll until the line is quiet
//   1 len bytes... delay code seconds
//                    the bytes arrive delay x 4 ms from now; await_answer
//                    for a code from the table below, 0 to 2 seconds
//   2 which param    a request of the catalogue (which mod 9)
//   3                exchange_free_all
//   4 ack seq len    record fields: ack_state (mod 4), sequence, data_len
//   5 len bytes... n the bytes arrive now; poll n of them (a frame may be
//                    left under way for the next steps)
//   6 ms             the clock moves on ms x 10 milliseconds
//   7 len bytes...   feed the bytes straight to receive_byte, running the
//                    handler as the poll does
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/fuzz_reader.h"
#include "link/link.h"
#include "platform/virtual_clock.h"
#include "serial/serial_port.h"
#include "tests/support/scripted_peer.h"

namespace {

using namespace korva;

constexpr uint8_t AWAITED_CODES[] = {CODE_DOWNLOAD,  CODE_STARTED, CODE_SPEED,      CODE_SIGNATURE,
                                     CODE_BOOT_INFO, CODE_REPORT,  CODE_BLOCK_LIST, CODE_ERASE};

using fuzz::fail;
using fuzz::Input;

bool owned(const ReaderLink& link, const Exchange* e) {
    if (e == nullptr) return true;
    if (link.outside.get() == e) return true;
    for (const auto& slot : link.slots) {
        if (slot.get() == e) return true;
    }
    return false;
}

// What must hold between any two steps, whatever the reader sent.
void check_invariants(const ReaderLink& link, const SerialPort& port) {
    if (link.rx_state > 7 || port.rx_count > RING_SIZE || link.frame_complete != 0) fail();
    if (!owned(link, link.current) || !owned(link, link.last)) fail();
    for (std::size_t i = 0; i < link.slots.size(); ++i) {
        const Exchange* e = link.slots[i].get();
        if (e == nullptr) continue;
        if (e == link.outside.get()) fail();
        for (std::size_t j = i + 1; j < link.slots.size(); ++j) {
            if (link.slots[j].get() == e) fail();
        }
        for (std::size_t s = 0; s < 3; ++s) {
            if (e->section[s].size() != e->capacity[s] + 1u) fail();
        }
    }
    if (link.write_ptr != nullptr) {
        // The write position and the room left stay inside a section of the
        // exchange being received into.
        const Exchange* e = link.current;
        if (e == nullptr) fail();
        bool inside = false;
        for (std::size_t s = 0; s < 3; ++s) {
            const uint8_t* begin = e->section[s].data();
            const uint8_t* end = begin + e->capacity[s];
            if (link.write_ptr >= begin && link.write_ptr <= end &&
                link.write_ptr + link.room <= end) {
                inside = true;
            }
        }
        if (!inside) fail();
    } else if (link.room != 0) {
        fail();
    }
}

void send_request(ReaderLink& link, uint8_t which, uint8_t param) {
    static const uint8_t signature[255] = {0x10, 0x02, 0x10};
    switch (which % 9) {
        case 0:
            request_boot_info(link, handle_response);
            break;
        case 1:
            request_block_list(link, handle_report);
            break;
        case 2:
            request_speed(link, param, handle_response);
            break;
        case 3:
            request_reset(link);
            break;
        case 4:
            send_hold_pair(link);
            break;
        case 5:
            link.record->param = param;
            request_erase(link, param & 1 ? 0 : param, handle_response);
            break;
        case 6:
            request_download_start(link, 0, handle_response);
            break;
        case 7:
            request_download_block(link, param & 1, handle_response);
            break;
        default:
            request_signature(link, signature, param, param, handle_response);
            break;
    }
}

// As the poll does, without the serial line.
void feed_directly(ReaderLink& link, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) {
        link.rx_state = receive_byte(link, b);
        if (link.frame_complete) {
            if (Exchange* e = link.last; e != nullptr && e->handler != nullptr) {
                e->handler(link, e->code, e->subcode);
            }
            link.frame_complete = 0;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    VirtualClock clock;
    ScriptedPeer peer;
    SerialPort port;
    port.handle = std::make_unique<SimSerialDevice>(clock, peer);
    configure_port(port);
    ReaderLink link;
    ReaderRecord record;
    link_open(link, port, clock);
    link.record = &record;

    Input in(data, size);
    while (!in.empty()) {
        switch (in.take() % 8) {
            case 0:
                peer.schedule(clock.calendar_ms(), in.chunk());
                while (link_poll(link) != 0) {
                }
                break;
            case 1: {
                const std::vector<uint8_t> bytes = in.chunk();
                peer.schedule(clock.calendar_ms() + 4 * in.take(), bytes);
                const uint8_t code = AWAITED_CODES[in.take() % sizeof AWAITED_CODES];
                const uint8_t result = await_answer(link, code, in.take() % 3);
                if (result != 0 && result != code) fail();
                if (result == 0 && (link.current != nullptr || link.outside != nullptr)) fail();
                break;
            }
            case 2: {
                const uint8_t which = in.take();
                send_request(link, which, in.take());
                peer.clear_written();
                break;
            }
            case 3:
                exchange_free_all(link);
                if (link.rx_state != 0 || link.current != nullptr || link.last != nullptr) fail();
                break;
            case 4:
                record.ack_state = in.take() % 4;
                record.sequence = in.take();
                record.data_len = in.take();
                break;
            case 5: {
                peer.schedule(clock.calendar_ms(), in.chunk());
                for (uint8_t n = in.take(); n > 0 && link_poll(link) != 0; --n) {
                }
                break;
            }
            case 6:
                clock.sleep_ms(10 * in.take());
                break;
            default:
                feed_directly(link, in.chunk());
                break;
        }
        check_invariants(link, port);
    }
    link_close(link);
    if (link.current != nullptr || link.last != nullptr || link.outside != nullptr) fail();
    for (const auto& slot : link.slots) {
        if (slot) fail();
    }
    return 0;
}
