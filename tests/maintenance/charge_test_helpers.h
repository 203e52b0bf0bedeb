// The bench of the charge tests of this folder: a fake reader holding a
// block list and images made to measure, and the texts they check.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "images/image_catalogue.h"
#include "maintenance/maintenance_commands.h"
#include "tests/maintenance/test_reader.h"
#include "tests/support/session_harness.h"

namespace korva::testing {

inline const std::string DONE = "\n           CHARGEMENT TERMINE";
inline const std::string BANNER =
    "\n                      ****************************************"
    "\n                      *****   !  ECHEC DU CHARGEMENT !   *****"
    "\n                      ***** FICHIER TELECHARGE INCORRECT *****"
    "\n                      ****************************************\n"
    "\n\n TAPEZ SUR UNE TOUCHE POUR TERMINER LE PROGRAMME";

inline constexpr uint32_t TWO_PART_P = 1200;

inline Bytes stored_form(const Bytes& image) {
    Bytes stored(6);
    uint32_t n = static_cast<uint32_t>(image.size());
    for (int i = 5; i >= 0; --i, n /= 10) stored[i] = static_cast<uint8_t>(n % 10);
    stored.insert(stored.end(), image.begin(), image.end());
    return stored;
}

inline Bytes image_of(std::size_t length, uint8_t image_class, uint8_t kind, uint8_t sub_kind,
                      uint8_t seed) {
    Bytes image(length);
    for (std::size_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 13 + seed);
    std::fill(image.begin() + SERIAL_FIELD, image.begin() + SERIAL_FIELD_END, 0xFF);
    image[CLASS_BYTE] = image_class;
    image[KIND_BYTE] = kind;
    image[SUB_KIND_BYTE] = sub_kind;
    return image;
}

inline Bytes two_part_image(std::size_t length, uint32_t p, uint8_t kind2, uint8_t sub2) {
    Bytes image = image_of(length, 1, 0xF0, 0x0F, 3);
    image[SECOND_PART_BYTES] = static_cast<uint8_t>((p - 129) >> 8);
    image[SECOND_PART_BYTES + 1] = static_cast<uint8_t>(p - 129);
    image[p + KIND_BYTE] = kind2;
    image[p + SUB_KIND_BYTE] = sub2;
    return image;
}

inline Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + from, b.begin() + to);
}

// What a signature answer carries after the block code: publisher and
// software name, each ending with '$', then the two version bytes where a
// name of that length puts them.
inline Bytes descriptor(const std::string& publisher, const std::string& software, uint8_t major,
                        uint8_t minor) {
    std::string text = publisher + "$" + software + "$";
    const std::size_t second = text.size();  // position of the 2nd '$' in the answer
    const std::size_t version = second + 28 - software.size();
    Bytes d(text.begin(), text.end());
    d.resize(version - 1, ' ');
    d.push_back(major);
    d.push_back(minor);
    return d;
}

inline Bytes item(uint8_t block_code, const std::string& text) {
    Bytes b(text.size() + 1, block_code);
    std::copy(text.begin(), text.end(), b.begin() + 1);
    return b;
}

struct Charging {
    explicit Charging(std::string keys = "k") : rs(reader, std::move(keys)) {
        for (uint8_t block = 0; block <= 15; ++block) {
            reader.block_list.push_back(block == 0   ? item(0, "EDITOR$xKRV 3.20$")
                                        : block == 7 ? item(14, "$")
                                                     : item(2 * block, "KORVA$SOFT$"));
        }
        reader.descriptor = descriptor("KORVA", "SUPERVISEUR", 1, 12);
        images[0] = image_of(700, 4, 0, 0, 1);
        images[4] = image_of(1000, 1, 0x51, 0x00, 2);
        images[6] = two_part_image(3000, TWO_PART_P, 0x14, 0x00);
        images[10] = two_part_image(3000, TWO_PART_P, 0x1C, 0x04);
        images[12] = image_of(900, 4, 0, 0, 5);  // refused at its block
        hold_images();
    }
    void hold_images() {
        rs.s.held_images.clear();
        for (const auto& [code, image] : images) {
            rs.s.held_images.push_back({code, stored_form(image)});
        }
    }
    std::string run(const std::vector<std::string>& tokens) {
        rs.s.script.tokens = tokens;
        rs.s.script.next = 0;
        rs.console.clear_output();
        cmd_charge(rs.s);
        return rs.console.output();
    }

    TestReader reader;
    ReaderSession rs;
    std::map<uint8_t, Bytes> images;
};

inline bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace korva::testing
