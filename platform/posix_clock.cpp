#include <chrono>
#include <ctime>
#include <thread>

#include "platform/clock.h"

namespace korva {

namespace {

class PosixClock : public Clock {
  public:
    int64_t calendar_ms() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    }
    LocalTime local_time() override {
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        return LocalTime{tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min};
    }
    void sleep_ms(int64_t ms) override {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

}  // namespace

Clock& system_clock() {
    static PosixClock clock;
    return clock;
}

}  // namespace korva
