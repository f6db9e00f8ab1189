// orva_device_retry.h: when to look again for a driver library that was not
// there, so one installed while the service runs is found without a restart.
#pragma once

#include <chrono>

// Paces the attempts to open one library: the first comes at once, each later
// one only after the retry interval. Callers hold their library's lock.
class OrvaRetryGate {
public:
    using Clock = std::chrono::steady_clock;

    // True when an attempt may be made now; it is then counted as made.
    bool due();

private:
    bool tried_ = false;
    Clock::time_point last_{};
};

// The pause between two attempts: 60 seconds, or the whole seconds (1 to 60)
// in ORVAL_DEVICE_RETRY_SECONDS, which the tests set to see a library that
// appears later found soon.
int orvaDeviceRetrySeconds();
