// orva_login_limit.h: how many wrong passwords one client address may try.
//
// After `wrongBeforeWait` wrong passwords within `window` an address waits,
// first `firstWait`, then twice as long each time it is made to wait again,
// up to `longestWait`. Other addresses never wait for it. A wrong session
// cookie counts too, but each distinct value once per window, so a page left
// polling with an old cookie does not shut its address out.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <unordered_map>

struct OrvaLoginLimits {
    std::chrono::milliseconds window{60 * 1000};
    int wrongBeforeWait = 5;
    std::chrono::milliseconds firstWait{15 * 1000};
    std::chrono::milliseconds longestWait{5 * 60 * 1000};
    size_t addresses = 4096;  // the table's bound; the least recently wrong go first
};

class OrvaLoginLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit OrvaLoginLimiter(OrvaLoginLimits limits = {}) : limits_(limits) {}

    // How long `address` still waits; zero when it may try a password.
    std::chrono::milliseconds waitLeft(uint32_t address, Clock::time_point now);
    // A wrong password from the login form.
    void wrongPassword(uint32_t address, Clock::time_point now);
    // A request carrying the wrong session cookie `value`.
    void wrongCookie(uint32_t address, std::string_view value, Clock::time_point now);
    // The right password: the address starts afresh.
    void rightPassword(uint32_t address);
    // True for the first refusal of `address` within a window: the one that
    // goes into the service log.
    bool logRefusal(uint32_t address, Clock::time_point now);
    size_t addressesKept();

private:
    static constexpr size_t kCookiesKept = 8;
    struct Entry {
        Clock::time_point wrong[16];  // ring of the latest wrong times
        int wrongCount = 0;           // within the window, at most wrongBeforeWait
        Clock::time_point lastWrong;
        Clock::time_point waitUntil;
        std::chrono::milliseconds nextWait{0};
        Clock::time_point lastLogged;
        bool logged = false;
        uint64_t cookies[kCookiesKept] = {};
        Clock::time_point cookieSeen[kCookiesKept];
        size_t cookiesNext = 0;
    };

    Entry& entryFor(uint32_t address, Clock::time_point now);
    void countWrong(Entry& entry, Clock::time_point now);
    void makeRoom(Clock::time_point now);

    OrvaLoginLimits limits_;
    std::mutex lock_;
    std::unordered_map<uint32_t, Entry> entries_;
};
