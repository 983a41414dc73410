#include "source_texts.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "lang/language_file.hpp"

namespace lk::test {

namespace {

bool is_ident_start(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool is_ident_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Decodes the body of an ordinary literal, from after the opening quote;
// returns the index after the closing quote.
std::size_t decode_literal(std::string_view s, std::size_t i, char quote, std::string& out) {
    while (i < s.size() && s[i] != quote && s[i] != '\n') {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i++];
            continue;
        }
        const char e = s[++i];
        ++i;
        switch (e) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'a':
                out += '\a';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'v':
                out += '\v';
                break;
            case 'x': {
                unsigned v = 0;
                while (i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i])))
                    v = v * 16 +
                        static_cast<unsigned>(std::stoi(std::string(1, s[i++]), nullptr, 16));
                out += static_cast<char>(v);
                break;
            }
            case 'u':
            case 'U': {
                const std::size_t n = e == 'u' ? 4 : 8;
                append_utf8(out, static_cast<char32_t>(
                                     std::stoul(std::string(s.substr(i, n)), nullptr, 16)));
                i += n;
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    unsigned v = static_cast<unsigned>(e - '0');
                    for (int k = 0; k < 2 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++k)
                        v = v * 8 + static_cast<unsigned>(s[i++] - '0');
                    out += static_cast<char>(v);
                } else {
                    out += e;  // \\ \" \' \?
                }
        }
    }
    return i + 1;
}

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The <string> elements of a Qt Designer form, entities decoded.
std::vector<std::string> ui_strings(const std::string& xml) {
    std::vector<std::string> out;
    for (std::size_t at = xml.find("<string"); at != std::string::npos;
         at = xml.find("<string", at)) {
        const std::size_t open = xml.find('>', at);
        const std::size_t close = xml.find("</string>", open);
        if (open == std::string::npos || close == std::string::npos) break;
        std::string text;
        for (std::size_t i = open + 1; i < close; ++i) {
            static const std::pair<std::string_view, char> kEntities[] = {
                {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
            bool replaced = false;
            for (const auto& [entity, c] : kEntities) {
                if (std::string_view(xml).substr(i, entity.size()) == entity) {
                    text += c;
                    i += entity.size() - 1;
                    replaced = true;
                    break;
                }
            }
            if (!replaced) text += xml[i];
        }
        out.push_back(text);
        at = close;
    }
    return out;
}

// The index of the bracket that closes the one at `open`, or tokens.size().
std::size_t matching(const std::vector<Token>& t, std::size_t open) {
    int depth = 0;
    for (std::size_t i = open; i < t.size(); ++i) {
        if (t[i].kind != Token::Punct) continue;
        const std::string& p = t[i].text;
        if (p == "(" || p == "[" || p == "{") ++depth;
        if (p == ")" || p == "]" || p == "}") {
            if (--depth == 0) return i;
        }
    }
    return t.size();
}

// The end of an expression that starts at `i`: the first ",", ";" or
// unmatched closing bracket at its own depth.
std::size_t expression_end(const std::vector<Token>& t, std::size_t i) {
    for (; i < t.size(); ++i) {
        if (t[i].kind != Token::Punct) continue;
        const std::string& p = t[i].text;
        if (p == "(" || p == "[" || p == "{") {
            i = matching(t, i);
            if (i == t.size()) return i;
        } else if (p == "," || p == ";" || p == ")" || p == "]" || p == "}") {
            return i;
        }
    }
    return t.size();
}

bool is_punct(const Token& t, std::string_view p) {
    return t.kind == Token::Punct && t.text == p;
}

bool is_constant_name(const std::string& name) {
    return name.size() > 1 && name[0] == 'k' && std::isupper(static_cast<unsigned char>(name[1]));
}

}  // namespace

std::vector<Token> lex_cpp(std::string_view s) {
    std::vector<Token> out;
    int line = 1;
    bool line_start = true;
    std::size_t i = 0;
    auto push = [&](Token::Kind kind, std::string text, int at) {
        // Adjacent literals are one text, as the compiler joins them.
        if (kind == Token::String && !out.empty() && out.back().kind == Token::String)
            out.back().text += text;
        else
            out.push_back({kind, std::move(text), at});
    };
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\n') {
            ++line, ++i, line_start = true;
            continue;
        }
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if (line_start && c == '#') {
            while (i < s.size() && s[i] != '\n') {
                if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\n') ++line, ++i;
                ++i;
            }
            continue;
        }
        line_start = false;
        if (s.substr(i, 2) == "//") {
            while (i < s.size() && s[i] != '\n') ++i;
            continue;
        }
        if (s.substr(i, 2) == "/*") {
            const std::size_t end = s.find("*/", i + 2);
            const std::size_t stop = end == std::string_view::npos ? s.size() : end + 2;
            line +=
                static_cast<int>(std::count(s.begin() + static_cast<std::ptrdiff_t>(i),
                                            s.begin() + static_cast<std::ptrdiff_t>(stop), '\n'));
            i = stop;
            continue;
        }
        const int at = line;
        if (is_ident_start(c)) {
            std::size_t j = i;
            while (j < s.size() && is_ident_char(s[j])) ++j;
            const std::string word(s.substr(i, j - i));
            i = j;
            const bool quote = i < s.size() && s[i] == '"';
            if (quote && !word.empty() && word.back() == 'R' &&
                (word == "R" || word == "u8R" || word == "LR" || word == "uR" || word == "UR")) {
                const std::size_t paren = s.find('(', i);
                const std::string close = ")" + std::string(s.substr(i + 1, paren - i - 1)) + "\"";
                const std::size_t end = s.find(close, paren);
                const std::string body(s.substr(paren + 1, end - paren - 1));
                line += static_cast<int>(std::count(body.begin(), body.end(), '\n'));
                push(Token::String, body, at);
                i = end + close.size();
                continue;
            }
            if ((quote || (i < s.size() && s[i] == '\'')) &&
                (word == "u8" || word == "L" || word == "u" || word == "U"))
                continue;  // the literal itself follows
            push(Token::Ident, word, at);
            continue;
        }
        if (std::isdigit(static_cast<unsigned char>(c))) {
            std::size_t j = i;
            while (j < s.size() && (is_ident_char(s[j]) || s[j] == '.' ||
                                    (s[j] == '\'' && j + 1 < s.size() && is_ident_char(s[j + 1]))))
                ++j;
            push(Token::Number, std::string(s.substr(i, j - i)), at);
            i = j;
            continue;
        }
        if (c == '"' || c == '\'') {
            std::string text;
            i = decode_literal(s, i + 1, c, text);
            push(c == '"' ? Token::String : Token::Char, text, at);
            continue;
        }
        // Two-character operators that must not read as "=" or ":".
        static constexpr std::string_view kPairs[] = {
            "==", "!=", "<=", ">=", "+=", "-=", "*=", "/=", "|=", "&=", "^=", "%=", "::", "->"};
        const std::string_view two = s.substr(i, 2);
        if (std::find(std::begin(kPairs), std::end(kPairs), two) != std::end(kPairs)) {
            push(Token::Punct, std::string(two), at);
            i += 2;
            continue;
        }
        push(Token::Punct, std::string(1, c), at);
        ++i;
    }
    return out;
}

SourceTree::SourceTree(const std::filesystem::path& root, const std::vector<std::string>& folders) {
    namespace fs = std::filesystem;
    for (const std::string& folder : folders) {
        std::error_code ec;
        if (!fs::is_directory(root / folder, ec)) continue;
        std::vector<fs::path> paths;
        for (const auto& entry : fs::recursive_directory_iterator(root / folder, ec))
            if (entry.is_regular_file()) paths.push_back(entry.path());
        std::sort(paths.begin(), paths.end());
        for (const fs::path& path : paths) {
            const std::string ext = path.extension().string();
            if (ext == ".cpp" || ext == ".hpp")
                files_.push_back(
                    {fs::relative(path, root).generic_string(), lex_cpp(read_text(path))});
            else if (ext == ".ui")
                for (std::string& text : ui_strings(read_text(path)))
                    ui_strings_.push_back(std::move(text));
        }
    }
}

std::set<std::string> SourceTree::literals() const {
    std::set<std::string> out(ui_strings_.begin(), ui_strings_.end());
    for (const File& f : files_)
        for (const Token& t : f.tokens)
            if (t.kind == Token::String) out.insert(t.text);
    return out;
}

std::vector<SourceTree::Range> SourceTree::definitions(const File& file,
                                                       const std::string& name) const {
    std::vector<Range> out;
    const auto& t = file.tokens;
    for (std::size_t i = 0; i + 1 < t.size(); ++i) {
        if (t[i].kind != Token::Ident || t[i].text != name) continue;
        if (i > 0 && (is_punct(t[i - 1], ".") || is_punct(t[i - 1], "->"))) continue;
        std::size_t j = i + 1;
        if (is_punct(t[j], "[")) j = matching(t, j) + 1;  // an array: name[] = {...}
        if (j >= t.size()) continue;
        if (is_punct(t[j], "=")) {
            ++j;
            if (j < t.size() && is_punct(t[j], "{"))
                out.push_back({&file, j, matching(t, j)});
            else
                out.push_back({&file, j, expression_end(t, j)});
        } else if (is_punct(t[j], "{") && i > 0 &&
                   (t[i - 1].kind == Token::Ident || is_punct(t[i - 1], "*") ||
                    is_punct(t[i - 1], ">"))) {
            out.push_back({&file, j, matching(t, j)});  // Type name{...}
        }
    }
    return out;
}

std::vector<SourceTree::Range> SourceTree::returns_of(const std::string& function) const {
    std::vector<Range> out;
    for (const File& file : files_) {
        const auto& t = file.tokens;
        for (std::size_t i = 0; i + 1 < t.size(); ++i) {
            if (t[i].kind != Token::Ident || t[i].text != function || !is_punct(t[i + 1], "("))
                continue;
            // A definition: the parameter list is followed by the body,
            // perhaps after const, noexcept or a trailing return type.
            std::size_t j = matching(t, i + 1) + 1;
            while (j < t.size() && !is_punct(t[j], "{") && !is_punct(t[j], ";") &&
                   !is_punct(t[j], "=") && !is_punct(t[j], ",") && !is_punct(t[j], ")"))
                ++j;
            if (j >= t.size() || !is_punct(t[j], "{")) continue;
            const std::size_t end = matching(t, j);
            for (std::size_t k = j; k < end; ++k)
                if (t[k].kind == Token::Ident && t[k].text == "return")
                    out.push_back({&file, k + 1, expression_end(t, k + 1)});
        }
    }
    return out;
}

void SourceTree::evaluate(const Range& r, int depth, std::set<std::string>& visited,
                          std::set<std::string>& out) const {
    if (depth > 8) return;
    const auto& t = r.file->tokens;
    for (std::size_t i = r.begin; i < r.end && i < t.size(); ++i) {
        if (t[i].kind == Token::String) {
            out.insert(t[i].text);
            continue;
        }
        if (t[i].kind != Token::Ident) continue;
        if (i > r.begin && (is_punct(t[i - 1], ".") || is_punct(t[i - 1], "->"))) continue;
        const std::string& name = t[i].text;
        if (i + 1 < t.size() && is_punct(t[i + 1], "(")) {
            // A function of the sources gives what it returns; its arguments
            // (sizes, parameters) are not the text. Calls of anything else
            // (a string's constructor, a cast) hand their arguments on.
            const std::vector<Range> returns = returns_of(name);
            if (visited.insert("()" + name).second)
                for (const Range& ret : returns) evaluate(ret, depth + 1, visited, out);
            if (!returns.empty()) i = matching(t, i + 1);
            continue;
        }
        if (!visited.insert(r.file->name + ":" + name).second) continue;
        std::vector<Range> defs = definitions(*r.file, name);
        if (defs.empty() && is_constant_name(name))
            for (const File& f : files_)
                for (const Range& d : definitions(f, name)) defs.push_back(d);
        for (const Range& d : defs) evaluate(d, depth + 1, visited, out);
    }
}

std::vector<FoundText> SourceTree::looked_up_texts(const std::vector<LookupCall>& calls,
                                                   std::vector<std::string>& unfollowed) const {
    std::vector<FoundText> out;
    for (const File& file : files_) {
        const auto& t = file.tokens;
        for (std::size_t i = 0; i + 1 < t.size(); ++i) {
            if (t[i].kind != Token::Ident || !is_punct(t[i + 1], "(")) continue;
            const auto call = std::find_if(calls.begin(), calls.end(), [&](const LookupCall& c) {
                return c.function == t[i].text;
            });
            if (call == calls.end()) continue;
            // A declaration or definition ("void Warning(", "const char* translate(")
            // is preceded by its type; a call by an operator, a bracket or return.
            if (i > 0 && ((t[i - 1].kind == Token::Ident && t[i - 1].text != "return") ||
                          is_punct(t[i - 1], "*") || is_punct(t[i - 1], "&")))
                continue;
            // A definition out of its class ("void Tstform::StatusText(...) {").
            if (const std::size_t close = matching(t, i + 1);
                close + 1 < t.size() && is_punct(t[close + 1], "{"))
                continue;
            std::size_t begin = i + 2;
            for (int a = 0; a < call->argument && begin < t.size(); ++a)
                begin = expression_end(t, begin) + 1;
            if (begin >= t.size() || is_punct(t[begin], ")") ||
                (call->argument > 0 && is_punct(t[begin - 1], ")")))
                continue;  // fewer arguments
            const Range arg{&file, begin, expression_end(t, begin)};
            std::set<std::string> texts, visited;
            evaluate(arg, 0, visited, texts);
            if (texts.empty()) {
                std::string expr;
                for (std::size_t k = arg.begin; k < arg.end; ++k) expr += t[k].text;
                unfollowed.push_back(file.name + ": " + expr);
            }
            for (const std::string& text : texts)
                out.push_back({text, file.name + ":" + std::to_string(t[i].line)});
        }
    }
    return out;
}

}  // namespace lk::test
