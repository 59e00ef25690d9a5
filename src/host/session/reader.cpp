// The program reader: statements ending in ";", block comments /* */,
// comment statements "* ...;", quoted strings with doubled-quote escapes, and
// macro-variable references &name (resolved as the statement is read, so a
// %LET takes effect for the statements after it).

#include "host/session/session_state.h"

#include <cctype>

void VyrStatement::where(std::size_t offset, int* line_out, int* column_out) const
{
    int l = line, c = column;
    if (offset < lines.size()) {
        l = lines[offset];
        c = columns[offset];
    } else if (!lines.empty()) {
        l = lines.back();
        c = columns.back() + 1;
    }
    if (line_out)
        *line_out = l;
    if (column_out)
        *column_out = c;
}

namespace vyr
{

namespace
{
bool name_start(char c)
{
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool name_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}
} // namespace

ProgramReader::ProgramReader(std::string_view text, MacroLookup lookup, MacroWarn warn,
                             std::size_t max_length)
    : text_(text), lookup_(std::move(lookup)), warn_(std::move(warn)), max_length_(max_length)
{
}

void ProgramReader::advance()
{
    if (pos_ < text_.size()) {
        if (text_[pos_] == '\n') {
            ++line_;
            column_ = 1;
        } else if (text_[pos_] == '\t') {
            column_ += 1; // a tab counts as one column, as editors report it
        } else {
            ++column_;
        }
        ++pos_;
    }
}

// Skips blanks and block comments; at the start of a statement also comment
// statements ("* ...;" and "%* ...;"). Returns false on an unclosed comment.
bool ProgramReader::skip_space_and_comments(bool at_statement_start)
{
    for (;;) {
        while (!at_end() && std::isspace(static_cast<unsigned char>(text_[pos_])))
            advance();
        if (at_end())
            return true;
        if (text_[pos_] == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
            int l = line_, c = column_;
            advance();
            advance();
            while (!at_end() &&
                   !(text_[pos_] == '*' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/'))
                advance();
            if (at_end()) {
                error_ = {kMsgUnclosedComment, l, c, {}};
                return false;
            }
            advance();
            advance();
            continue;
        }
        if (at_statement_start &&
            (text_[pos_] == '*' ||
             (text_[pos_] == '%' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*'))) {
            int l = line_, c = column_;
            while (!at_end() && text_[pos_] != ';')
                advance();
            if (at_end()) {
                error_ = {kMsgUnclosedCommentStatement, l, c, {}};
                return false;
            }
            advance();
            continue;
        }
        return true;
    }
}

void ProgramReader::note_unreplaced(int message, std::string_view name, int line, int column)
{
    for (Unreplaced& u : unreplaced_)
        if (u.message == message && u.name == name) {
            ++u.count;
            return;
        }
    unreplaced_.push_back({message, std::string(name), line, column, 1});
}

void ProgramReader::say_unreplaced()
{
    if (warn_)
        for (const Unreplaced& u : unreplaced_)
            warn_(u.message, u.name, u.line, u.column, u.count);
    unreplaced_.clear();
}

bool ProgramReader::next(VyrStatement& out)
{
    // Said when the statement has been read, however it ends.
    struct Say {
        ProgramReader& r;
        ~Say() { r.say_unreplaced(); }
    } say{*this};
    out = VyrStatement{};
    if (error_.message != 0)
        return false;
    if (!skip_space_and_comments(true))
        return false;
    if (at_end())
        return false;
    out.line = line_;
    out.column = column_;
    auto put = [&out](char ch, int l, int c) {
        out.text.push_back(ch);
        out.lines.push_back(l);
        out.columns.push_back(c);
    };
    auto substitute = [&](bool in_quotes) -> bool {
        // At '&': a reference when a name follows.
        if (!(pos_ + 1 < text_.size() && name_start(text_[pos_ + 1])))
            return false;
        int l = line_, c = column_;
        std::size_t start = pos_ + 1, end = start;
        while (end < text_.size() && name_char(text_[end]))
            ++end;
        std::string_view name = text_.substr(start, end - start);
        std::optional<std::string> value = lookup_ ? lookup_(name) : std::nullopt;
        if (!value) {
            note_unreplaced(kMsgUnresolvedMacro, name, l, c);
            return false; // kept as written
        }
        if (out.text.size() + value->size() > max_length_) {
            // Repeated references to long values would otherwise grow one
            // statement without bound.
            note_unreplaced(kMsgStatementTooLong, name, l, c);
            return false;
        }
        while (pos_ < end)
            advance();
        if (!at_end() && text_[pos_] == '.')
            advance(); // "&name." ends the reference
        for (char ch : *value) {
            if (in_quotes && ch == '\n')
                ch = ' ';
            put(ch, l, c);
        }
        return true;
    };
    bool closed = false;
    while (!at_end()) {
        char ch = text_[pos_];
        if (ch == ';') {
            advance();
            closed = true;
            break;
        }
        if (ch == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
            int l = line_, c = column_;
            if (!skip_space_and_comments(false))
                return false;
            put(' ', l, c);
            continue;
        }
        if (ch == '\'' || ch == '"') {
            int l = line_, c = column_;
            put(ch, line_, column_);
            advance();
            bool done = false;
            while (!at_end()) {
                char q = text_[pos_];
                if (q == ch) {
                    put(q, line_, column_);
                    advance();
                    if (!at_end() && text_[pos_] == ch) { // doubled quote: one quote character
                        put(ch, line_, column_);
                        advance();
                        continue;
                    }
                    done = true;
                    break;
                }
                if (q == '&' && ch == '"' && substitute(true))
                    continue;
                put(q, line_, column_);
                advance();
            }
            if (!done) {
                error_ = {kMsgUnclosedQuote, l, c, {}};
                return false;
            }
            continue;
        }
        if (ch == '&' && substitute(false))
            continue;
        put(ch, line_, column_);
        advance();
    }
    while (!out.text.empty() && std::isspace(static_cast<unsigned char>(out.text.back()))) {
        out.text.pop_back();
        out.lines.pop_back();
        out.columns.pop_back();
    }
    if (!closed) {
        int l = line_, c = column_;
        if (!out.lines.empty()) {
            l = out.lines.back();
            c = out.columns.back() + 1;
        }
        error_ = {kMsgMissingSemicolon, l, c, "statement"};
    }
    return true;
}

// ---------------------------------------------------------------------------

Token StatementScanner::next()
{
    Token t;
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
        ++pos_;
    t.offset = pos_;
    if (pos_ >= text_.size())
        return t;
    char ch = text_[pos_];
    std::size_t start = pos_;
    if (name_start(ch) || ch == '%') {
        ++pos_;
        while (pos_ < text_.size() && name_char(text_[pos_]))
            ++pos_;
        t.kind = Token::Name;
        t.raw = text_.substr(start, pos_ - start);
        t.text = upper(t.raw);
        return t;
    }
    if (std::isdigit(static_cast<unsigned char>(ch)) ||
        ((ch == '.' || ch == '-' || ch == '+') && pos_ + 1 < text_.size() &&
         std::isdigit(static_cast<unsigned char>(text_[pos_ + 1])))) {
        ++pos_;
        while (pos_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.'))
            ++pos_;
        t.kind = Token::Number;
        t.raw = t.text = text_.substr(start, pos_ - start);
        return t;
    }
    if (ch == '\'' || ch == '"') {
        ++pos_;
        while (pos_ < text_.size()) {
            if (text_[pos_] == ch) {
                if (pos_ + 1 < text_.size() && text_[pos_ + 1] == ch) {
                    t.text.push_back(ch);
                    pos_ += 2;
                    continue;
                }
                ++pos_;
                break;
            }
            t.text.push_back(text_[pos_++]);
        }
        t.kind = Token::String;
        t.raw = text_.substr(start, pos_ - start);
        return t;
    }
    ++pos_;
    t.kind = Token::Symbol;
    t.raw = t.text = std::string(1, ch);
    return t;
}

Token StatementScanner::peek()
{
    std::size_t save = pos_;
    Token t = next();
    pos_ = save;
    return t;
}

std::string StatementScanner::rest()
{
    std::size_t b = pos_;
    while (b < text_.size() && std::isspace(static_cast<unsigned char>(text_[b])))
        ++b;
    std::size_t e = text_.size();
    while (e > b && std::isspace(static_cast<unsigned char>(text_[e - 1])))
        --e;
    return text_.substr(b, e - b);
}

} // namespace vyr
