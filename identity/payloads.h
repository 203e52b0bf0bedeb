// The two identity payloads that the reader sends, and bounded readers of
// them. Every reader here stops at the end of the payload it is given,
// whatever the bytes say: a missing separator, a length byte that runs past
// the item or a payload with fewer fields than expected never lead outside
// the stored bytes.
//
// Boot information (answer 0xF7, 70 bytes stored): five text fields
// (publisher, reader model, boot software name, version, date), each a run
// of non-zero bytes, separated by runs of zero bytes; zero bytes may also
// stand before the first field.
//
// Block-list item (answer 0xFB, 252 bytes stored, one item per answer):
//   byte 0     block number times two
//   block 1    byte 2 tag, byte 3 value length n, bytes 4 .. 4+n-1 value
//   others     byte 1 '$' for an empty block; otherwise the publisher name
//              from byte 1 up to a '$', then the software name up to the
//              next '$'
//
// Signature answer (answer 0xF4 accepted, the 128-byte SI section): byte 0
// the block code that the reader installed the part into, the publisher from
// byte 1 up to a '$', the software name up to the next '$', and the two
// version bytes 28 bytes after that second '$', less one for each printable
// byte of the name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "images/printable.h"
#include "link/link.h"
#include "session/session.h"

namespace korva {

using ByteView = std::span<const uint8_t>;

constexpr std::size_t BOOT_INFO_SIZE = 70;
constexpr std::size_t BLOCK_ITEM_SIZE = 252;
constexpr std::size_t SIGNATURE_ANSWER_SIZE = 128;

// Boot-information fields, by index.
constexpr std::size_t BOOT_PUBLISHER = 0;
constexpr std::size_t BOOT_READER_MODEL = 1;
constexpr std::size_t BOOT_SOFTWARE = 2;
constexpr std::size_t BOOT_VERSION = 3;
constexpr std::size_t BOOT_DATE = 4;
constexpr std::size_t BOOT_FIELD_COUNT = 5;

// The identity block and the tags of its items that other code looks for.
constexpr uint8_t IDENTITY_BLOCK = 1;
constexpr uint8_t TAG_SERIAL_NUMBER = 5;

constexpr uint8_t NAME_END = '$';

// The payloads as the response handlers leave them in the record's data.
ByteView boot_info_payload(const ReaderRecord& record);
ByteView block_item(const ReaderRecord& record);
ByteView signature_answer(const ReaderRecord& record);

// The five fields of a boot information; a field that the payload does not
// hold is empty.
struct BootInfo {
    std::array<ByteView, BOOT_FIELD_COUNT> field;
};
BootInfo read_boot_info(ByteView payload);

// Block-list items. ByteView that the item does not hold read as 0 or empty.
uint8_t item_block(ByteView item);
// Identity items (block 1): the tag and the value, cut at the item's end.
uint8_t item_tag(ByteView item);
ByteView item_value(ByteView item);
// Software items (other blocks).
bool item_block_empty(ByteView item);
// Up to the first '$' after byte 1, or to the item's end when there is none.
ByteView item_publisher(ByteView item);
// Between the first and the second '$', or to the item's end when the second
// is missing; empty when the first is missing.
ByteView item_software_name(ByteView item);

// What a signature answer says was installed. Without both '$', or with
// the version beyond the answer, there is no version.
struct InstalledSoftware {
    uint8_t block = 0;
    std::string publisher;      // the bytes as they came
    std::string software_name;  // its printable bytes only
    bool has_version = false;
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
};
InstalledSoftware read_signature_answer(ByteView answer);

// The bytes as text, unchanged.
std::string raw_text(ByteView bytes);
// The printable bytes only.
std::string printable_text(ByteView bytes);

// Asking the reader. Both leave what came in the record's data.
//
// Requests the boot information; true when it came within 5 seconds.
bool fetch_boot_info(ReaderLink& link);
// Requests the block list and hands each item to visit, one wait of
// 2 seconds per item, until an item whose block number is highest_block or
// more has been handed over. False when an item did not come in time (the
// items before it have been visited), or when more answers failed to raise
// the block number than the identity block's tags can account for (256: a
// reader repeating itself cannot keep the list going for ever).
bool walk_block_list(ReaderLink& link, uint8_t highest_block,
                     const std::function<void(ByteView item)>& visit);
// Reads the block list as sup_tla, cb and the TLA update preparation check
// it (walk_block_list up to the session's highest block). Puts the numbers
// of the empty blocks into empty, in the order of the answers. False, after
// printing the failure line, when the list did not come whole.
bool list_empty_blocks(Session& s, std::vector<uint8_t>& empty);

}  // namespace korva
