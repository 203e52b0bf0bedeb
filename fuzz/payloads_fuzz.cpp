// Fuzz target for the identity payloads: the boot information and the
// block-list items, read directly by the bounded readers of
// identity/payloads.h, then as the reader's answers to whole sessions of
// bootinfo, info and nserie (the boot probe reads the same boot
// information first).
//
// Input: a chunk that is the boot information (up to 70 bytes), then chunks
// that are block-list items (each up to 252 bytes), answered in order to
// every block-list request. Every reader of a payload must stay inside it,
// and every session must end.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_reader.h"
#include "identity/payloads.h"

namespace {

using namespace korva;
using namespace korva::fuzz;

bool inside(ByteView part, ByteView whole) {
    if (part.empty()) return true;
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void read_directly(const std::vector<uint8_t>& boot,
                   const std::vector<std::vector<uint8_t>>& items) {
    // As the handlers leave them: the whole capacity, the tail undefined
    // (here 0xFF, the worst case for the scans).
    ReaderRecord record;
    record.data.fill(0xFF);
    std::copy(boot.begin(), boot.end(), record.data.begin());
    const ByteView payload = boot_info_payload(record);
    const BootInfo info = read_boot_info(payload);
    for (const ByteView& field : info.field) {
        if (!inside(field, payload)) fail();
        for (uint8_t b : field) {
            if (b == 0) fail();
        }
    }
    for (const std::vector<uint8_t>& bytes : items) {
        record.data.fill(0xFF);
        std::copy(bytes.begin(), bytes.end(), record.data.begin());
        const ByteView item = block_item(record);
        if (!inside(item_value(item), item) || !inside(item_publisher(item), item) ||
            !inside(item_software_name(item), item)) {
            fail();
        }
        for (char c : printable_text(item_software_name(item))) {
            if (c < 32 || c > 125) fail();
        }
        (void)item_block(item);
        (void)item_tag(item);
        (void)item_block_empty(item);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::vector<uint8_t> boot = in.chunk(BOOT_INFO_SIZE);
    std::vector<std::vector<uint8_t>> items;
    while (!in.empty() && items.size() < 64) items.push_back(in.chunk(BLOCK_ITEM_SIZE));
    read_directly(boot, items);

    AnswerPeer peer([&](AnswerPeer& p, const Request& r, int64_t now) {
        if (r.pss) return;
        if (r.code == CODE_BOOT_INFO) p.send(now + 3, framed(CODE_BOOT_INFO, {{0x0F, boot}}));
        if (r.code == CODE_BLOCK_LIST) {
            for (const auto& item : items) p.send(now + 3, framed(CODE_BLOCK_LIST, {{0x0E, item}}));
        }
    });
    std::string output;
    const int status =
        run_session_against(peer, {"3", "bootinfo", "info", "nserie", "q"}, "O", output);
    if (status != 0 && status != 1) fail();
    // The session reached its end: the quit prompt was shown.
    if (output.find("TAPEZ UNE TOUCHE POUR FERMER LA FENETRE") == std::string::npos) fail();
    return 0;
}
