// orva_login_limit.cpp: the per-address count of wrong passwords.
//
// DESIGN: each address keeps the times of its latest wrong passwords; the
// one that makes `wrongBeforeWait` within the window sets its wait and clears
// the count, so after a wait it takes that many wrong ones again to wait
// once more, then twice as long. An address quiet for two longest waits
// starts again from the first. The table holds at most `addresses` entries:
// when it is full, entries with nothing left to remember go first, then the
// one wrong least recently, so memory stays bounded whatever a client sends.
#include "orva_login_limit.h"

#include <algorithm>
#include <functional>

namespace {

using Clock = OrvaLoginLimiter::Clock;

}  // namespace

OrvaLoginLimiter::Entry& OrvaLoginLimiter::entryFor(uint32_t address, Clock::time_point now) {
    auto found = entries_.find(address);
    if (found != entries_.end())
        return found->second;
    if (entries_.size() >= limits_.addresses)
        makeRoom(now);
    Entry& entry = entries_[address];
    entry.nextWait = limits_.firstWait;
    return entry;
}

void OrvaLoginLimiter::makeRoom(Clock::time_point now) {
    std::erase_if(entries_, [&](const auto& item) {
        const Entry& e = item.second;
        return e.waitUntil <= now && now - e.lastWrong > 2 * limits_.longestWait;
    });
    if (entries_.size() < limits_.addresses)
        return;
    auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
        return a.second.lastWrong < b.second.lastWrong;
    });
    entries_.erase(oldest);
}

void OrvaLoginLimiter::countWrong(Entry& entry, Clock::time_point now) {
    if (now - entry.lastWrong > 2 * limits_.longestWait)
        entry.nextWait = limits_.firstWait;
    entry.lastWrong = now;
    const int kept = std::min<int>(limits_.wrongBeforeWait, static_cast<int>(std::size(entry.wrong)));
    // Forget the wrong ones that fell out of the window.
    int inWindow = 0;
    for (int i = 0; i < entry.wrongCount; i++) {
        if (now - entry.wrong[i] < limits_.window)
            entry.wrong[inWindow++] = entry.wrong[i];
    }
    entry.wrongCount = inWindow;
    if (entry.wrongCount < kept)
        entry.wrong[entry.wrongCount++] = now;
    if (entry.wrongCount < limits_.wrongBeforeWait)
        return;
    entry.waitUntil = now + entry.nextWait;
    entry.nextWait = std::min(2 * entry.nextWait, limits_.longestWait);
    entry.wrongCount = 0;
}

std::chrono::milliseconds OrvaLoginLimiter::waitLeft(uint32_t address, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = entries_.find(address);
    if (found == entries_.end() || found->second.waitUntil <= now)
        return std::chrono::milliseconds(0);
    return std::chrono::ceil<std::chrono::milliseconds>(found->second.waitUntil - now);
}

void OrvaLoginLimiter::wrongPassword(uint32_t address, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    countWrong(entryFor(address, now), now);
}

void OrvaLoginLimiter::wrongCookie(uint32_t address, std::string_view value, Clock::time_point now) {
    // Only a hash is kept: the table never holds what clients tried.
    const uint64_t hash = std::hash<std::string_view>{}(value) | 1;
    std::lock_guard<std::mutex> guard(lock_);
    Entry& entry = entryFor(address, now);
    for (size_t i = 0; i < kCookiesKept; i++) {
        if (entry.cookies[i] == hash && now - entry.cookieSeen[i] < limits_.window)
            return;
    }
    entry.cookies[entry.cookiesNext] = hash;
    entry.cookieSeen[entry.cookiesNext] = now;
    entry.cookiesNext = (entry.cookiesNext + 1) % kCookiesKept;
    countWrong(entry, now);
}

void OrvaLoginLimiter::rightPassword(uint32_t address) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.erase(address);
}

bool OrvaLoginLimiter::logRefusal(uint32_t address, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    Entry& entry = entryFor(address, now);
    if (entry.logged && now - entry.lastLogged < limits_.window)
        return false;
    entry.logged = true;
    entry.lastLogged = now;
    return true;
}

size_t OrvaLoginLimiter::addressesKept() {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_.size();
}
