#include <gtest/gtest.h>

#include <memory>

#include "console/console_commands.h"
#include "platform/scripted_console.h"
#include "platform/virtual_clock.h"
#include "tests/support/scripted_peer.h"

namespace korva {
namespace {

TEST(LinkStartup, OpensTheLinkWithTheRecordAndShutdownEmptiesIt) {
    ScriptedConsole console;
    VirtualClock clock;
    ScriptedPeer peer;
    Session s(console, clock);
    s.port.handle = std::make_unique<SimSerialDevice>(clock, peer);
    ASSERT_TRUE(configure_port(s.port));

    link_startup(s);
    EXPECT_EQ(s.link.record, &s.record);
    EXPECT_EQ(s.link.port, &s.port);
    EXPECT_EQ(s.link.clock, &s.clock);

    // The request reads its parameter from the session's record.
    s.record.param = 0x0A;
    request_erase(s.link, 0, handle_response);
    EXPECT_EQ(peer.written(), (std::vector<uint8_t>{0x10, 0x02, 0x02, 0xFF, 0x00, 0x10, 0x0E, 0x0A,
                                                    0x10, 0x03, 0xE8}));
    ASSERT_TRUE(s.link.slots[0]);

    link_shutdown(s);
    for (const auto& slot : s.link.slots) EXPECT_FALSE(slot);
    EXPECT_EQ(s.link.last, nullptr);
    EXPECT_EQ(s.link.outside, nullptr);
}

}  // namespace
}  // namespace korva
