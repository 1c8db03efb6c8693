// T-SQL text: tokens and the cutting of a batch into statements.

#include "untSqlText.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace tds {

namespace {

bool IsIdentStart(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '#' || c >= 0x80;
}

bool IsIdentChar(unsigned char c)
{
    return IsIdentStart(c) || (c >= '0' && c <= '9') || c == '$' || c == '@';
}

std::string Upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return out;
}

std::string Excerpt(std::string_view s)
{
    std::string out(s.substr(0, 100));
    return out;
}

}  // namespace

std::string VariableLiteral(const TVariable& v)
{
    char buf[64];
    switch (v.Kind) {
    case 1: return std::to_string(v.Int);
    case 2:
        std::snprintf(buf, sizeof buf, "%.17g", v.Real);
        return buf;
    case 3: {
        std::string out = "'";
        for (char c : v.Bytes) {
            if (c == '\'') out.push_back('\'');
            out.push_back(c);
        }
        return out + "'";
    }
    case 4: {
        static const char* hex = "0123456789ABCDEF";
        std::string out = "X'";
        for (unsigned char c : v.Bytes) {
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
        return out + "'";
    }
    default: return "NULL";
    }
}

bool IsStatementKeyword(const std::string& u)
{
    static const std::set<std::string> words = {
        "SELECT", "INSERT", "UPDATE", "DELETE", "CREATE", "DROP", "ALTER", "TRUNCATE", "PRINT",
        "RAISERROR", "THROW", "BEGIN", "COMMIT", "ROLLBACK", "SAVE", "SET", "USE", "EXEC",
        "EXECUTE", "WAITFOR", "DECLARE", "IF", "WITH", "KILL", "MERGE", "GO"};
    return words.count(u) > 0;
}

bool Tokenize(std::string_view sql, std::vector<TToken>& tokens, TSqlError& error)
{
    tokens.clear();
    int line = 1;
    bool newline = true;
    size_t i = 0;
    const size_t n = sql.size();
    auto push = [&](TToken t) {
        t.Line = line;
        t.NewlineBefore = newline;
        newline = false;
        tokens.push_back(std::move(t));
    };
    // Text up to the closing delimiter, a doubled delimiter standing for
    // one; j moves past the closing one. An unclosed text is error 105.
    const auto scanDelimited = [&](size_t& j, char close, std::string& value, int startLine) {
        while (j < n) {
            if (sql[j] == close) {
                if (j + 1 < n && sql[j + 1] == close) { value.push_back(close); j += 2; continue; }
                ++j;
                return true;
            }
            if (sql[j] == '\n') ++line;
            value.push_back(sql[j]);
            ++j;
        }
        error = {105, 15, 1, "Unclosed quotation mark after the character string '" + Excerpt(value) + "'.", startLine};
        return false;
    };
    while (i < n) {
        const unsigned char c = sql[i];
        if (c == '\n') { ++line; newline = true; ++i; continue; }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') { ++i; continue; }
        if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            while (i < n && sql[i] != '\n') ++i;
            continue;
        }
        if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            // T-SQL block comments nest.
            int depth = 0;
            const int startLine = line;
            while (i < n) {
                if (sql[i] == '/' && i + 1 < n && sql[i + 1] == '*') { ++depth; i += 2; continue; }
                if (sql[i] == '*' && i + 1 < n && sql[i + 1] == '/') {
                    --depth; i += 2;
                    if (depth == 0) break;
                    continue;
                }
                if (sql[i] == '\n') { ++line; newline = true; }
                ++i;
            }
            if (depth != 0) {
                error = {113, 15, 1, "Missing end comment mark '*/'.", startLine};
                return false;
            }
            continue;
        }
        const int startLine = line;
        if (c == '\'' || ((c == 'N' || c == 'n') && i + 1 < n && sql[i + 1] == '\'')) {
            TToken t;
            t.Kind = TToken::String;
            t.National = c != '\'';
            size_t j = i + (t.National ? 2 : 1);
            if (!scanDelimited(j, '\'', t.Text, startLine))
                return false;
            const int endLine = line;
            line = startLine;
            push(std::move(t));
            line = endLine;
            i = j;
            continue;
        }
        if (c == '[' || c == '"') {
            size_t j = i + 1;
            TToken t;
            t.Kind = TToken::Quoted;
            if (!scanDelimited(j, c == '[' ? ']' : '"', t.Text, startLine))
                return false;
            const int endLine = line;
            line = startLine;
            push(std::move(t));
            line = endLine;
            i = j;
            continue;
        }
        if (c == '0' && i + 1 < n && (sql[i + 1] == 'x' || sql[i + 1] == 'X')) {
            size_t j = i + 2;
            while (j < n && std::isxdigit(static_cast<unsigned char>(sql[j]))) ++j;
            TToken t;
            t.Kind = TToken::Hex;
            t.Text = std::string(sql.substr(i + 2, j - i - 2));
            push(std::move(t));
            i = j;
            continue;
        }
        if ((c >= '0' && c <= '9') || (c == '.' && i + 1 < n && sql[i + 1] >= '0' && sql[i + 1] <= '9')) {
            size_t j = i;
            while (j < n && sql[j] >= '0' && sql[j] <= '9') ++j;
            if (j < n && sql[j] == '.') {
                ++j;
                while (j < n && sql[j] >= '0' && sql[j] <= '9') ++j;
            }
            if (j < n && (sql[j] == 'e' || sql[j] == 'E')) {
                size_t k = j + 1;
                if (k < n && (sql[k] == '+' || sql[k] == '-')) ++k;
                if (k < n && sql[k] >= '0' && sql[k] <= '9') {
                    while (k < n && sql[k] >= '0' && sql[k] <= '9') ++k;
                    j = k;
                }
            }
            TToken t;
            t.Kind = TToken::Number;
            t.Text = std::string(sql.substr(i, j - i));
            push(std::move(t));
            i = j;
            continue;
        }
        if (c == '@') {
            size_t j = i + 1;
            if (j < n && sql[j] == '@') ++j;
            while (j < n && IsIdentChar(static_cast<unsigned char>(sql[j]))) ++j;
            TToken t;
            t.Kind = TToken::Variable;
            t.Text = std::string(sql.substr(i, j - i));
            t.Upper = Upper(t.Text);
            push(std::move(t));
            i = j;
            continue;
        }
        if (IsIdentStart(c)) {
            size_t j = i + 1;
            while (j < n && IsIdentChar(static_cast<unsigned char>(sql[j]))) ++j;
            TToken t;
            t.Kind = TToken::Word;
            t.Text = std::string(sql.substr(i, j - i));
            t.Upper = Upper(t.Text);
            push(std::move(t));
            i = j;
            continue;
        }
        static const char* const twoChar[] = {"<>", "<=", ">=", "!=", "!<", "!>", "||", "+=", "-=", "*=", "/=", "::"};
        TToken t;
        t.Kind = TToken::Symbol;
        t.Text = std::string(1, char(c));
        for (const char* op : twoChar) {
            if (i + 1 < n && sql[i] == op[0] && sql[i + 1] == op[1]) {
                t.Text = op;
                break;
            }
        }
        i += t.Text.size();
        push(std::move(t));
    }
    return true;
}

std::vector<TStatementRange> SplitStatements(const std::vector<TToken>& tokens)
{
    std::vector<TStatementRange> out;
    size_t start = 0;
    int depth = 0;
    // What the statement has seen so far, for the line-break rule.
    std::string head;       // first word of the statement (of the IF body once it began)
    bool ifWaitingBody = false;
    bool sawSelectOrValues = false, sawSet = false, cteMainSeen = false;
    auto reset = [&]() {
        head.clear();
        ifWaitingBody = false;
        sawSelectOrValues = sawSet = cteMainSeen = false;
    };
    auto close = [&](size_t end) {
        if (end > start)
            out.push_back({start, end});
        start = end;
        reset();
    };
    static const std::set<std::string> continuing = {
        "UNION", "ALL", "EXCEPT", "INTERSECT", "AS", "THEN", "ELSE", "AND", "OR", "NOT", "IN",
        "EXISTS", "FOR", "BY", "FROM", "INTO", "WHERE", "TABLE", "VIEW", "INDEX",
        "IS", "LIKE", "BETWEEN", "CASE", "WHEN"};
    int block = 0, cases = 0;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const TToken& t = tokens[i];
        if (t.Is("CASE")) ++cases;
        if (t.Is("END")) {
            if (cases > 0) --cases;
            else if (block > 0) { --block; continue; }
        }
        if (t.Is("BEGIN") && !(i + 1 < tokens.size() && (tokens[i + 1].Is("TRAN") || tokens[i + 1].Is("TRANSACTION") ||
                                                           tokens[i + 1].Is("DISTRIBUTED")))) {
            if (block == 0 && i != start && depth == 0) {
                // A block after a statement starts a new statement, unless it is the
                // body of IF or ELSE, or the CATCH part after END TRY.
                const bool body = ifWaitingBody || tokens[i - 1].Is("ELSE") ||
                                  (tokens[i - 1].Is("TRY") && i >= 2 && tokens[i - 2].Is("END"));
                if (!body && t.NewlineBefore) {
                    close(i);
                    head = "BEGIN";
                }
            }
            if (block > 0 || i != start) { ++block; ifWaitingBody = false; continue; }
            ++block;
        }
        if (block > 0 && i != start) {
            if (t.IsSym("(")) ++depth;
            if (t.IsSym(")") && depth > 0) --depth;
            continue;
        }
        if (t.IsSym(";") && depth == 0) {
            close(i);
            start = i + 1;
            continue;
        }
        if (t.IsSym("(")) ++depth;
        if (t.IsSym(")") && depth > 0) --depth;
        if (t.Kind == TToken::Word && depth == 0) {
            const bool keyword = IsStatementKeyword(t.Upper);
            if (i == start) {
                head = t.Upper;
                ifWaitingBody = head == "IF";
                continue;
            }
            if (!keyword)
                goto track;
            {
                const TToken& prev = tokens[i - 1];
                bool suppress = !t.NewlineBefore;
                if (prev.Kind == TToken::Symbol && !prev.IsSym(")"))
                    suppress = true;
                if (prev.Kind == TToken::Word && continuing.count(prev.Upper))
                    suppress = true;
                if (ifWaitingBody) {
                    // The first statement keyword after IF's condition starts its body.
                    ifWaitingBody = false;
                    head = t.Upper;
                    continue;
                }
                if (head == "INSERT" && (t.Upper == "SELECT" || t.Upper == "WITH" || t.Upper == "EXEC" || t.Upper == "EXECUTE") && !sawSelectOrValues)
                    suppress = true;
                if (head == "UPDATE" && t.Upper == "SET" && !sawSet)
                    suppress = true;
                if (head == "WITH" && !cteMainSeen &&
                    (t.Upper == "SELECT" || t.Upper == "INSERT" || t.Upper == "UPDATE" || t.Upper == "DELETE"))
                    suppress = true;
                if (head == "SET" && prev.Kind == TToken::Word && (prev.Upper == "LEVEL"))
                    suppress = true;
                if (tokens[i - 1].Is("ELSE") || tokens[i - 1].Is("BEGIN"))
                    suppress = true;
                if (!suppress) {
                    close(i);
                    head = t.Upper;
                    ifWaitingBody = head == "IF";
                    continue;
                }
            }
        track:
            if (t.Upper == "SELECT" || t.Upper == "VALUES") sawSelectOrValues = true;
            if (t.Upper == "SET") sawSet = true;
            if (head == "WITH" && (t.Upper == "SELECT" || t.Upper == "INSERT" || t.Upper == "UPDATE" || t.Upper == "DELETE"))
                cteMainSeen = true;
            if (ifWaitingBody && keyword) {
                ifWaitingBody = false;
                head = t.Upper;
            }
        }
    }
    close(tokens.size());
    return out;
}

std::string Render(const std::vector<TToken>& tokens, size_t first, size_t last)
{
    std::string out;
    for (size_t i = first; i < last && i < tokens.size(); ++i) {
        const TToken& t = tokens[i];
        std::string piece;
        switch (t.Kind) {
        case TToken::Quoted: piece = "[" + t.Text + "]"; break;
        case TToken::String: piece = (t.National ? "N'" : "'") + t.Text + "'"; break;
        case TToken::Hex: piece = "0x" + t.Text; break;
        default: piece = t.Text;
        }
        if (!out.empty()) {
            const char a = out.back();
            const bool wordish = std::isalnum(static_cast<unsigned char>(a)) || a == ']' || a == '\'' || a == '_';
            const bool nextWordish = t.Kind != TToken::Symbol;
            if (wordish && nextWordish)
                out.push_back(' ');
        }
        out += piece;
    }
    return out;
}

}  // namespace tds
