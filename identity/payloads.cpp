#include "identity/payloads.h"

#include <algorithm>

#include "link/reader_waits.h"

namespace korva {

namespace {

// A correct reader lists its blocks in ascending order, one answer each,
// except the identity block, which answers once per tag, and a tag is one
// byte: at most 255 of its answers fail to raise the highest block number
// seen. More come only from a reader that goes round in circles.
constexpr uint32_t MAX_ANSWERS_NOT_RAISING = 256;

// The version bytes of a signature answer follow the software name's field
// at a fixed distance from where a 28-character name would end.
constexpr std::size_t SIGNATURE_VERSION_DISTANCE = 28;

uint8_t byte_at(ByteView bytes, std::size_t index) {
    return index < bytes.size() ? bytes[index] : 0;
}

// The bytes from start up to the first end byte, or to the end.
ByteView up_to(ByteView bytes, std::size_t start, uint8_t end) {
    if (start >= bytes.size()) return {};
    const ByteView rest = bytes.subspan(start);
    const auto stop = std::find(rest.begin(), rest.end(), end);
    return rest.first(static_cast<std::size_t>(stop - rest.begin()));
}

}  // namespace

ByteView boot_info_payload(const ReaderRecord& record) {
    return ByteView(record.data).first(BOOT_INFO_SIZE);
}

ByteView block_item(const ReaderRecord& record) {
    return ByteView(record.data).first(BLOCK_ITEM_SIZE);
}

ByteView signature_answer(const ReaderRecord& record) {
    return ByteView(record.data).first(SIGNATURE_ANSWER_SIZE);
}

InstalledSoftware read_signature_answer(ByteView answer) {
    InstalledSoftware installed;
    installed.block = static_cast<uint8_t>(byte_at(answer, 0) / 2);
    const ByteView publisher = up_to(answer, 1, NAME_END);
    installed.publisher = raw_text(publisher);
    const std::size_t first = 1 + publisher.size();
    if (first >= answer.size()) return installed;
    const ByteView name = up_to(answer, first + 1, NAME_END);
    installed.software_name = printable_text(name);
    const std::size_t second = first + 1 + name.size();
    if (second >= answer.size()) return installed;
    // The name's printable bytes lie before the second '$', so the version
    // lies after it.
    const std::size_t at = second + SIGNATURE_VERSION_DISTANCE - installed.software_name.size();
    if (at + 1 >= answer.size()) return installed;
    installed.has_version = true;
    installed.version_major = answer[at];
    installed.version_minor = answer[at + 1];
    return installed;
}

BootInfo read_boot_info(ByteView payload) {
    BootInfo info;
    std::size_t pos = 0;
    for (ByteView& field : info.field) {
        while (pos < payload.size() && payload[pos] == 0) ++pos;
        field = up_to(payload, pos, 0);
        pos += field.size();
    }
    return info;
}

uint8_t item_block(ByteView item) {
    return byte_at(item, 0) / 2;
}

uint8_t item_tag(ByteView item) {
    return byte_at(item, 2);
}

ByteView item_value(ByteView item) {
    constexpr std::size_t VALUE_START = 4;
    if (item.size() <= VALUE_START) return {};
    const std::size_t length = byte_at(item, 3);
    return item.subspan(VALUE_START, std::min(length, item.size() - VALUE_START));
}

bool item_block_empty(ByteView item) {
    return byte_at(item, 1) == NAME_END;
}

ByteView item_publisher(ByteView item) {
    return up_to(item, 1, NAME_END);
}

ByteView item_software_name(ByteView item) {
    const std::size_t name_start = 1 + item_publisher(item).size() + 1;
    if (name_start > item.size()) return {};  // no '$' after the publisher
    return up_to(item, name_start, NAME_END);
}

std::string raw_text(ByteView bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string printable_text(ByteView bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        if (is_printable(byte)) text.push_back(static_cast<char>(byte));
    }
    return text;
}

bool fetch_boot_info(ReaderLink& link) {
    request_boot_info(link, handle_response);
    return await_answer(link, CODE_BOOT_INFO, waits::BOOT_INFO_S) == CODE_BOOT_INFO;
}

bool walk_block_list(ReaderLink& link, uint8_t highest_block,
                     const std::function<void(ByteView item)>& visit) {
    if (!link.record) return false;
    request_block_list(link, handle_report);
    uint8_t block = 0;
    int highest_seen = -1;
    uint32_t not_raising = 0;
    while (block < highest_block) {
        if (await_answer(link, CODE_BLOCK_LIST, waits::BLOCK_LIST_ITEM_S) != CODE_BLOCK_LIST)
            return false;
        const ByteView item = block_item(*link.record);
        block = item_block(item);
        if (block > highest_seen) {
            highest_seen = block;
        } else if (++not_raising > MAX_ANSWERS_NOT_RAISING) {
            return false;
        }
        visit(item);
    }
    return true;
}

bool list_empty_blocks(Session& s, std::vector<uint8_t>& empty) {
    empty.clear();
    const bool complete = walk_block_list(s.link, s.highest_block, [&empty](ByteView item) {
        if (item_block_empty(item)) empty.push_back(item_block(item));
    });
    if (!complete) print(s, "\n REPONSE > ECHEC COMMANDE ");
    return complete;
}

}  // namespace korva
