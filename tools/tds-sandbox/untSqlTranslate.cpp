// Translation of one T-SQL statement into SQLite's dialect: names, literals,
// TOP and OFFSET, CAST/CONVERT, T-SQL built-ins, divide-by-zero checks, the
// catalogue views, CREATE TABLE details, and type hints for the select list.

#include "untSqlText.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace tds {

namespace {

std::string Upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return out;
}

}  // namespace

namespace {

class TTranslator {
public:
    TTranslator(const std::vector<TToken>& tokens, const TTranslateContext& ctx, bool ddl)
        : T(tokens), Ctx(ctx), Ddl(ddl) {}

    const std::vector<TToken>& T;
    const TTranslateContext& Ctx;
    bool Ddl;
    bool Failed = false;
    TSqlError Error;
    int Depth = 0;

    void Fail(int number, int severity, const std::string& message, int line)
    {
        if (!Failed) {
            Failed = true;
            Error = {number, severity, 1, message, line};
        }
    }

    size_t MatchParen(size_t open, size_t last) const
    {
        int depth = 0;
        for (size_t i = open; i < last; ++i) {
            if (T[i].IsSym("(")) ++depth;
            else if (T[i].IsSym(")") && --depth == 0) return i;
        }
        return last;
    }

    size_t MatchCase(size_t i, size_t last) const
    {
        int depth = 0;
        for (; i < last; ++i) {
            if (T[i].Is("CASE")) ++depth;
            else if (T[i].Is("END") && --depth == 0) return i;
        }
        return last;
    }

    // End (exclusive) of one term starting at j: unary signs, then a primary.
    size_t TermEnd(size_t j, size_t last) const
    {
        while (j < last && (T[j].IsSym("-") || T[j].IsSym("+") || T[j].IsSym("~"))) ++j;
        if (j >= last) return last;
        if (T[j].IsSym("(")) return std::min(MatchParen(j, last) + 1, last);
        if (T[j].Is("CASE")) return std::min(MatchCase(j, last) + 1, last);
        if ((T[j].Kind == TToken::Word || T[j].Kind == TToken::Quoted)) {
            size_t k = j + 1;
            if (T[j].Kind == TToken::Word && k < last && T[k].IsSym("("))
                return std::min(MatchParen(k, last) + 1, last);
            while (k + 1 < last && T[k].IsSym(".") &&
                   (T[k + 1].Kind == TToken::Word || T[k + 1].Kind == TToken::Quoted)) {
                k += 2;
                if (T[k - 1].Kind == TToken::Word && k < last && T[k].IsSym("("))
                    return std::min(MatchParen(k, last) + 1, last);
            }
            return k;
        }
        return j + 1;
    }

    const TVariable* Variable(const TToken& t) const
    {
        if (t.Kind != TToken::Variable || !Ctx.Variables) return nullptr;
        std::string key = t.Text;
        for (char& c : key)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        const auto it = Ctx.Variables->find(key);
        return it == Ctx.Variables->end() ? nullptr : &it->second;
    }

    static std::string QuoteName(const std::string& name)
    {
        std::string out = "\"";
        for (char c : name) {
            if (c == '"') out.push_back('"');
            out.push_back(c);
        }
        return out + "\"";
    }

    static std::string QuoteString(const std::string& value)
    {
        std::string out = "'";
        for (char c : value) {
            if (c == '\'') out.push_back('\'');
            out.push_back(c);
        }
        return out + "'";
    }

    // Splits [first, last) at top-level commas.
    std::vector<std::pair<size_t, size_t>> SplitCommas(size_t first, size_t last) const
    {
        std::vector<std::pair<size_t, size_t>> parts;
        int depth = 0;
        size_t s = first;
        for (size_t i = first; i < last; ++i) {
            if (T[i].IsSym("(")) ++depth;
            else if (T[i].IsSym(")")) --depth;
            else if (T[i].IsSym(",") && depth == 0) {
                parts.emplace_back(s, i);
                s = i + 1;
            }
        }
        parts.emplace_back(s, last);
        return parts;
    }

    std::string TypeText(size_t first, size_t last) const
    {
        return Render(T, first, last);
    }

    static bool IsCharType(const std::string& typeText)
    {
        std::string u = Upper(typeText);
        return u.rfind("VARCHAR", 0) == 0 || u.rfind("NVARCHAR", 0) == 0 || u.rfind("CHAR", 0) == 0 ||
               u.rfind("NCHAR", 0) == 0 || u == "TEXT" || u == "NTEXT" || u == "SYSNAME";
    }

    // sys.tables, INFORMATION_SCHEMA.COLUMNS ...: the session's catalogue views,
    // named "sys.tables" and so on. Empty when tokens at i are no such name.
    std::string CatalogView(size_t i, size_t last) const
    {
        if (i + 2 >= last || !T[i + 1].IsSym(".") || (T[i + 2].Kind != TToken::Word && T[i + 2].Kind != TToken::Quoted))
            return {};
        std::string schema = Upper(T[i].Text);
        if (schema != "SYS" && schema != "INFORMATION_SCHEMA") return {};
        std::string name = Upper(T[i + 2].Text);
        static const std::set<std::string> known = {"SYS.TABLES", "SYS.VIEWS", "SYS.OBJECTS", "SYS.COLUMNS", "SYS.SCHEMAS",
                                                    "SYS.DATABASES", "INFORMATION_SCHEMA.TABLES", "INFORMATION_SCHEMA.COLUMNS"};
        const std::string full = schema + "." + name;
        if (!known.count(full)) return {};
        std::string lower = full;
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        return lower;
    }

    // Emits "SELECT [DISTINCT|ALL]" and consumes TOP; returns the index after them.
    size_t EmitSelectHead(size_t i, size_t last, std::string& out, std::string& limit)
    {
        out += "SELECT";
        ++i;
        if (i < last && (T[i].Is("DISTINCT") || T[i].Is("ALL"))) {
            out += " " + T[i].Upper;
            ++i;
        }
        if (i < last && T[i].Is("TOP")) {
            ++i;
            size_t exprFirst = i, exprLast = i + 1;
            if (i < last && T[i].IsSym("(")) {
                const size_t close = MatchParen(i, last);
                exprFirst = i + 1;
                exprLast = close;
                i = close + 1;
            } else {
                i = i + 1;
            }
            if (i < last && T[i].Is("PERCENT")) {
                Fail(102, 15, "Incorrect syntax near 'PERCENT'.", T[i].Line);
                return i;
            }
            if (i < last && T[i].Is("WITH") && i + 1 < last && T[i + 1].Is("TIES"))
                i += 2;
            limit = Emit(exprFirst, std::min(exprLast, last));
        }
        return i;
    }

    // A T-SQL type for a select-list expression whose type the text shows.
    std::string HintFor(size_t first, size_t last) const
    {
        if (first >= last) return {};
        const TToken& t = T[first];
        const size_t n = last - first;
        if (t.Kind == TToken::Word && n >= 3 && T[first + 1].IsSym("(") && MatchParen(first + 1, last) == last - 1) {
            if (t.Upper == "CAST" || t.Upper == "TRY_CAST") {
                int depth = 0;
                size_t as = last;
                for (size_t i = first + 2; i < last - 1; ++i) {
                    if (T[i].IsSym("(")) ++depth;
                    else if (T[i].IsSym(")")) --depth;
                    else if (depth == 0 && T[i].Is("AS")) as = i;
                }
                if (as < last) return TypeText(as + 1, last - 1);
            }
            if (t.Upper == "CONVERT" || t.Upper == "TRY_CONVERT") {
                const auto parts = SplitCommas(first + 2, last - 1);
                if (parts.size() >= 2) return TypeText(parts[0].first, parts[0].second);
            }
            if (n == 3) {
                if (t.Upper == "GETDATE" || t.Upper == "GETUTCDATE") return "datetime";
                if (t.Upper == "SYSDATETIME" || t.Upper == "SYSUTCDATETIME") return "datetime2(7)";
                if (t.Upper == "NEWID") return "uniqueidentifier";
                if (t.Upper == "DB_NAME" || t.Upper == "SUSER_SNAME" || t.Upper == "SUSER_NAME" ||
                    t.Upper == "USER_NAME" || t.Upper == "HOST_NAME" || t.Upper == "APP_NAME")
                    return "nvarchar(128)";
            }
            if (t.Upper == "COUNT") return "int";
            if (t.Upper == "ERROR_MESSAGE") return "nvarchar(4000)";
            if (t.Upper == "ERROR_PROCEDURE") return "nvarchar(128)";
            if (t.Upper == "ERROR_NUMBER" || t.Upper == "ERROR_SEVERITY" || t.Upper == "ERROR_STATE" || t.Upper == "ERROR_LINE")
                return "int";
            if (t.Upper == "XACT_STATE") return "smallint";
            if (t.Upper == "DATEADD") return "datetime";
            if (t.Upper == "DATEDIFF" || t.Upper == "DATEPART") return "int";
            if (t.Upper == "DATENAME") return "nvarchar(30)";
            if (t.Upper == "COUNT_BIG") return "bigint";
            if (t.Upper == "LEN" || t.Upper == "DATALENGTH" || t.Upper == "CHARINDEX") return "int";
            return {};
        }
        if (n == 1) {
            if (t.Is("CURRENT_TIMESTAMP")) return "datetime";
            if (t.Kind == TToken::String) {
                const size_t len = std::max<size_t>(1, t.Text.size());
                if (t.National) return "nvarchar(" + std::to_string(std::min<size_t>(len, 4000)) + ")";
                return "varchar(" + std::to_string(std::min<size_t>(len, 8000)) + ")";
            }
            if (t.Kind == TToken::Number) return NumberType(t.Text);
            if (t.Kind == TToken::Variable) {
                if (t.Upper == "@@SPID") return "smallint";
                if (t.Upper == "@@VERSION") return "nvarchar(300)";
                if (t.Upper == "@@SERVERNAME" || t.Upper == "@@SERVICENAME" || t.Upper == "@@LANGUAGE") return "nvarchar(128)";
                if (t.Upper == "@@ROWCOUNT" || t.Upper == "@@TRANCOUNT" || t.Upper == "@@ERROR") return "int";
                if (t.Upper == "@@IDENTITY") return "numeric(38,0)";
                if (const TVariable* var = Variable(t)) return var->TypeText;
            }
        }
        if (n == 2 && T[first].IsSym("-") && T[first + 1].Kind == TToken::Number)
            return NumberType(T[first + 1].Text);
        return {};
    }

    static std::string NumberType(const std::string& text)
    {
        if (text.find_first_of("eE") != std::string::npos) return "float";
        const auto dot = text.find('.');
        if (dot == std::string::npos) {
            // Integer literals: int when they fit, else numeric of their width.
            std::string digits = text;
            digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
            if (digits.size() < 10 || (digits.size() == 10 && digits <= "2147483647")) return "int";
            return "numeric(" + std::to_string(std::min<size_t>(38, digits.size())) + ",0)";
        }
        std::string intPart = text.substr(0, dot);
        intPart.erase(0, intPart.find_first_not_of('0'));
        const size_t scale = text.size() - dot - 1;
        const size_t precision = std::max<size_t>(intPart.size() + scale, 1);
        return "numeric(" + std::to_string(std::min<size_t>(38, std::max(precision, scale))) + "," +
               std::to_string(std::min<size_t>(38, scale)) + ")";
    }

    // Emits the outer select list with name and type hints.
    std::string EmitSelectList(size_t first, size_t last)
    {
        std::string out;
        bool firstItem = true;
        for (auto [s, e] : SplitCommas(first, last)) {
            if (!firstItem) out += ", ";
            firstItem = false;
            if (s >= e) { out += Emit(s, e); continue; }
            std::string alias;
            bool hasAlias = false;
            size_t xs = s, xe = e;
            if (e - s >= 3 && (T[s].Kind == TToken::Word || T[s].Kind == TToken::Quoted) && T[s + 1].IsSym("=")) {
                alias = T[s].Text;
                hasAlias = true;
                xs = s + 2;
            } else if (e - s >= 3 && T[e - 2].Is("AS") &&
                       (T[e - 1].Kind == TToken::Word || T[e - 1].Kind == TToken::Quoted || T[e - 1].Kind == TToken::String)) {
                alias = T[e - 1].Text;
                hasAlias = true;
                xe = e - 2;
            } else if (e - s >= 2 && (T[e - 1].Kind == TToken::Word || T[e - 1].Kind == TToken::Quoted) &&
                       !T[e - 1].Is("END") && !T[e - 2].IsSym(".") &&
                       (T[e - 2].Kind != TToken::Symbol || T[e - 2].IsSym(")")) &&
                       !(T[e - 2].Kind == TToken::Word && (T[e - 2].Is("DISTINCT") || T[e - 2].Is("ALL")))) {
                alias = T[e - 1].Text;
                hasAlias = true;
                xe = e - 1;
            }
            const std::string expr = Emit(xs, xe);
            bool columnRef = !hasAlias;
            for (size_t i = xs; i < xe && columnRef; ++i) {
                const bool nameSlot = (i - xs) % 2 == 0;
                columnRef = nameSlot ? (T[i].Kind == TToken::Word || T[i].Kind == TToken::Quoted || T[i].IsSym("*"))
                                     : T[i].IsSym(".");
            }
            if (columnRef && xe > xs && T[xs].Kind == TToken::Word && xe - xs == 1 &&
                (T[xs].Upper == "NULL" || T[xs].Upper == "CURRENT_TIMESTAMP"))
                columnRef = false;
            if (columnRef) {
                out += expr;
                continue;
            }
            const std::string hint = HintFor(xs, xe);
            std::string name = hasAlias ? alias : std::string(kNoName);
            if (!hint.empty()) {
                if (!hasAlias) name.clear();
                name += kHintSeparator;
                name += hint;
            }
            out += expr + " AS " + QuoteName(name);
        }
        return out;
    }

    std::string Emit(size_t first, size_t last, bool hints = false)
    {
        // Nested CAST, CONVERT and divisions recurse; a hostile batch must not overflow the stack.
        struct TDepth {
            int& D;
            ~TDepth() { --D; }
        } depthGuard{++Depth};
        if (Depth > 200) {
            Fail(191, 15, "Some part of your SQL statement is nested too deeply. Rewrite the query or break it up into smaller queries.",
                 first < last ? T[first].Line : 1);
            return {};
        }
        std::string out;
        std::vector<std::pair<int, std::string>> limits;   // depth, count
        int depth = 0;
        bool lastWasCharCast = false;
        bool hintsDone = !hints;
        auto space = [&]() {
            if (!out.empty() && out.back() != ' ' && out.back() != '(' && out.back() != '.') out.push_back(' ');
        };
        for (size_t i = first; i < last && !Failed;) {
            const TToken& t = T[i];
            const bool charCast = lastWasCharCast;
            lastWasCharCast = false;
            switch (t.Kind) {
            case TToken::Word: {
                const std::string& u = t.Upper;
                if (!t.Text.empty() && t.Text[0] == '#') {
                    space();
                    out += QuoteName(t.Text);
                    ++i;
                    continue;
                }
                const bool call = i + 1 < last && T[i + 1].IsSym("(");
                if ((u == "CAST" || u == "TRY_CAST") && call) {
                    const size_t close = MatchParen(i + 1, last);
                    int d = 0;
                    size_t as = close;
                    for (size_t k = i + 2; k < close; ++k) {
                        if (T[k].IsSym("(")) ++d;
                        else if (T[k].IsSym(")")) --d;
                        else if (d == 0 && T[k].Is("AS")) as = k;
                    }
                    if (as >= close) {
                        Fail(102, 15, "Incorrect syntax near '" + (close < last ? std::string(")") : t.Text) + "'.", t.Line);
                        break;
                    }
                    const std::string type = TypeText(as + 1, close);
                    space();
                    out += (u == "CAST" ? "tds_cast(" : "tds_try_cast(") + Emit(i + 2, as) + ", " + QuoteString(type) + ")";
                    lastWasCharCast = IsCharType(type);
                    i = close + 1;
                    continue;
                }
                if ((u == "CONVERT" || u == "TRY_CONVERT") && call) {
                    const size_t close = MatchParen(i + 1, last);
                    const auto parts = SplitCommas(i + 2, close);
                    if (parts.size() < 2) {
                        Fail(102, 15, "Incorrect syntax near ')'.", t.Line);
                        break;
                    }
                    const std::string type = TypeText(parts[0].first, parts[0].second);
                    space();
                    out += (u == "CONVERT" ? "tds_cast(" : "tds_try_cast(") + Emit(parts[1].first, parts[1].second) + ", " + QuoteString(type) + ")";
                    lastWasCharCast = IsCharType(type);
                    i = close + 1;
                    continue;
                }
                if ((u == "DATEADD" || u == "DATEDIFF" || u == "DATEPART" || u == "DATENAME") && call) {
                    const size_t close = MatchParen(i + 1, last);
                    const auto parts = SplitCommas(i + 2, close);
                    space();
                    out += "tds_" + std::string(u == "DATEADD" ? "dateadd" : u == "DATEDIFF" ? "datediff" : u == "DATEPART" ? "datepart" : "datename") + "(";
                    for (size_t p = 0; p < parts.size(); ++p) {
                        if (p) out += ", ";
                        if (p == 0) out += QuoteString(Upper(Render(T, parts[p].first, parts[p].second)));
                        else out += Emit(parts[p].first, parts[p].second);
                    }
                    out += ")";
                    i = close + 1;
                    continue;
                }
                if (u == "SELECT") {
                    space();
                    std::string limit;
                    i = EmitSelectHead(i, last, out, limit);
                    if (!limit.empty()) limits.emplace_back(depth, limit);
                    if (!hintsDone && depth == 0) {
                        hintsDone = true;
                        // The select list runs to the first clause word at this depth.
                        static const std::set<std::string> ends = {"FROM", "INTO", "WHERE", "GROUP", "HAVING", "ORDER",
                                                                   "UNION", "EXCEPT", "INTERSECT", "OPTION", "FOR", "WINDOW"};
                        int d = 0;
                        size_t k = i;
                        for (; k < last; ++k) {
                            if (T[k].IsSym("(")) ++d;
                            else if (T[k].IsSym(")")) { if (--d < 0) break; }
                            else if (d == 0 && T[k].Kind == TToken::Word && ends.count(T[k].Upper)) break;
                        }
                        out += " " + EmitSelectList(i, k);
                        i = k;
                    }
                    continue;
                }
                if (u == "DBO" && i + 1 < last && T[i + 1].IsSym(".")) { i += 2; continue; }
                if (const std::string view = CatalogView(i, last); !view.empty()) {
                    space();
                    out += QuoteName(view);
                    i += 3;
                    continue;
                }
                // T-SQL functions that SQLite knows under another name.
                if (call && (u == "CEILING" || u == "STRING_AGG" || u == "ATN2" ||
                             (u == "LOG" && SplitCommas(i + 2, MatchParen(i + 1, last)).size() == 1))) {
                    space();
                    out += u == "CEILING" ? "ceil" : u == "STRING_AGG" ? "group_concat" : u == "ATN2" ? "atan2" : "ln";
                    ++i;
                    continue;
                }
                // T-SQL functions whose names are SQLite keywords.
                if (call && (u == "ISNULL" || u == "LEFT" || u == "RIGHT")) {
                    space();
                    out += "tds_" + t.Text;
                    ++i;
                    continue;
                }
                if (call && i + 2 < last && T[i + 2].IsSym(")") &&
                    (u == "ERROR_MESSAGE" || u == "ERROR_NUMBER" || u == "ERROR_SEVERITY" || u == "ERROR_STATE" ||
                     u == "ERROR_LINE" || u == "ERROR_PROCEDURE" || u == "XACT_STATE")) {
                    // The error that the enclosing CATCH block handles.
                    space();
                    const TSqlError* e = Ctx.Caught;
                    if (u == "XACT_STATE") out += Ctx.TranCount > 0 ? "1" : "0";
                    else if (!e || u == "ERROR_PROCEDURE") out += "NULL";
                    else if (u == "ERROR_MESSAGE") out += QuoteString(e->Message);
                    else if (u == "ERROR_NUMBER") out += std::to_string(e->Number);
                    else if (u == "ERROR_SEVERITY") out += std::to_string(e->Severity);
                    else if (u == "ERROR_STATE") out += std::to_string(e->State);
                    else out += std::to_string(e->Line);
                    i += 3;
                    continue;
                }
                if (u == "SCOPE_IDENTITY" && call) {
                    space();
                    out += "last_insert_rowid";
                    ++i;
                    continue;
                }
                if (u == "CURRENT_TIMESTAMP") {
                    space();
                    out += "GETDATE()";
                    ++i;
                    continue;
                }
                if (u == "WITH" && call && i + 2 < last && T[i + 2].Kind == TToken::Word &&
                    (T[i + 2].Upper == "NOLOCK" || T[i + 2].Upper == "ROWLOCK" || T[i + 2].Upper == "UPDLOCK" ||
                     T[i + 2].Upper == "HOLDLOCK" || T[i + 2].Upper == "TABLOCK" || T[i + 2].Upper == "TABLOCKX" ||
                     T[i + 2].Upper == "READUNCOMMITTED" || T[i + 2].Upper == "READPAST" || T[i + 2].Upper == "XLOCK")) {
                    i = MatchParen(i + 1, last) + 1;
                    continue;
                }
                if (Ddl && (u == "CLUSTERED" || u == "NONCLUSTERED")) { ++i; continue; }
                if (Ddl && u == "DEFAULT" && i + 2 < last && T[i + 1].Kind == TToken::Word && T[i + 2].IsSym("(")) {
                    // DEFAULT GETDATE(): SQLite wants an expression default in parentheses.
                    const size_t end = TermEnd(i + 1, last);
                    space();
                    out += "DEFAULT (" + Emit(i + 1, end) + ")";
                    i = end;
                    continue;
                }
                if (u == "COLLATE" && i + 1 < last && T[i + 1].Kind == TToken::Word && T[i + 1].Upper != "NOCASE" &&
                    T[i + 1].Upper != "BINARY" && T[i + 1].Upper != "RTRIM") {
                    space();
                    out += T[i + 1].Upper.find("_CS_") != std::string::npos ? "COLLATE BINARY" : "COLLATE NOCASE";
                    i += 2;
                    continue;
                }
                // ORDER BY ... OFFSET n ROWS [FETCH NEXT m ROWS ONLY]
                if (u == "OFFSET" && i > first) {
                    size_t k = i + 1;
                    while (k < last && !T[k].Is("ROWS") && !T[k].Is("ROW")) ++k;
                    if (k < last) {
                        const std::string offset = Emit(i + 1, k);
                        std::string count = "-1";
                        size_t end = k + 1;
                        if (end < last && T[end].Is("FETCH")) {
                            size_t m = end + 2, n = m;
                            while (n < last && !T[n].Is("ROWS") && !T[n].Is("ROW")) ++n;
                            count = Emit(m, n);
                            end = n + 1;
                            if (end < last && T[end].Is("ONLY")) ++end;
                        }
                        out += " LIMIT " + count + " OFFSET " + offset;
                        i = end;
                        continue;
                    }
                }
                if (Ddl && u == "MAX" && i > first && T[i - 1].IsSym("(") && i + 1 < last && T[i + 1].IsSym(")")) {
                    out += "2147483647";
                    ++i;
                    continue;
                }
                if (i + 3 < last && T[i + 1].IsSym(".") && !CatalogView(i + 2, last).empty()) { i += 2; continue; }
                // db.schema.name and db..name: the database part is the current one.
                if (i + 2 < last && T[i + 1].IsSym(".") &&
                    ((T[i + 2].IsSym(".")) || (T[i + 2].Is("DBO") && i + 3 < last && T[i + 3].IsSym(".")))) {
                    i += T[i + 2].IsSym(".") ? 3 : 4;
                    continue;
                }
                space();
                out += t.Text;
                ++i;
                continue;
            }
            case TToken::Quoted: {
                if (Upper(t.Text) == "DBO" && i + 1 < last && T[i + 1].IsSym(".")) { i += 2; continue; }
                if (const std::string view = CatalogView(i, last); !view.empty()) {
                    space();
                    out += QuoteName(view);
                    i += 3;
                    continue;
                }
                if (i + 2 < last && T[i + 1].IsSym(".") &&
                    (T[i + 2].IsSym(".") || ((T[i + 2].Is("DBO") || (T[i + 2].Kind == TToken::Quoted && Upper(T[i + 2].Text) == "DBO")) &&
                                             i + 3 < last && T[i + 3].IsSym(".")))) {
                    i += T[i + 2].IsSym(".") ? 3 : 4;
                    continue;
                }
                space();
                out += QuoteName(t.Text);
                ++i;
                continue;
            }
            case TToken::String:
                space();
                out += QuoteString(t.Text);
                ++i;
                continue;
            case TToken::Number:
                space();
                if (t.Text.find('.') != std::string::npos && t.Text.find_first_of("eE") == std::string::npos &&
                    t.Text.size() > 16)
                    out += QuoteString(t.Text);   // beyond double precision: keep every digit
                else
                    out += t.Text;
                ++i;
                continue;
            case TToken::Hex: {
                space();
                std::string digits = t.Text;
                if (digits.size() % 2) digits.insert(digits.begin(), '0');
                out += "X'" + digits + "'";
                ++i;
                continue;
            }
            case TToken::Variable: {
                const std::string& u = t.Upper;
                space();
                if (u == "@@VERSION") out += "tds_version()";
                else if (u == "@@SPID") out += std::to_string(Ctx.Spid);
                else if (u == "@@ROWCOUNT") out += std::to_string(Ctx.RowCount);
                else if (u == "@@TRANCOUNT") out += std::to_string(Ctx.TranCount);
                else if (u == "@@ERROR") out += std::to_string(Ctx.LastError);
                else if (u == "@@IDENTITY") out += "last_insert_rowid()";
                else if (u == "@@SERVERNAME") out += QuoteString(Ctx.ServerName);
                else if (u == "@@SERVICENAME") out += "'MSSQLSERVER'";
                else if (u == "@@LANGUAGE") out += "'us_english'";
                else if (u == "@@MAX_PRECISION") out += "38";
                else if (u == "@@DATEFIRST") out += "7";
                else if (u == "@@LOCK_TIMEOUT") out += "-1";
                else if (u == "@@NESTLEVEL" || u == "@@OPTIONS") out += "0";
                else if (u == "@@TEXTSIZE") out += "2147483647";
                else if (const TVariable* var = Variable(t)) {
                    // A typed value keeps its T-SQL type for the result column.
                    out += VariableLiteral(*var);
                }
                else {
                    Fail(137, 15, "Must declare the scalar variable \"" + t.Text + "\".", t.Line);
                }
                ++i;
                continue;
            }
            case TToken::Symbol: {
                const std::string& s = t.Text;
                if (s == "(") {
                    // Table hints without WITH: t (NOLOCK)
                    if (i + 2 < last && T[i + 1].Is("NOLOCK") && T[i + 2].IsSym(")")) { i += 3; continue; }
                    ++depth;
                    space();
                    out += "(";
                    ++i;
                    continue;
                }
                if (s == ")") {
                    while (!limits.empty() && limits.back().first == depth) {
                        out += " LIMIT " + limits.back().second;
                        limits.pop_back();
                    }
                    --depth;
                    out += ")";
                    ++i;
                    continue;
                }
                if (s == "/" || s == "%") {
                    const size_t end = TermEnd(i + 1, last);
                    out += " " + s + " tds_nz(" + Emit(i + 1, end) + ")";
                    i = end;
                    continue;
                }
                if (s == "+") {
                    auto textVar = [&](size_t k) {
                        const TVariable* var = Variable(T[k]);
                        return var && (var->Kind == 3 || IsCharType(var->TypeText));
                    };
                    const bool prevString = i > first && (T[i - 1].Kind == TToken::String || textVar(i - 1));
                    const bool nextString = i + 1 < last && (T[i + 1].Kind == TToken::String || textVar(i + 1));
                    bool nextCharCast = false;
                    if (i + 2 < last && (T[i + 1].Is("CAST") || T[i + 1].Is("CONVERT")) && T[i + 2].IsSym("(")) {
                        const std::string hint = HintFor(i + 1, MatchParen(i + 2, last) + 1);
                        nextCharCast = IsCharType(hint);
                    }
                    if (prevString || nextString || charCast || nextCharCast) {
                        out += " ||";
                        ++i;
                        continue;
                    }
                }
                if (s == "," || s == ".") {
                    out += s;
                    ++i;
                    continue;
                }
                space();
                out += s;
                ++i;
                continue;
            }
            }
        }
        while (!limits.empty()) {
            out += " LIMIT " + limits.back().second;
            limits.pop_back();
        }
        return out;
    }
};

// CREATE TABLE: IDENTITY columns become SQLite rowid aliases; storage clauses go.
std::string TranslateCreateTable(TTranslator& tr, size_t first, size_t last)
{
    const auto& T = tr.T;
    size_t open = first;
    while (open < last && !T[open].IsSym("(")) ++open;
    if (open >= last) return tr.Emit(first, last);
    const size_t close = tr.MatchParen(open, last);
    auto parts = tr.SplitCommas(open + 1, close);
    // Which column carries IDENTITY?
    std::string identityCol;
    for (auto [s, e] : parts)
        for (size_t i = s; i < e; ++i)
            if (T[i].Is("IDENTITY") && s < e) identityCol = Upper(T[s].Text);
    std::string out = tr.Emit(first, open) + " (";
    bool firstPart = true;
    for (auto [s, e] : parts) {
        if (s >= e) continue;
        // A table-level PRIMARY KEY on the identity column alone is carried by the column.
        if (!identityCol.empty() && (T[s].Is("CONSTRAINT") || T[s].Is("PRIMARY"))) {
            size_t k = s;
            while (k < e && !T[k].Is("PRIMARY")) ++k;
            if (k < e) {
                size_t p = k;
                while (p < e && !T[p].IsSym("(")) ++p;
                if (p + 2 < e + 1 && p + 2 <= e && p + 1 < e && Upper(T[p + 1].Text) == identityCol && T[p + 2].IsSym(")"))
                    continue;
            }
        }
        if (!firstPart) out += ", ";
        firstPart = false;
        size_t identity = e;
        for (size_t i = s; i < e; ++i)
            if (T[i].Is("IDENTITY")) identity = i;
        if (identity < e) {
            size_t after = identity + 1;
            if (after < e && T[after].IsSym("(")) after = tr.MatchParen(after, e) + 1;
            out += TTranslator::QuoteName(T[s].Text) + " INTEGER PRIMARY KEY AUTOINCREMENT";
            for (size_t i = after; i < e; ++i) {
                if (T[i].Is("PRIMARY") && i + 1 < e && T[i + 1].Is("KEY")) {
                    ++i;
                    if (i + 1 < e && (T[i + 1].Is("CLUSTERED") || T[i + 1].Is("NONCLUSTERED"))) ++i;
                    continue;
                }
                if (T[i].Is("NOT") && i + 1 < e && T[i + 1].Is("NULL")) { ++i; continue; }
                out += " " + tr.Emit(i, i + 1);
            }
            continue;
        }
        out += tr.Emit(s, e);
        // Text columns compare without regard to case, as under SQL Server's default collation.
        if (s + 1 < e && T[s + 1].Kind == TToken::Word) {
            static const std::set<std::string> textTypes = {"CHAR", "VARCHAR", "NCHAR", "NVARCHAR", "TEXT", "NTEXT", "SYSNAME"};
            bool collate = false;
            for (size_t i = s; i < e; ++i) collate = collate || T[i].Is("COLLATE");
            if (textTypes.count(T[s + 1].Upper) && !collate && !T[s].Is("CONSTRAINT") && !T[s].Is("PRIMARY") &&
                !T[s].Is("UNIQUE") && !T[s].Is("FOREIGN") && !T[s].Is("CHECK"))
                out += " COLLATE NOCASE";
        }
    }
    out += ")";
    return out;
}

}  // namespace

TTranslation Translate(const std::vector<TToken>& tokens, size_t first, size_t last,
                       const TTranslateContext& ctx, bool selectHints, bool ddl)
{
    TTranslator tr(tokens, ctx, ddl);
    TTranslation result;
    if (first < last && tokens[first].Is("SELECT")) {
        // SELECT list INTO name FROM ... becomes CREATE TABLE name AS SELECT list FROM ...
        int depth = 0;
        for (size_t i = first + 1; i + 1 < last; ++i) {
            if (tokens[i].IsSym("(")) ++depth;
            else if (tokens[i].IsSym(")")) --depth;
            else if (depth == 0 && tokens[i].Is("FROM")) break;
            else if (depth == 0 && tokens[i].Is("INTO")) {
                size_t nameEnd = i + 1;
                while (nameEnd + 1 < last && tokens[nameEnd + 1].IsSym(".")) nameEnd += 2;
                std::vector<TToken> rest(tokens.begin() + long(first), tokens.begin() + long(i));
                rest.insert(rest.end(), tokens.begin() + long(nameEnd + 1), tokens.begin() + long(last));
                TTranslator inner(rest, ctx, false);
                const std::string select = inner.Emit(0, rest.size());
                const std::string name = tr.Emit(i + 1, nameEnd + 1);
                const bool temp = !tokens[nameEnd].Text.empty() && tokens[nameEnd].Text[0] == '#';
                result.Sql = std::string(temp ? "CREATE TEMP TABLE " : "CREATE TABLE ") + name + " AS " + select;
                if (inner.Failed || tr.Failed) {
                    result.Ok = false;
                    result.Error = inner.Failed ? inner.Error : tr.Error;
                }
                return result;
            }
        }
    }
    if (first < last && tokens[first].Is("TRUNCATE") && first + 1 < last && tokens[first + 1].Is("TABLE")) {
        result.Sql = "DELETE FROM " + tr.Emit(first + 2, last);
    } else if (ddl && first + 1 < last && tokens[first].Is("CREATE") && tokens[first + 1].Is("TABLE")) {
        result.Sql = TranslateCreateTable(tr, first, last);
        if (first + 2 < last && !tokens[first + 2].Text.empty() && tokens[first + 2].Text[0] == '#')
            result.Sql.replace(0, 12, "CREATE TEMP TABLE");
    } else {
        result.Sql = tr.Emit(first, last, selectHints);
    }
    if (tr.Failed) {
        result.Ok = false;
        result.Error = tr.Error;
    }
    return result;
}

}  // namespace tds
