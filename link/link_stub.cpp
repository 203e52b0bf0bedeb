// Placeholder so that the tree links until the link protocol is built.
#include "link/link.h"

namespace korva {
void emit_byte(SerialPort&, uint8_t, bool, uint8_t&) {}
void emit_bytes(SerialPort&, const uint8_t*, uint8_t, bool, uint8_t&) {}
void link_open(ReaderLink& link, SerialPort& port, Clock& clock) {
    link.port = &port;
    link.clock = &clock;
}
void link_close(ReaderLink&) {}
Exchange* exchange_create(uint8_t, uint8_t, ReaderLink&, uint8_t, ResponseHandler) { return nullptr; }
uint8_t exchange_insert(ReaderLink&) { return NO_SLOT; }
Exchange* exchange_find(uint8_t, uint8_t, uint8_t, ReaderLink&) { return nullptr; }
void exchange_free(ReaderLink&, Exchange*) {}
void exchange_free_all(ReaderLink&) {}
uint8_t receive_byte(ReaderLink&, uint8_t) { return 0; }
uint8_t link_poll(ReaderLink&) { return 0; }
uint8_t await_answer(ReaderLink&, uint8_t, uint8_t) { return 0; }
void request_boot_info(ReaderLink&, ResponseHandler) {}
void request_block_list(ReaderLink&, ResponseHandler) {}
void request_speed(ReaderLink&, uint8_t, ResponseHandler) {}
void request_reset(ReaderLink&) {}
void send_hold_pair(ReaderLink&) {}
void request_erase(ReaderLink&, uint8_t, ResponseHandler) {}
void request_download_start(ReaderLink&, uint8_t, ResponseHandler) {}
void request_download_block(ReaderLink&, uint8_t, ResponseHandler) {}
void request_signature(ReaderLink&, const uint8_t*, uint8_t, uint8_t, ResponseHandler) {}
void handle_response(ReaderLink&, uint8_t, uint8_t) {}
void handle_report(ReaderLink&, uint8_t, uint8_t) {}
}  // namespace korva
