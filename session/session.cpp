#include "session/session.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "link/reader_waits.h"

namespace korva {

namespace {

void copy_cut(const std::string& text, InputBuffer& buffer) {
    const std::size_t n = std::min(text.size(), INPUT_BUFFER_SIZE - 1);
    std::memcpy(buffer.data(), text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

void print(Session& s, const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        s.console.print(std::string_view(small, static_cast<std::size_t>(n)));
    } else {
        std::string big(static_cast<std::size_t>(n) + 1, '\0');
        std::vsnprintf(big.data(), big.size(), format, again);
        big.resize(static_cast<std::size_t>(n));
        s.console.print(big);
    }
    va_end(again);
}

bool read_input(Session& s, const char* prompt, InputBuffer& buffer) {
    if (s.script.remaining() > 0) {
        copy_cut(s.script.tokens[s.script.next++], buffer);
        return true;
    }
    print(s, "%s", prompt);
    std::string line;
    if (!s.console.read_line(line)) {
        buffer[0] = '\0';
        s.input_ended = true;
        s.running = false;
        return false;
    }
    copy_cut(line, buffer);
    return true;
}

void first_word(const InputBuffer& line, InputBuffer& word) {
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    };
    std::size_t i = 0;
    while (i < line.size() && line[i] != '\0' && blank(line[i])) ++i;
    std::size_t n = 0;
    while (i < line.size() && line[i] != '\0' && !blank(line[i]) && n < word.size() - 1) {
        word[n++] = line[i++];
    }
    word[n] = '\0';
}

uint8_t typed_block_number(const InputBuffer& word) {
    const std::size_t len = strnlen(word.data(), word.size());
    if (len == 1) return static_cast<uint8_t>(word[0] - 48);
    if (len == 2) return static_cast<uint8_t>((word[0] - 48) * 10 + (word[1] - 48));
    return 100;
}

void pause_seconds(Session& s, uint32_t n) {
    const int64_t start = s.clock.calendar_seconds();
    for (;;) {
        // The pause is for the reader: with the port gone there is none.
        if (port_gone(s.port)) return;
        const int64_t now_ms = s.clock.calendar_ms();
        const int64_t end_ms = (start + n + 1) * 1000;
        if (now_ms >= end_ms) return;
        s.clock.sleep_ms(end_ms - now_ms);
    }
}

void blink_phase(Session& s) {
    s.clock.sleep_ms(waits::BLINK_PHASE_MS);
}

int read_key_no_echo(Session& s) {
    const int key = s.console.read_key();
    if (key < 0) {
        s.input_ended = true;
        s.running = false;
    }
    return key;
}

void blink_until_key(Session& s, const char* text, const char* blank) {
    for (;;) {
        print(s, "%s", text);
        blink_phase(s);
        print(s, "%s", blank);
        blink_phase(s);
        if (s.console.key_pressed()) break;
    }
    read_key_no_echo(s);
}

bool access_check(Session& s) {
    print(s, "\r           ENTRER VOTRE CODE D'ACCES : ACCES REFUSE");
    return false;
}

bool maintenance_hold(Session& s) {
    send_hold_pair(s.link);
    pause_seconds(s, waits::HOLD_PAUSE_S);
    s.record.param = 100;
    request_erase(s.link, 0, handle_response);
    return await_answer(s.link, CODE_ERASE, waits::HOLD_ERASE_S) == CODE_ERASE;
}

}  // namespace korva
