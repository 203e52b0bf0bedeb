// A link opened on a simulated line: a ScriptedPeer plays the reader, time
// is virtual.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "link/link.h"
#include "platform/virtual_clock.h"
#include "serial/serial_port.h"
#include "serial/sim_serial_device.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/wire.h"

namespace korva::testing {

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port.handle = std::make_unique<SimSerialDevice>(clock, peer);
        ASSERT_TRUE(configure_port(port));
        port.read_chunk = READ_CHUNK;
        link_open(link, port, clock);
        link.record = &record;
        peer.clear_written();
    }
    void TearDown() override { link_close(link); }

    // Bytes that reach the utility now.
    void arrive(const Bytes& bytes) { peer.schedule(clock.calendar_ms(), bytes); }
    // Bytes that reach the utility ms milliseconds from now.
    void arrive_in(int64_t ms, const Bytes& bytes) {
        peer.schedule(clock.calendar_ms() + ms, bytes);
    }
    // Polls until the line and the ring are both empty.
    void poll_all() {
        while (link_poll(link) != 0) {
        }
    }
    std::size_t occupied_slots() const {
        std::size_t n = 0;
        for (const auto& slot : link.slots) n += slot ? 1 : 0;
        return n;
    }

    VirtualClock clock;
    ScriptedPeer peer;
    SerialPort port;
    ReaderLink link;
    ReaderRecord record;
};

// A frame as the reader sends it, the sections' data given as they go on
// the wire (already stuffed, or not, as the test wants).
inline Bytes reader_frame(uint8_t code, uint8_t subcode, const std::vector<Section>& sections,
                          uint8_t direction = 0x02) {
    return frame(code, sections, {.direction = direction, .subcode = subcode, .stuff = false});
}

}  // namespace korva::testing
