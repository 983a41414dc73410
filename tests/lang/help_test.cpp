// The help pages: one per language, with every help context as an anchor.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "lang/language.hpp"

namespace lk {
namespace {

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::set<std::string> matches(const std::string& text, const std::regex& pattern) {
    std::set<std::string> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
         it != std::sregex_iterator(); ++it)
        out.insert((*it)[1]);
    return out;
}

TEST(HelpPages, EveryLanguageHasEveryHelpContext) {
    // The main window, the status and graph windows (1000), the input dialog
    // (101), the card parameters dialog (102) and the actions.
    const std::set<std::string> contexts = {"1000", "101", "102", "301", "302", "303",
                                            "304",  "305", "306", "307", "9999"};
    const std::filesystem::path dir = std::filesystem::path(LK_SOURCE_DIR) / "help";
    for (const char* code : {"en", "fr", "de"}) {
        const std::filesystem::path page = dir / (std::string("lumenkeeper_") + code + ".html");
        ASSERT_TRUE(std::filesystem::is_regular_file(page)) << page;
        const std::string html = read_text(page);
        const std::set<std::string> ids = matches(html, std::regex(R"re(id="([^"]+)")re"));
        for (const std::string& context : contexts)
            EXPECT_TRUE(ids.count(context)) << page << ": " << context;
        for (const std::string& target : matches(html, std::regex(R"re(href="#([^"]+)")re")))
            EXPECT_TRUE(ids.count(target)) << page << ": a link to the missing anchor " << target;
        EXPECT_NE(html.find(std::string("<html lang=\"") + code + "\">"), std::string::npos)
            << page;
    }
    // The pages are found by the name the help file choice gives them.
    EXPECT_EQ(help_file(dir, "de"), dir / "lumenkeeper_de.html");
    EXPECT_EQ(help_file(dir, "ja"), dir / "lumenkeeper_en.html");
}

}  // namespace
}  // namespace lk
