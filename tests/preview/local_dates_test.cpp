// Dates as the locale writes them, in the C locale and in a German locale
// made at test time with localedef.
#include "preview/local_dates.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/process.hpp"

// glibc keeps LOCPATH's list, copied when newlocale reads it, past the
// locale's end (argz-addsep); the leak is the C library's, once per load.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:__argz_add_sep\n";
}

namespace lk {
namespace {

TEST(LocalDates, ExifDatesInTheCLocaleAndWhatIsNoDate) {
    const LocalDates dates("C");
    struct Case {
        const char* exif;
        const char* shown;
    } cases[] = {
        {"2021:06:15 12:34:56", "Tue Jun 15 12:34:56 2021"},
        {"2000:02:29 00:00:00", "Tue Feb 29 00:00:00 2000"},  // a leap day
        {"2021:02:29 10:00:00", "2021:02:29 10:00:00"},       // none that year
        {"2021:13:01 10:00:00", "2021:13:01 10:00:00"},
        {"2021:06:15 12:34:56 and more", "2021:06:15 12:34:56 and more"},
        {"    :  :     :  :  ", "    :  :     :  :  "},  // a camera without a clock
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(dates.exif(c.exif), c.shown) << c.exif;
    EXPECT_EQ(LocalDates("no such locale").exif("2021:06:15 12:34:56"), "Tue Jun 15 12:34:56 2021");
}

TEST(LocalDates, AGermanLocaleWritesItsOwnFormatWithoutTheZone) {
    const auto localedef = test::find_program("localedef");
    if (!localedef) GTEST_SKIP() << "localedef not installed (package locales)";
    test::TempDir tmp;
    const test::ProcessResult made = test::run_process(
        {localedef->string(), "-i", "de_DE", "-f", "UTF-8", (tmp / "de_DE.UTF-8").string()});
    if (!made.ok()) GTEST_SKIP() << "localedef could not make de_DE.UTF-8: " << made.err;
    // The locale is looked up where LOCPATH says when it is loaded.
    const char* before = std::getenv("LOCPATH");
    const std::string kept = before ? before : "";
    ::setenv("LOCPATH", tmp.path().c_str(), 1);
    const LocalDates dates("de_DE.UTF-8");
    if (before)
        ::setenv("LOCPATH", kept.c_str(), 1);
    else
        ::unsetenv("LOCPATH");
    // German: "%a %d %b %Y %T %Z", the zone left out.
    EXPECT_EQ(dates.exif("2021:06:15 12:34:56"), "Di 15 Jun 2021 12:34:56");
    std::tm t{};
    t.tm_year = 123, t.tm_mon = 10, t.tm_mday = 14, t.tm_hour = 22, t.tm_min = 13, t.tm_sec = 20;
    t.tm_wday = 2;
    EXPECT_EQ(dates.format(t), "Di 14 Nov 2023 22:13:20");
}

}  // namespace
}  // namespace lk
