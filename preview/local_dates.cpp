#include "preview/local_dates.hpp"

#include <langinfo.h>

#include <cstdio>

namespace lk {

LocalDates::LocalDates(const char* locale_name) {
    locale_ = ::newlocale(LC_TIME_MASK, locale_name ? locale_name : "", static_cast<locale_t>(0));
    if (!locale_) locale_ = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    const char* pattern = locale_ ? ::nl_langinfo_l(D_T_FMT, locale_) : nullptr;
    pattern_ = pattern && *pattern ? pattern : "%Y-%m-%d %H:%M:%S";
    // The zone goes, with the blank before it.
    for (std::size_t at; (at = pattern_.find("%Z")) != std::string::npos;) {
        std::size_t from = at;
        while (from > 0 && pattern_[from - 1] == ' ') --from;
        pattern_.erase(from, at + 2 - from);
    }
}

LocalDates::~LocalDates() {
    if (locale_) ::freelocale(locale_);
}

std::string LocalDates::format(const std::tm& local) const {
    char text[256];
    const std::size_t n = locale_
                              ? ::strftime_l(text, sizeof text, pattern_.c_str(), &local, locale_)
                              : std::strftime(text, sizeof text, pattern_.c_str(), &local);
    return std::string(text, n);
}

std::string LocalDates::format(std::time_t time) const {
    std::tm local{};
    ::localtime_r(&time, &local);
    return format(local);
}

std::string LocalDates::exif(const std::string& text) const {
    std::tm t{};
    char end = 0;
    if (std::sscanf(text.c_str(), "%4d:%2d:%2d %2d:%2d:%2d%c", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &end) != 6 ||
        t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
        t.tm_min > 59 || t.tm_sec > 60)
        return text;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    // timegm only fills in the weekday (and day of the year) that %a needs;
    // the fields stay the camera's local time.
    std::tm filled = t;
    const std::time_t as_utc = ::timegm(&filled);
    if (as_utc == static_cast<std::time_t>(-1) || filled.tm_mday != t.tm_mday)
        return text;  // June 31st
    t.tm_wday = filled.tm_wday;
    t.tm_yday = filled.tm_yday;
    return format(t);
}

}  // namespace lk
