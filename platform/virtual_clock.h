// A clock for tests and for the in-process virtual reader: time moves only
// when somebody sleeps, and every sleep returns at once.
#pragma once

#include "platform/clock.h"

namespace korva {

class VirtualClock : public Clock {
  public:
    // 2007-03-05 09:07:00 UTC by default: a fixed, known calendar date.
    explicit VirtualClock(int64_t start_ms = 1173085620000LL) : now_ms_(start_ms) {}

    int64_t calendar_ms() override { return now_ms_; }
    // The breakdown is taken in UTC so that tests do not depend on the
    // machine's time zone.
    LocalTime local_time() override;
    void sleep_ms(int64_t ms) override {
        if (ms > 0) now_ms_ += ms;
    }

    void advance_to(int64_t ms) {
        if (ms > now_ms_) now_ms_ = ms;
    }

  private:
    int64_t now_ms_;
};

}  // namespace korva
