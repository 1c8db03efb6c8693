#pragma once
// T-SQL text handling: tokens, the cutting of a batch into statements, and the
// translation of a statement into SQLite's dialect (names, literals, TOP,
// CAST/CONVERT, T-SQL built-ins, divide-by-zero checks, column type hints).

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tds {

struct TToken {
    enum TKind { Word, Quoted, String, Number, Hex, Variable, Symbol };
    TKind Kind = Symbol;
    std::string Text;        // Word: as written; Quoted: the name; String: the value; Symbol: the operator
    std::string Upper;       // Word: upper-case
    bool National = false;   // String: N'...'
    bool NewlineBefore = false;
    int Line = 1;            // 1-based line in the batch
    bool Is(const char* word) const { return Kind == Word && Upper == word; }
    bool IsSym(const char* sym) const { return Kind == Symbol && Text == sym; }
};

// A T-SQL error found while reading text: number, severity and text as SQL Server has them.
struct TSqlError {
    int Number = 0;
    int Severity = 16;
    int State = 1;
    std::string Message;
    int Line = 1;
};

// Tokenizes the batch; comments are dropped. Returns false with an error for an
// unclosed string, quoted name or comment.
bool Tokenize(std::string_view sql, std::vector<TToken>& tokens, TSqlError& error);

struct TStatementRange {
    size_t First = 0;   // token index
    size_t Last = 0;    // one past the last token
};

// Cuts tokens into statements at semicolons and at line breaks before a statement keyword.
std::vector<TStatementRange> SplitStatements(const std::vector<TToken>& tokens);

// A T-SQL variable of the batch (DECLARE @name type): its type and value.
struct TVariable {
    std::string TypeText;   // as declared, e.g. "nvarchar(50)"
    int Kind = 5;           // SQLite storage class of the value; 5 = NULL
    int64_t Int = 0;
    double Real = 0;
    std::string Bytes;      // text (UTF-8) or blob
};
using TVariables = std::map<std::string, TVariable>;   // key: lower-case name with '@'

// Values the translation puts into the text as literals.
struct TTranslateContext {
    int Spid = 0;
    int64_t RowCount = 0;
    int TranCount = 0;
    int LastError = 0;
    std::string ServerName;
    const TVariables* Variables = nullptr;
    const TSqlError* Caught = nullptr;   // the error a CATCH block handles
};

// The SQL literal for a variable's value.
std::string VariableLiteral(const TVariable& v);

struct TTranslation {
    std::string Sql;
    bool Ok = true;
    TSqlError Error;
};

// Column names of a result carry a hint after this separator: "name\x01type".
constexpr char kHintSeparator = '\x01';
// Unnamed result columns get this name (shown to clients as an empty name).
constexpr const char* kNoName = "\x01";

// Translates tokens [first, last) into SQLite text. With selectHints, the outer
// select list gets aliases that carry the T-SQL type of CAST/CONVERT/literal items
// and marks unnamed columns.
TTranslation Translate(const std::vector<TToken>& tokens, size_t first, size_t last,
                       const TTranslateContext& ctx, bool selectHints, bool ddl);

// Renders tokens back to text (for messages and type names).
std::string Render(const std::vector<TToken>& tokens, size_t first, size_t last);

bool IsStatementKeyword(const std::string& upper);

}  // namespace tds
