// orva_device_retry.cpp: the pace of the attempts to open a missing driver
// library. A page that asks for the devices every second then costs one
// failed dlopen and one log line a minute, not one per request.
#include "devices/orva_device_retry.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kLongestRetrySeconds = 60;

int retrySeconds() {
    const char* text = getenv("ORVAL_DEVICE_RETRY_SECONDS");
    int seconds = kLongestRetrySeconds;
    if (text != nullptr)
        std::from_chars(text, text + strlen(text), seconds);
    return std::clamp(seconds, 1, kLongestRetrySeconds);
}

}  // namespace

int orvaDeviceRetrySeconds() {
    static const int seconds = retrySeconds();
    return seconds;
}

bool OrvaRetryGate::due() {
    Clock::time_point now = Clock::now();
    if (tried_ && now - last_ < std::chrono::seconds(orvaDeviceRetrySeconds()))
        return false;
    tried_ = true;
    last_ = now;
    return true;
}
