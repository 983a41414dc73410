// The texts that the sources hand to the message lookup, read from the
// sources themselves, so that tests can hold them against the master file.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace lk::test {

struct Token {
    enum Kind { Ident, String, Number, Char, Punct } kind;
    std::string text;  // a string literal's decoded bytes; adjacent literals are joined
    int line;
};

// A light C++ lexer: comments and preprocessor lines are skipped, string
// literals decoded (escapes, raw strings, u8 prefixes).
std::vector<Token> lex_cpp(std::string_view source);

// A call that hands a text to the lookup: the function's name and which
// argument is the text.
struct LookupCall {
    std::string function;
    int argument;
};

struct FoundText {
    std::string text;
    std::string where;  // "file:line" of the call
};

class SourceTree {
  public:
    // Reads every .cpp and .hpp file under root/folder for each folder that
    // exists, and the <string> elements of Qt Designer .ui files.
    SourceTree(const std::filesystem::path& root, const std::vector<std::string>& folders);

    bool empty() const { return files_.empty(); }
    // Every string literal of the sources and every .ui string.
    std::set<std::string> literals() const;

    // The texts handed to the lookup by the given calls. An argument that is
    // not a literal is followed through the definitions of the variables and
    // constants it names (same file first; constants named kSomething in any
    // file) and through the return statements of the functions it calls.
    // Calls whose text cannot be followed are listed in `unfollowed` as
    // "file: argument".
    std::vector<FoundText> looked_up_texts(const std::vector<LookupCall>& calls,
                                           std::vector<std::string>& unfollowed) const;

  private:
    struct File {
        std::string name;  // relative to the root
        std::vector<Token> tokens;
    };
    struct Range {
        const File* file;
        std::size_t begin, end;  // token indices, end exclusive
    };

    void evaluate(const Range& range, int depth, std::set<std::string>& visited,
                  std::set<std::string>& out) const;
    std::vector<Range> definitions(const File& file, const std::string& name) const;
    std::vector<Range> returns_of(const std::string& function) const;

    std::vector<File> files_;
    std::vector<std::string> ui_strings_;
};

}  // namespace lk::test
