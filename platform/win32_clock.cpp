// The machine's clock on Windows.
#include <ctime>

#include "platform/clock.h"
#include "platform/win32_windows.h"

namespace korva {

namespace {

// FILETIME counts 100 ns steps since 1601-01-01; the epoch is 1970-01-01.
constexpr int64_t FILETIME_TICKS_AT_EPOCH = 116444736000000000LL;
constexpr int64_t FILETIME_TICKS_PER_MS = 10000;

class Win32Clock : public Clock {
  public:
    int64_t calendar_ms() override {
        FILETIME ft;
        GetSystemTimeAsFileTime(&ft);
        const int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) |
                              static_cast<int64_t>(ft.dwLowDateTime);
        return (ticks - FILETIME_TICKS_AT_EPOCH) / FILETIME_TICKS_PER_MS;
    }
    LocalTime local_time() override {
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_s(&tm, &now);
        return LocalTime{tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min};
    }
    void sleep_ms(int64_t ms) override {
        while (ms > 0) {
            const DWORD step = static_cast<DWORD>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms);
            Sleep(step);
            ms -= step;
        }
    }
};

}  // namespace

Clock& system_clock() {
    static Win32Clock clock;
    return clock;
}

}  // namespace korva
