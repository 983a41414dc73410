// Dates as the user's locale writes them (its LC_TIME date-and-time format),
// for pages the program writes: the EXIF dates of pictures and the time a
// page was made. The locale is an object of its own, not the process's: a
// library sets no process-wide locale.
#pragma once

#include <locale.h>

#include <ctime>
#include <string>

namespace lk {

class LocalDates {
  public:
    // locale_name as setlocale takes it; "" follows the environment
    // (LC_ALL, LC_TIME, LANG), as setlocale(LC_TIME, "") would. A locale
    // that cannot be loaded gives the C locale's format.
    explicit LocalDates(const char* locale_name = "");
    ~LocalDates();
    LocalDates(const LocalDates&) = delete;
    LocalDates& operator=(const LocalDates&) = delete;

    // A local time in the locale's date-and-time format, without the time
    // zone (an EXIF date has none, and the zone of the machine that shows
    // it would be a guess).
    std::string format(const std::tm& local) const;
    std::string format(std::time_t time) const;
    // An EXIF date ("2021:06:15 12:34:56") in that format; a text that is
    // not such a date comes back as it is.
    std::string exif(const std::string& text) const;

  private:
    locale_t locale_;
    std::string pattern_;  // the locale's D_T_FMT without %Z
};

}  // namespace lk
