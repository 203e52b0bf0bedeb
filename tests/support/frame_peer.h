// Answers of a reader for command tests, for the fake reader to give: boot
// information, block-list items and status answers, and two whole reader
// identities.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "serial/sim_serial_device.h"
#include "sim/virtual_reader.h"
#include "tests/support/fake_reader.h"
#include "tests/support/session_harness.h"

namespace korva::testing {

inline Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The reader's answers below carry the direction byte 0x03.
constexpr FrameOptions FROM_READER{.direction = 0x03};

inline Bytes boot_info_answer(const Bytes& payload) {
    return frame(0xF7, {{MARK_SO, {0x00}}, {MARK_SI, payload}}, FROM_READER);
}
// Five fields, one zero byte before each (the usual layout).
inline Bytes boot_payload(const std::vector<std::string>& fields) {
    Bytes payload;
    for (const std::string& field : fields) {
        payload.push_back(0);
        payload.insert(payload.end(), field.begin(), field.end());
    }
    payload.push_back(0);
    return payload;
}
inline Bytes block_item_answer(const Bytes& item) {
    return frame(0xFB, {{MARK_SO, item}}, FROM_READER);
}
inline Bytes identity_item(uint8_t tag, const std::string& value) {
    Bytes item{2, 0, tag, static_cast<uint8_t>(value.size())};
    item.insert(item.end(), value.begin(), value.end());
    return item;
}
inline Bytes software_item(uint8_t block, const std::string& publisher, const std::string& name) {
    Bytes item{static_cast<uint8_t>(2 * block)};
    for (char c : publisher + "$" + name + "$") item.push_back(static_cast<uint8_t>(c));
    return item;
}
inline Bytes empty_item(uint8_t block) {
    return {static_cast<uint8_t>(2 * block), '$'};
}
inline Bytes status_answer(uint8_t code, uint8_t status) {
    return frame(code, {{MARK_SO, {status}}}, FROM_READER);
}

// Concatenates answers: several items sent in one go.
inline Bytes concat(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// One answer frame per item, sent in one go.
inline Bytes block_list_answer(const std::vector<Bytes>& items) {
    Bytes all;
    for (const Bytes& item : items) {
        const Bytes frame = block_item_answer(item);
        all.insert(all.end(), frame.begin(), frame.end());
    }
    return all;
}

// A reader's identity: its boot information and its block list.
struct ReaderIdentity {
    std::vector<std::string> boot;  // publisher, model, boot software, version, date
    std::vector<Bytes> items;
};

// Boot 4.01: blocks 0 to 15; base software, identity, supervisor and TLA.
inline ReaderIdentity reader_with_15_blocks() {
    ReaderIdentity p;
    p.boot = {"EDITIONS NORD", "KORVA L2", "BOOT KORVA", "4.01", "12/01/2006"};
    p.items = {software_item(0, "EDITIONS NORD", "BASE 3.20"),
               identity_item(0, "KORVA"),
               identity_item(5, "123456789"),
               identity_item(80, "4.01"),
               software_item(2, "EDITIONS NORD", "SUPERVISEUR 2.1"),
               empty_item(3),
               empty_item(4),
               software_item(5, "ORBEX", "TLA 1.12")};
    for (uint8_t block = 6; block <= 15; ++block) p.items.push_back(empty_item(block));
    return p;
}

// Boot 4.05: blocks 0 to 31, software in blocks 0, 12 and 31.
inline ReaderIdentity reader_with_31_blocks() {
    ReaderIdentity p;
    p.boot = {"EDITIONS NORD", "KORVA L3", "BOOT KORVA", "4.05", "03/02/2007"};
    p.items = {software_item(0, "EDITIONS NORD", "BASE 4.00"), identity_item(5, "987654321")};
    for (uint8_t block = 2; block <= 31; ++block) {
        if (block == 12) {
            p.items.push_back(software_item(12, "PAIEMENT SA", "CB 2.0"));
        } else if (block == 31) {
            p.items.push_back(software_item(31, "EDITIONS NORD", "DERNIER"));
        } else {
            p.items.push_back(empty_item(block));
        }
    }
    return p;
}

inline void play(FakeReader& peer, const ReaderIdentity& profile) {
    peer.answer_always(0xF7, boot_info_answer(boot_payload(profile.boot)));
    peer.answer_always(0xFB, block_list_answer(profile.items));
}

// The console text after start-up, without the keyboard prompt and line end
// that end a script run on an exhausted keyboard.
inline std::string commands_text(const std::string& output) {
    const std::string blank = "\r" + std::string(75, ' ');
    std::size_t start = output.find(blank);
    if (start == std::string::npos) return output;
    std::string text = output.substr(start + blank.size());
    const std::string tail = "\n COMMANDE> \n";
    if (text.size() >= tail.size() &&
        text.compare(text.size() - tail.size(), tail.size(), tail) == 0) {
        text.resize(text.size() - tail.size());
    }
    return text;
}

// What "no" prints when the reader starts and takes the hold.
inline const std::string MAINTENANCE_HOLD_TEXT =
    "\r                   ALLUMEZ VOTRE LECTEUR KORVA...                      "
    "\r REPONSE > ATTENTE REPONSE LECTEUR ...                     "
    "\r REPONSE > LECTEUR EN ATTENTE                         \n";

// The virtual reader with a profile in its text form ("default", "boot405").
inline sim::VirtualReader virtual_reader(const std::string& profile_name) {
    sim::ReaderProfile profile;
    std::string error;
    if (!sim::parse_profile(profile_name, profile, error)) ADD_FAILURE() << error;
    return sim::VirtualReader(profile, sim::FaultKnobs{}, true);
}

struct ScriptRun {
    std::string text;  // after start-up
    int status = 0;
};

// Runs the commands as script tokens on COM3, the power-off question
// answered with 'O'; the keyboard then has nothing more.
inline ScriptRun run_script(LinePeer& peer, const std::vector<std::string>& commands) {
    SessionHarness h(peer, "O");
    std::vector<std::string> args{"3"};
    args.insert(args.end(), commands.begin(), commands.end());
    ScriptRun run;
    run.status = h.run(args);
    run.text = commands_text(h.console.output());
    return run;
}

}  // namespace korva::testing
