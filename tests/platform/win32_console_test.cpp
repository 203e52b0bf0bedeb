// The Win32 console when standard input and output are pipes, as when keys
// are piped into the utility: keys and lines come from the pipe byte by byte,
// a closed pipe is the end of the input, and output is written at once.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "platform/console_io.h"

namespace korva {
namespace {

class PipedConsole : public ::testing::Test {
  protected:
    // The system console takes the standard handles when it is first used,
    // so every case of this program shares the same pipes.
    static void SetUpTestSuite() {
        ASSERT_TRUE(CreatePipe(&keys_in, &keys_out, nullptr, 4096));
        ASSERT_TRUE(CreatePipe(&screen_in, &screen_out, nullptr, 4096));
        SetStdHandle(STD_INPUT_HANDLE, keys_in);
        SetStdHandle(STD_OUTPUT_HANDLE, screen_out);
    }

    static void type(const std::string& text) {
        DWORD put = 0;
        ASSERT_TRUE(
            WriteFile(keys_out, text.data(), static_cast<DWORD>(text.size()), &put, nullptr));
        ASSERT_EQ(put, text.size());
    }
    static std::string screen(std::size_t count) {
        std::string text(count, '\0');
        DWORD got = 0;
        if (!ReadFile(screen_in, text.data(), static_cast<DWORD>(count), &got, nullptr)) return {};
        text.resize(got);
        return text;
    }

    static inline HANDLE keys_in, keys_out, screen_in, screen_out;
};

TEST_F(PipedConsole, KeysLinesAndEndOfInput) {
    Console& console = system_console();
    std::string line;

    EXPECT_FALSE(console.key_pressed()) << "an empty pipe holds no key";
    type("O");
    EXPECT_TRUE(console.key_pressed());
    EXPECT_EQ(console.read_key(), 'O');

    // A CR ends a line; the LF that follows it is not a key.
    type("charge\r");
    ASSERT_TRUE(console.read_line(line));
    EXPECT_EQ(line, "charge");
    EXPECT_FALSE(console.key_pressed());
    type("\n");
    EXPECT_FALSE(console.key_pressed()) << "the rest of a CR LF line end is no key press";
    type("q");
    EXPECT_TRUE(console.key_pressed());
    EXPECT_EQ(console.read_key(), 'q');

    // LF alone, and CR LF, each end one line; an empty line is a line.
    type("info 3\n\r\nbootinfo\r\nx");
    ASSERT_TRUE(console.read_line(line));
    EXPECT_EQ(line, "info 3");
    ASSERT_TRUE(console.read_line(line));
    EXPECT_EQ(line, "");
    ASSERT_TRUE(console.read_line(line));
    EXPECT_EQ(line, "bootinfo");

    // The writer goes: the last line without its end is still a line, then
    // the input has ended for good and waiting for a key never blocks.
    CloseHandle(keys_out);
    ASSERT_TRUE(console.read_line(line));
    EXPECT_EQ(line, "x");
    EXPECT_FALSE(console.read_line(line));
    EXPECT_TRUE(console.key_pressed());
    EXPECT_EQ(console.read_key(), -1);
    EXPECT_EQ(console.read_key(), -1);
}

TEST_F(PipedConsole, OutputIsWrittenAtOnceAndUnchanged) {
    Console& console = system_console();
    const std::string text = "\n COMMANDE> \r\x07 REPONSE > OK\n";
    console.print(text);
    EXPECT_EQ(screen(text.size()), text);
}

}  // namespace
}  // namespace korva
