#include <gtest/gtest.h>

#include <cstring>

#include "session/session.h"

namespace korva {
namespace {

uint8_t typed(const char* text) {
    InputBuffer word{};
    std::strncpy(word.data(), text, word.size() - 1);
    return typed_block_number(word);
}

TEST(TypedBlockNumber, OneOrTwoCharactersElse100) {
    const std::pair<const char*, int> rows[] = {
        {"0", 0},   {"7", 7},    {"15", 15},   {"31", 31},   {"09", 9},
        {"99", 99}, {"", 100},   {"100", 100}, {"123", 100}, {"a", 49},  // 'a' - 48
        {"/", 255},               // '/' - 48 wraps round in 8 bits
        {"1a", 59}, {"z9", 237},  // (74 x 10 + 9) mod 256
    };
    for (const auto& [text, number] : rows) EXPECT_EQ(typed(text), number) << text;
}

}  // namespace
}  // namespace korva
