// TSession's batches and statements: cutting a batch, running each statement
// through SQLite or the sandbox's own handling, and streaming its results.
#include "untSession.h"

#include "untServerState.h"
#include "untSessionInternal.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace tds {

using namespace detail;

void TSession::RunBatch(const std::string& sql)
{
    FPending = false;
    FVariables.clear();   // variables live for one batch
    std::vector<TToken> tokens;
    TSqlError error;
    TFlow flow = TFlow::Next;
    if (!Tokenize(sql, tokens, error)) {
        Fail(error);
    } else {
        flow = RunStatements(tokens, 0, tokens.size());
    }
    if (flow == TFlow::Cancelled) {
        SyncTranState();
        FlushPendingDone(true);
        Done(kDoneAttn, 0, 0);
        FlushPendingDone(false);
    } else if (FPending) {
        FlushPendingDone(false);
    } else {
        Done(0, 0, 0);
        FlushPendingDone(false);
    }
    FWire.EndReply();
}

TSession::TFlow TSession::RunStatements(const std::vector<TToken>& tokens, size_t first, size_t last)
{
    // Blocks, IF, TRY and EXEC nest by recursion: bounded, so no batch can exhaust the stack.
    struct TNesting {
        int& N;
        ~TNesting() { --N; }
    } nesting{++FNesting};
    if (FNesting > 64)
        return Fail(191, 15, "Some part of your SQL statement is nested too deeply. Rewrite the query or break it up into smaller queries.",
                    first < last ? tokens[first].Line : 1);
    std::vector<TToken> sub(tokens.begin() + long(first), tokens.begin() + long(last));
    for (const auto& range : SplitStatements(sub)) {
        if (CheckAttention()) return TFlow::Cancelled;
        const bool watching = FWatchCancel;
        FWatchCancel = true;
        const TFlow flow = Statement(sub, range.First, range.Last);
        FWatchCancel = watching;
        if (flow != TFlow::Next) return flow;
        FWire.MaybeFlush();
    }
    return TFlow::Next;
}

TSession::TFlow TSession::Fail(int number, int severity, const std::string& text, int line)
{
    return Fail(TSqlError{number, severity, 1, text, line});
}

// Inside BEGIN TRY an error of severity 11 to 19 goes to the CATCH block instead of the client.
bool TSession::Catch(const TSqlError& e)
{
    if (FTryDepth == 0 || e.Severity < 11 || e.Severity >= 20) return false;
    FCaughtError = e;
    FLastError = e.Number;
    SyncTranState();
    return true;
}

TSession::TFlow TSession::Fail(const TSqlError& e)
{
    if (Catch(e)) return TFlow::Caught;
    Message(true, e.Number, e.Severity, e.State, e.Message, e.Line);
    FLastError = e.Number;
    Done(kDoneError, 0, 0);
    SyncTranState();
    if (FXactAbort && e.Severity >= 11) {
        if (FTranCount > 0) RollbackTran();
        return TFlow::EndBatch;
    }
    return TFlow::Next;
}

TSession::TFlow TSession::Statement(const std::vector<TToken>& T, size_t first, size_t last)
{
    const TToken& t0 = T[first];
    const int line = t0.Line;
    auto next = [&](size_t k) -> const TToken* { return first + k < last ? &T[first + k] : nullptr; };
    if (t0.Kind == TToken::Word) {
        const std::string& u = t0.Upper;
        if ((u == "CREATE" || u == "DROP") && next(1) && next(1)->Is("DATABASE"))
            return Database(T, first, last, line, u == "CREATE");
        if (u == "CREATE" && next(1) && (next(1)->Is("PROCEDURE") || next(1)->Is("PROC") || next(1)->Is("FUNCTION") || next(1)->Is("TRIGGER")))
            return Fail(50000, 16, "The sandbox does not support CREATE " + next(1)->Upper + ".", line);
        if (u == "PRINT") return Print(T, first, last, line);
        if (u == "RAISERROR") return Raiserror(T, first, last, line);
        if (u == "THROW") return Throw(T, first, last, line);
        if (u == "SET") return SetOption(T, first, last, line);
        if (u == "USE") return Use(T, first, last, line);
        if (u == "EXEC" || u == "EXECUTE") return Exec(T, first, last, line);
        if (u == "WAITFOR") return Waitfor(T, first, last, line);
        if (u == "KILL") return Kill(T, first, last, line);
        if (u == "IF") return If(T, first, last, line);
        if (u == "COMMIT" || u == "ROLLBACK" || u == "SAVE") return Transaction(T, first, last, line);
        if (u == "BEGIN") {
            if (next(1) && (next(1)->Is("TRAN") || next(1)->Is("TRANSACTION") || next(1)->Is("DISTRIBUTED")))
                return Transaction(T, first, last, line);
            if (next(1) && next(1)->Is("TRY")) return TryCatch(T, first, last, line);
            if (next(1) && next(1)->Is("CATCH")) return Fail(102, 15, "Incorrect syntax near 'CATCH'.", line);
            // BEGIN ... END block
            size_t end = last;
            if (end > first + 1 && T[end - 1].Is("END")) --end;
            return RunStatements(T, first + 1, end);
        }
        if (u == "DECLARE") return Declare(T, first, last, line);
        if (u == "SELECT" && first + 2 < last && T[first + 1].Kind == TToken::Variable && T[first + 2].IsSym("="))
            return AssignSelect(T, first, last, line);
        if (u == "GO")
            return Fail(102, 15, "Incorrect syntax near 'GO'.", line);
    }
    return SqliteStatement(T, first, last, line);
}

TSession::TFlow TSession::TryCatch(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    // BEGIN TRY ... END TRY BEGIN CATCH ... END CATCH
    auto blockEnd = [&](size_t from, const char* kind) -> size_t {
        int depth = 1, cases = 0;
        for (size_t k = from; k < last; ++k) {
            if (T[k].Is("CASE")) ++cases;
            else if (T[k].Is("END")) {
                if (cases > 0) { --cases; continue; }
                if (--depth == 0) return (k + 1 < last && T[k + 1].Is(kind)) ? k : last;
            } else if (T[k].Is("BEGIN") && !(k + 1 < last && (T[k + 1].Is("TRAN") || T[k + 1].Is("TRANSACTION") ||
                                                              T[k + 1].Is("DISTRIBUTED")))) {
                ++depth;
            }
        }
        return last;
    };
    const size_t tryEnd = blockEnd(first + 2, "TRY");
    if (tryEnd >= last || tryEnd + 3 >= last || !T[tryEnd + 2].Is("BEGIN") || !T[tryEnd + 3].Is("CATCH"))
        return Fail(102, 15, "Incorrect syntax near 'TRY'. A TRY block must be followed by a CATCH block.", line);
    const size_t catchStart = tryEnd + 4;
    const size_t catchEnd = blockEnd(catchStart, "CATCH");
    if (catchEnd >= last) return Fail(102, 15, "Incorrect syntax near 'CATCH'.", line);
    ++FTryDepth;
    TFlow flow = TFlow::Next;
    try {
        flow = RunStatements(T, first + 2, tryEnd);
    } catch (...) {
        --FTryDepth;
        throw;
    }
    --FTryDepth;
    if (flow != TFlow::Caught) return flow;
    FCatchStack.push_back(FCaughtError);
    flow = RunStatements(T, catchStart, catchEnd);
    FCatchStack.pop_back();
    return flow;
}

TSession::TFlow TSession::SqliteStatement(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    const std::string verb = T[first].Kind == TToken::Word ? T[first].Upper : std::string();
    if (FImplicitTran && FTranCount == 0 && verb != "SELECT") {
        std::string error;
        if (!BeginTran(error)) return Fail(MapSqliteError(FDb, SQLITE_ERROR, verb, FDatabase, line));
    }
    const TTranslateContext ctx = Context();
    const bool select = verb == "SELECT" || verb == "WITH" || T[first].IsSym("(");
    const bool ddl = verb == "CREATE" || verb == "ALTER";
    const TTranslation tr = Translate(T, first, last, ctx, select, ddl);
    if (!tr.Ok) {
        TSqlError e = tr.Error;
        e.Line = line;
        return Fail(e);
    }
    FState.Verbose("connection " + std::to_string(FSpid) + ": sqlite: " + tr.Sql.substr(0, 500));
    if (tr.Sql.find("\"sys.databases\"") != std::string::npos) RefreshDatabaseList();
    return RunQuery(tr.Sql, line, verb);
}

TSession::TFlow TSession::RunQuery(const std::string& sql, int line, const std::string& verb)
{
    sqlite3_stmt* st = nullptr;
    TStmtGuard guard{st};
    int rc = sqlite3_prepare_v2(FDb, sql.c_str(), int(sql.size()), &st, nullptr);
    if (rc != SQLITE_OK) {
        const TSqlError e = MapSqliteError(FDb, rc, verb, FDatabase, line);
        sqlite3_finalize(st);
        st = nullptr;
        return Fail(e);
    }
    if (!st) {
        Done(0, 0, 0);
        return TFlow::Next;
    }
    const int ncol = sqlite3_column_count(st);
    const bool readOnly = sqlite3_stmt_readonly(st) != 0;
    rc = sqlite3_step(st);
    if (ncol > 0) {
        const TFlow flow = StreamResult(st, rc, line);
        return flow;
    }
    while (rc == SQLITE_ROW) rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) {
        const TSqlError e = MapSqliteError(FDb, rc, verb, FDatabase, line);
        if (CancelledBy(rc)) return TFlow::Cancelled;
        sqlite3_finalize(st);
        st = nullptr;
        return Fail(e);
    }
    // A CTE in front of INSERT/UPDATE/DELETE counts rows as well.
    const bool counts = verb == "INSERT" || verb == "UPDATE" || verb == "DELETE" || verb == "TRUNCATE" || verb == "MERGE" ||
                        verb == "REPLACE" || (verb == "WITH" && !readOnly);
    const int64_t changes = counts ? sqlite3_changes64(FDb) : 0;
    FRowCount = changes;
    FLastError = 0;
    Done(uint16_t(counts && !FNoCount ? kDoneCount : 0), CurCmd(verb), uint64_t(changes));
    return TFlow::Next;
}

TSession::TFlow TSession::StreamResult(sqlite3_stmt* st, int rc, int line)
{
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        const TSqlError e = MapSqliteError(FDb, rc, "SELECT", FDatabase, line);
        if (CancelledBy(rc)) return TFlow::Cancelled;
        return Fail(e);
    }
    const int ncol = sqlite3_column_count(st);
    std::vector<TColType> types(static_cast<size_t>(ncol));
    std::vector<bool> inferred(static_cast<size_t>(ncol), false);
    std::vector<std::string> names(static_cast<size_t>(ncol));
    for (int i = 0; i < ncol; ++i) {
        const char* raw = sqlite3_column_name(st, i);
        std::string name = raw ? raw : "";
        std::string hint;
        if (const auto sep = name.find(kHintSeparator); sep != std::string::npos) {
            hint = name.substr(sep + 1);
            name = name.substr(0, sep);
        }
        names[size_t(i)] = name;
        std::optional<TColType> type;
        if (!hint.empty()) type = ParseTypeName(hint);
        if (!type) {
            if (const char* decl = sqlite3_column_decltype(st, i)) type = ParseTypeName(decl);
        }
        if (!type) {
            inferred[size_t(i)] = true;
            if (rc == SQLITE_ROW) {
                type = InferType(sqlite3_column_value(st, i));
            } else {
                type = TColType{TKind::Int};
            }
        }
        types[size_t(i)] = WireType(*type, FTdsVersion);
    }
    FlushPendingDone(true);
    FWire.U8(0x81);
    FWire.U16(uint16_t(ncol));
    for (int i = 0; i < ncol; ++i) {
        if (Tds72()) FWire.U32(0);
        else FWire.U16(0);
        FWire.U16(0x0001 | 0x0008);   // nullable, updatable unknown
        WriteTypeInfo(FWire, types[size_t(i)], FTdsVersion);
        FWire.BVarChar(names[size_t(i)]);
    }
    uint64_t rows = 0;
    while (rc == SQLITE_ROW) {
        auto& out = FWire.Out();
        const size_t rowStart = out.size();
        FWire.U8(0xD1);
        for (int i = 0; i < ncol; ++i) {
            TValueError err;
            if (!WriteValue(FWire, types[size_t(i)], sqlite3_column_value(st, i), inferred[size_t(i)], err)) {
                out.resize(rowStart);
                FRowCount = int64_t(rows);
                return Fail(err.Number, 16, err.Message, line);
            }
        }
        ++rows;
        if ((rows & 255) == 0) {
            FWire.MaybeFlush();
            if ((rows & 2047) == 0 && CheckAttention()) return TFlow::Cancelled;
        }
        rc = sqlite3_step(st);
    }
    if (rc != SQLITE_DONE) {
        const TSqlError e = MapSqliteError(FDb, rc, "SELECT", FDatabase, line);
        if (CancelledBy(rc)) return TFlow::Cancelled;
        FRowCount = int64_t(rows);
        return Fail(e);
    }
    FRowCount = int64_t(rows);
    FLastError = 0;
    Done(uint16_t(FNoCount ? 0 : kDoneCount), 0xC1, rows);
    return TFlow::Next;
}

// ---- statements handled by the sandbox itself -----------------------------------

TSession::TFlow TSession::Print(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    if (first + 1 >= last) return Fail(102, 15, "Incorrect syntax near 'PRINT'.", line);
    std::string text;
    if (first + 2 == last && T[first + 1].Kind == TToken::String) {
        text = T[first + 1].Text;
    } else {
        const TTranslateContext ctx = Context();
        const TTranslation tr = Translate(T, first + 1, last, ctx, false, false);
        if (!tr.Ok) {
            TSqlError e = tr.Error;
            e.Line = line;
            return Fail(e);
        }
        sqlite3_stmt* st = nullptr;
        const std::string sql = "SELECT " + tr.Sql;
        int rc = sqlite3_prepare_v2(FDb, sql.c_str(), int(sql.size()), &st, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(st);
        if (rc != SQLITE_ROW) {
            if (CancelledBy(rc)) return TFlow::Cancelled;
            const TSqlError e = MapSqliteError(FDb, rc, "PRINT", FDatabase, line);
            sqlite3_finalize(st);
            return Fail(e);
        }
        if (const auto* v = reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) text = v;
        sqlite3_finalize(st);
    }
    Message(false, 0, 0, 1, text, line);
    return TFlow::Next;
}

namespace {

// RAISERROR's printf-like substitution of %d, %s, %i, %u, %x, %o.
std::string FormatRaiserror(const std::string& fmt, const std::vector<std::string>& args, const std::vector<bool>& numeric)
{
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%') { out.push_back(fmt[i]); continue; }
        if (i + 1 < fmt.size() && fmt[i + 1] == '%') { out.push_back('%'); ++i; continue; }
        size_t j = i + 1;
        std::string conversion = "%";
        while (j < fmt.size() && std::strchr("-+ 0#", fmt[j])) conversion.push_back(fmt[j++]);
        while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j]))) conversion.push_back(fmt[j++]);
        if (j < fmt.size() && fmt[j] == '.') {
            conversion.push_back(fmt[j++]);
            while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j]))) conversion.push_back(fmt[j++]);
        }
        while (j < fmt.size() && (fmt[j] == 'h' || fmt[j] == 'l' || fmt[j] == 'I' || fmt[j] == '6' || fmt[j] == '4')) ++j;
        if (j >= fmt.size()) { out += fmt.substr(i); break; }
        const char conv = fmt[j];
        if (!std::strchr("dioxXus", conv)) { out.push_back('%'); continue; }
        const std::string arg = next < args.size() ? args[next] : "(null)";
        const bool isNum = next < numeric.size() && numeric[next];
        ++next;
        char buf[512];
        if (conv == 's') {
            std::snprintf(buf, sizeof buf, (conversion + "s").c_str(), arg.c_str());
        } else {
            const long long v = isNum ? std::atoll(arg.c_str()) : 0;
            std::string s2 = conversion + "ll" + conv;
            std::snprintf(buf, sizeof buf, s2.c_str(), v);
        }
        out += buf;
        i = j;
    }
    return out.substr(0, 2047);
}

}  // namespace

TSession::TFlow TSession::Raiserror(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    size_t i = first + 1;
    if (i >= last || !T[i].IsSym("(")) return Fail(102, 15, "Incorrect syntax near 'RAISERROR'.", line);
    int depth = 0;
    size_t close = last;
    for (size_t k = i; k < last; ++k) {
        if (T[k].IsSym("(")) ++depth;
        else if (T[k].IsSym(")") && --depth == 0) { close = k; break; }
    }
    if (close >= last) return Fail(102, 15, "Incorrect syntax near 'RAISERROR'.", line);
    std::vector<std::pair<size_t, size_t>> args;
    size_t s = i + 1;
    depth = 0;
    for (size_t k = i + 1; k < close; ++k) {
        if (T[k].IsSym("(")) ++depth;
        else if (T[k].IsSym(")")) --depth;
        else if (T[k].IsSym(",") && depth == 0) { args.emplace_back(s, k); s = k + 1; }
    }
    args.emplace_back(s, close);
    if (args.size() < 3) return Fail(102, 15, "Incorrect syntax near ')'.", line);
    auto number = [&](std::pair<size_t, size_t> r, long long& v) {
        bool neg = false;
        size_t k = r.first;
        if (k < r.second && T[k].IsSym("-")) { neg = true; ++k; }
        if (k + 1 != r.second || T[k].Kind != TToken::Number) return false;
        v = std::atoll(T[k].Text.c_str());
        if (neg) v = -v;
        return true;
    };
    long long severity = 0, state = 0, msgId = 0;
    if (!number(args[1], severity) || !number(args[2], state))
        return Fail(102, 15, "Incorrect syntax near 'RAISERROR'.", line);
    bool withLog = false, noWait = false;
    for (size_t k = close + 1; k < last; ++k) {
        if (T[k].Is("LOG")) withLog = true;
        if (T[k].Is("NOWAIT")) noWait = true;
    }
    std::vector<std::string> values;
    std::vector<bool> numeric;
    for (size_t a = 3; a < args.size(); ++a) {
        long long v;
        if (args[a].second == args[a].first + 1 && T[args[a].first].Kind == TToken::String) {
            values.push_back(T[args[a].first].Text);
            numeric.push_back(false);
        } else if (number(args[a], v)) {
            values.push_back(std::to_string(v));
            numeric.push_back(true);
        } else if (args[a].second == args[a].first + 1 && T[args[a].first].Kind == TToken::Variable &&
                   FVariables.count(ToLower(T[args[a].first].Text))) {
            const TVariable& var = FVariables.at(ToLower(T[args[a].first].Text));
            values.push_back(var.Kind == SQLITE_INTEGER ? std::to_string(var.Int) : var.Kind == SQLITE_NULL ? "(null)" : var.Bytes);
            numeric.push_back(var.Kind == SQLITE_INTEGER);
        } else {
            values.push_back(Render(T, args[a].first, args[a].second));
            numeric.push_back(false);
        }
    }
    std::string text;
    int errorNumber = 50000;
    const auto m = args[0];
    if (m.second == m.first + 1 && T[m.first].Kind == TToken::String) {
        text = FormatRaiserror(T[m.first].Text, values, numeric);
    } else if (m.second == m.first + 1 && T[m.first].Kind == TToken::Variable && FVariables.count(ToLower(T[m.first].Text))) {
        text = FormatRaiserror(FVariables.at(ToLower(T[m.first].Text)).Bytes, values, numeric);
    } else if (number(m, msgId)) {
        errorNumber = 18054;
        text = "Error " + std::to_string(msgId) + ", severity " + std::to_string(severity) + ", state " + std::to_string(state) +
               " was raised, but no message with that error number was found in sys.messages. If error is larger than 50000, make sure the user-defined message is added using sp_addmessage.";
        severity = std::max(severity, 16LL);
    } else {
        return Fail(50000, 16, "The sandbox supports RAISERROR with a literal message text only.", line);
    }
    if (severity < 0) severity = 0;
    if (state < 0 || state > 255) state = 1;
    if (severity > 25) severity = 25;
    if (severity >= 19 && !withLog)
        return Fail(2754, 16, "Error severity levels greater than 18 can only be specified by members of the sysadmin role, using the WITH LOG option.", line);
    if (severity <= 10) {
        Message(false, errorNumber == 50000 ? 50000 : errorNumber, int(severity), int(state), text, line);
        // WITH NOWAIT: the message reaches the client now, not with the end of the batch.
        if (noWait) FWire.FlushNow();
        return TFlow::Next;
    }
    if (Catch(TSqlError{errorNumber, int(severity), int(state), text, line})) return TFlow::Caught;
    Message(true, errorNumber, int(severity), int(state), text, line);
    FLastError = errorNumber;
    Done(kDoneError, 0, 0);
    if (severity >= 20) {
        // Fatal severities end the connection, as on SQL Server.
        FlushPendingDone(false);
        FWire.EndReply();
        throw TDisconnect("RAISERROR with severity " + std::to_string(severity));
    }
    if (FXactAbort && FTranCount > 0) {
        // RAISERROR does not honour XACT_ABORT on SQL Server either: the batch goes on.
    }
    return TFlow::Next;
}

TSession::TFlow TSession::Throw(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    std::vector<std::pair<size_t, size_t>> args;
    size_t s = first + 1;
    for (size_t k = first + 1; k < last; ++k)
        if (T[k].IsSym(",")) { args.emplace_back(s, k); s = k + 1; }
    args.emplace_back(s, last);
    if (first + 1 == last && !FCatchStack.empty()) {
        // THROW; in a CATCH block raises the caught error again and ends the batch.
        const TSqlError e = FCatchStack.back();
        if (Catch(e)) return TFlow::Caught;
        Message(true, e.Number, e.Severity, e.State, e.Message, e.Line);
        FLastError = e.Number;
        Done(kDoneError, 0, 0);
        if (FXactAbort && FTranCount > 0) RollbackTran();
        return TFlow::EndBatch;
    }
    if (first + 1 == last)
        return Fail(10704, 15, "To rethrow an error, a THROW statement must be used inside a CATCH block. Insert the THROW statement inside a CATCH block, or add error parameters to the THROW statement.", line);
    if (args.size() != 3 || args[0].second != args[0].first + 1 || T[args[0].first].Kind != TToken::Number ||
        args[1].second != args[1].first + 1 || T[args[1].first].Kind != TToken::String ||
        args[2].second != args[2].first + 1 || T[args[2].first].Kind != TToken::Number)
        return Fail(102, 15, "Incorrect syntax near 'THROW'.", line);
    const long long number = std::atoll(T[args[0].first].Text.c_str());
    const long long state = std::atoll(T[args[2].first].Text.c_str());
    if (number < 50000 || number > 2147483647)
        return Fail(35100, 16, "Error number " + std::to_string(number) + " in the THROW statement is outside the valid range. Specify an error number in the valid range of 50000 to 2147483647.", line);
    if (Catch(TSqlError{int(number), 16, int(std::clamp(state, 0LL, 255LL)), T[args[1].first].Text, line})) return TFlow::Caught;
    Message(true, int(number), 16, int(std::clamp(state, 0LL, 255LL)), T[args[1].first].Text, line);
    FLastError = int(number);
    Done(kDoneError, 0, 0);
    // THROW ends the batch; with XACT_ABORT it also rolls the transaction back.
    if (FXactAbort && FTranCount > 0) RollbackTran();
    return TFlow::EndBatch;
}

TTranslateContext TSession::Context() const
{
    return TTranslateContext{FSpid, FRowCount, FTranCount, FLastError, FState.ServerName(), &FVariables,
                             FCatchStack.empty() ? nullptr : &FCatchStack.back()};
}

namespace {

void StoreValue(sqlite3_value* v, TVariable& var)
{
    var.Kind = sqlite3_value_type(v);
    var.Int = 0;
    var.Real = 0;
    var.Bytes.clear();
    switch (var.Kind) {
    case SQLITE_INTEGER: var.Int = sqlite3_value_int64(v); break;
    case SQLITE_FLOAT: var.Real = sqlite3_value_double(v); break;
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
        const auto* p = static_cast<const char*>(sqlite3_value_blob(v));
        var.Bytes.assign(p ? p : "", size_t(sqlite3_value_bytes(v)));
        break;
    }
    default: var.Kind = SQLITE_NULL;
    }
}

}  // namespace

TSession::TFlow TSession::Evaluate(const std::vector<TToken>& T, size_t first, size_t last, TVariable& var, int line)
{
    if (first >= last) return Fail(102, 15, "Incorrect syntax near '='.", line);
    const TTranslation tr = Translate(T, first, last, Context(), false, false);
    if (!tr.Ok) {
        TSqlError e = tr.Error;
        e.Line = line;
        return Fail(e);
    }
    std::string type = var.TypeText;
    for (char& c : type)
        if (c == '\'') c = ' ';
    const std::string sql = "SELECT tds_cast((" + tr.Sql + "), '" + type + "')";
    sqlite3_stmt* st = nullptr;
    TStmtGuard guard{st};
    int rc = sqlite3_prepare_v2(FDb, sql.c_str(), int(sql.size()), &st, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) {
        if (CancelledBy(rc)) return TFlow::Cancelled;
        return Fail(MapSqliteError(FDb, rc, "SET", FDatabase, line));
    }
    StoreValue(sqlite3_column_value(st, 0), var);
    return TFlow::Next;
}

TSession::TFlow TSession::Declare(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    // DECLARE @a type [= expr] [, @b type [= expr]] ...
    size_t i = first + 1;
    while (i < last) {
        if (T[i].Kind != TToken::Variable || T[i].Text.rfind("@@", 0) == 0)
            return Fail(102, 15, "Incorrect syntax near '" + T[i].Text + "'.", line);
        const std::string name = ToLower(T[i].Text);
        ++i;
        if (i < last && T[i].Is("AS")) ++i;
        if (i < last && (T[i].Is("TABLE") || T[i].Is("CURSOR")))
            return Fail(50000, 16, "The sandbox does not support table variables or cursors.", line);
        // The type runs to '=' or ',' at depth 0.
        size_t typeEnd = i;
        int depth = 0;
        while (typeEnd < last) {
            if (T[typeEnd].IsSym("(")) ++depth;
            else if (T[typeEnd].IsSym(")")) --depth;
            else if (depth == 0 && (T[typeEnd].IsSym("=") || T[typeEnd].IsSym(","))) break;
            ++typeEnd;
        }
        const std::string type = Render(T, i, typeEnd);
        if (type.empty() || !ParseTypeName(type))
            return Fail(2715, 16, "Column, parameter, or variable #1: Cannot find data type " + (type.empty() ? std::string("''") : type) + ".", line);
        if (FVariables.count(name))
            return Fail(134, 15, "The variable name '" + T[i - 1].Text + "' has already been declared. Variable names must be unique within a query batch or stored procedure.", line);
        TVariable& var = FVariables[name];
        var = TVariable{};
        var.TypeText = type;
        i = typeEnd;
        if (i < last && T[i].IsSym("=")) {
            size_t exprEnd = i + 1;
            depth = 0;
            while (exprEnd < last) {
                if (T[exprEnd].IsSym("(")) ++depth;
                else if (T[exprEnd].IsSym(")")) --depth;
                else if (depth == 0 && T[exprEnd].IsSym(",")) break;
                ++exprEnd;
            }
            const TFlow flow = Evaluate(T, i + 1, exprEnd, var, line);
            if (flow != TFlow::Next) return flow;
            i = exprEnd;
        }
        if (i < last && T[i].IsSym(",")) ++i;
    }
    return TFlow::Next;
}

TSession::TFlow TSession::AssignSelect(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    // SELECT @a = expr, @b = expr FROM ...: the last row's values go to the variables.
    std::vector<TToken> rest;
    std::vector<std::string> targets;
    rest.push_back(T[first]);
    int depth = 0;
    bool inList = true, itemStart = true;
    static const char* const ends[] = {"FROM", "WHERE", "GROUP", "HAVING", "ORDER", "UNION", "OPTION"};
    for (size_t i = first + 1; i < last; ++i) {
        const TToken& t = T[i];
        if (t.IsSym("(")) ++depth;
        else if (t.IsSym(")")) --depth;
        if (inList && depth == 0 && t.Kind == TToken::Word)
            for (const char* e : ends)
                if (t.Upper == e) inList = false;
        if (inList && itemStart) {
            if (t.Kind != TToken::Variable || i + 1 >= last || !T[i + 1].IsSym("="))
                return Fail(141, 15, "A SELECT statement that assigns a value to a variable must not be combined with data-retrieval operations.", line);
            const auto it = FVariables.find(ToLower(t.Text));
            if (it == FVariables.end())
                return Fail(137, 15, "Must declare the scalar variable \"" + t.Text + "\".", line);
            targets.push_back(it->first);
            ++i;   // skip '='
            itemStart = false;
            continue;
        }
        if (inList && depth == 0 && t.IsSym(",")) itemStart = true;
        rest.push_back(t);
    }
    const TTranslation tr = Translate(rest, 0, rest.size(), Context(), false, false);
    if (!tr.Ok) {
        TSqlError e = tr.Error;
        e.Line = line;
        return Fail(e);
    }
    sqlite3_stmt* st = nullptr;
    TStmtGuard guard{st};
    int rc = sqlite3_prepare_v2(FDb, tr.Sql.c_str(), int(tr.Sql.size()), &st, nullptr);
    if (rc != SQLITE_OK) return Fail(MapSqliteError(FDb, rc, "SELECT", FDatabase, line));
    if (sqlite3_column_count(st) != int(targets.size())) return Fail(102, 15, "Incorrect syntax near 'SELECT'.", line);
    int64_t rows = 0;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        ++rows;
        for (size_t k = 0; k < targets.size(); ++k) {
            TVariable& var = FVariables[targets[k]];
            // Each value takes the variable's type, as an assignment does.
            sqlite3_stmt* cast = nullptr;
            TStmtGuard castGuard{cast};
            const std::string sql = "SELECT tds_cast(?1, ?2)";
            if (sqlite3_prepare_v2(FDb, sql.c_str(), -1, &cast, nullptr) != SQLITE_OK) return Fail(MapSqliteError(FDb, SQLITE_ERROR, "SELECT", FDatabase, line));
            sqlite3_bind_value(cast, 1, sqlite3_column_value(st, int(k)));
            sqlite3_bind_text(cast, 2, var.TypeText.c_str(), -1, SQLITE_TRANSIENT);
            const int crc = sqlite3_step(cast);
            if (crc != SQLITE_ROW) return Fail(MapSqliteError(FDb, crc, "SELECT", FDatabase, line));
            StoreValue(sqlite3_column_value(cast, 0), var);
        }
    }
    if (rc != SQLITE_DONE) {
        if (CancelledBy(rc)) return TFlow::Cancelled;
        return Fail(MapSqliteError(FDb, rc, "SELECT", FDatabase, line));
    }
    FRowCount = rows;
    Done(uint16_t(FNoCount ? 0 : kDoneCount), 0xC1, uint64_t(rows));
    return TFlow::Next;
}

TSession::TFlow TSession::SetOption(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    if (first + 1 >= last) return Fail(102, 15, "Incorrect syntax near 'SET'.", line);
    const TToken& opt = T[first + 1];
    if (opt.Kind == TToken::Variable && opt.Text.rfind("@@", 0) != 0) {
        // SET @v = expr, SET @v += expr ...
        if (first + 3 > last || T[first + 2].Kind != TToken::Symbol)
            return Fail(102, 15, "Incorrect syntax near '" + opt.Text + "'.", line);
        const std::string op = T[first + 2].Text;
        const auto it = FVariables.find(ToLower(opt.Text));
        if (it == FVariables.end())
            return Fail(137, 15, "Must declare the scalar variable \"" + opt.Text + "\".", line);
        if (op == "=") return Evaluate(T, first + 3, last, it->second, line);
        if (op.size() == 2 && op[1] == '=' && std::strchr("+-*/", op[0])) {
            // Compound assignment: @v = @v <op> (expr), '+' joining text.
            std::vector<TToken> expr;
            expr.push_back(opt);
            TToken sym;
            sym.Kind = TToken::Symbol;
            sym.Text = std::string(1, op[0]);
            sym.Line = line;
            expr.push_back(sym);
            TToken open = sym, close = sym;
            open.Text = "(";
            close.Text = ")";
            expr.push_back(open);
            expr.insert(expr.end(), T.begin() + long(first + 3), T.begin() + long(last));
            expr.push_back(close);
            return Evaluate(expr, 0, expr.size(), it->second, line);
        }
        return Fail(102, 15, "Incorrect syntax near '" + op + "'.", line);
    }
    const bool on = last > first + 2 && T[last - 1].Is("ON");
    const bool off = last > first + 2 && T[last - 1].Is("OFF");
    if (opt.Is("NOCOUNT") || opt.Is("XACT_ABORT") || opt.Is("IMPLICIT_TRANSACTIONS")) {
        if (!on && !off) return Fail(102, 15, "Incorrect syntax near '" + opt.Text + "'.", line);
        if (opt.Is("NOCOUNT")) FNoCount = on;
        else if (opt.Is("XACT_ABORT")) FXactAbort = on;
        else FImplicitTran = on;
    }
    // Every other SET option is accepted and has no effect here.
    return TFlow::Next;
}

TSession::TFlow TSession::Use(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    if (first + 2 != last || (T[first + 1].Kind != TToken::Word && T[first + 1].Kind != TToken::Quoted))
        return Fail(102, 15, "Incorrect syntax near 'USE'.", line);
    const std::string name = T[first + 1].Text;
    const auto stored = FState.FindDatabase(name);
    if (!stored)
        return Fail(911, 16, "Database '" + name + "' does not exist. Make sure that the name is entered correctly.", line);
    if (ToLower(*stored) == ToLower(FDatabase)) {
        Message(false, 5701, 0, 1, "Changed database context to '" + FDatabase + "'.", line);
        return TFlow::Next;
    }
    if (FTranCount > 0)
        return Fail(50000, 16, "The sandbox cannot change the database inside a transaction.", line);
    const std::string old = FDatabase;
    std::string error;
    if (!OpenDatabase(*stored, error))
        return Fail(911, 16, "Database '" + name + "' cannot be opened: " + error, line);
    EnvChange(1, FDatabase, old);
    Message(false, 5701, 0, 1, "Changed database context to '" + FDatabase + "'.", line);
    return TFlow::Next;
}

TSession::TFlow TSession::HasDbAccess(int line)
{
    std::string sql = "SELECT column1 AS \"dbname\x01nvarchar(128)\", column2 AS \"owner\x01nvarchar(128)\", "
                      "column3 AS \"DBID\x01smallint\", column4 AS \"mode\x01smallint\", column5 AS \"status\x01int\", "
                      "column6 AS \"version\x01smallint\" FROM (VALUES ";
    int id = 0;
    bool firstRow = true;
    for (const auto& name : FState.ListDatabases()) {
        ++id;
        if (!firstRow) sql += ", ";
        firstRow = false;
        sql += "(" + Quote(name) + ", " + Quote("sa") + ", " + std::to_string(ToLower(name) == "master" ? 1 : id + 4) + ", 0, 0, 904)";
    }
    if (firstRow) sql += "('', '', 0, 0, 0, 0)) WHERE 0";
    else sql += ")";
    return RunQuery(sql, line, "SELECT");
}

TSession::TFlow TSession::Exec(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    size_t i = first + 1;
    if (i < last && T[i].IsSym("(")) {
        // EXEC ('batch text')
        if (i + 3 == last && T[i + 1].Kind == TToken::String && T[i + 2].IsSym(")")) {
            std::vector<TToken> inner;
            TSqlError error;
            if (!Tokenize(T[i + 1].Text, inner, error)) return Fail(error);
            return RunStatements(inner, 0, inner.size());
        }
        return Fail(50000, 16, "The sandbox supports EXEC with one literal string only.", line);
    }
    // Procedure name: the last part of a dotted name.
    if (i < last && T[i].Kind == TToken::Variable && i + 1 < last && T[i + 1].IsSym("="))
        return Fail(137, 15, "Must declare the scalar variable \"" + T[i].Text + "\".", line);
    std::string proc;
    while (i < last && (T[i].Kind == TToken::Word || T[i].Kind == TToken::Quoted || T[i].IsSym("."))) {
        if (!T[i].IsSym(".")) proc = T[i].Text;
        ++i;
    }
    if (proc.empty()) return Fail(102, 15, "Incorrect syntax near 'EXEC'.", line);
    const std::string lower = ToLower(proc);
    TFlow flow = TFlow::Next;
    ++FProcDepth;
    if (lower == "sp_mshasdbaccess") {
        flow = HasDbAccess(line);
    } else if (lower == "sp_executesql") {
        if (i >= last || T[i].Kind != TToken::String) {
            --FProcDepth;
            return Fail(102, 15, "Incorrect syntax near 'sp_executesql'.", line);
        }
        if (i + 1 < last) {
            --FProcDepth;
            return Fail(50000, 16, "The sandbox does not support sp_executesql with parameters.", line);
        }
        std::vector<TToken> inner;
        TSqlError error;
        if (!Tokenize(T[i].Text, inner, error)) {
            flow = Fail(error);
        } else {
            flow = RunStatements(inner, 0, inner.size());
        }
    } else {
        --FProcDepth;
        return Fail(2812, 16, "Could not find stored procedure '" + proc + "'.", line);
    }
    --FProcDepth;
    if (flow == TFlow::Cancelled) return flow;
    // RETURNSTATUS and DONEPROC close the procedure's output.
    FlushPendingDone(true);
    FWire.U8(0x79);
    FWire.U32(0);
    FPending = true;
    FPendingToken = 0xFE;
    FPendingStatus = 0;
    FPendingCmd = 0xE0;
    FPendingCount = 0;
    return flow;
}

TSession::TFlow TSession::Waitfor(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    if (first + 3 != last || !T[first + 1].Is("DELAY") || T[first + 2].Kind != TToken::String)
        return Fail(50000, 16, "The sandbox supports WAITFOR DELAY 'hh:mm:ss[.mmm]' only.", line);
    const std::string& text = T[first + 2].Text;
    int h = 0, m = 0;
    double s = 0;
    char tail = 0;
    const int n = std::sscanf(text.c_str(), "%d:%d:%lf%c", &h, &m, &s, &tail);
    if (n < 2 || n > 3 || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s >= 60)
        return Fail(148, 15, "Incorrect time syntax in time string '" + text + "' used with WAITFOR.", line);
    const auto total = std::chrono::milliseconds(int64_t((h * 3600 + m * 60) * 1000 + s * 1000));
    // Whatever the batch produced so far goes out before the wait.
    FWire.MaybeFlush();
    const auto deadline = std::chrono::steady_clock::now() + total;
    for (;;) {
        if (FAborted) throw TDisconnect("ended by KILL");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        if (FWire.PollAttention(int(std::min<int64_t>(left, 200)))) return TFlow::Cancelled;
    }
    return TFlow::Next;
}

TSession::TFlow TSession::Database(const std::vector<TToken>& T, size_t first, size_t last, int line, bool create)
{
    size_t i = first + 2;
    if (!create && i + 1 < last && T[i].Is("IF") && T[i + 1].Is("EXISTS")) {
        i += 2;
        if (i < last && !FState.FindDatabase(T[i].Text)) return TFlow::Next;
    }
    if (i >= last || (T[i].Kind != TToken::Word && T[i].Kind != TToken::Quoted))
        return Fail(102, 15, "Incorrect syntax near 'DATABASE'.", line);
    const std::string name = T[i].Text;
    if (create) {
        if (FTranCount > 0) return Fail(226, 16, "CREATE DATABASE statement not allowed within multi-statement transaction.", line);
        if (!TServerState::ValidDatabaseName(name))
            return Fail(102, 15, "Incorrect syntax near '" + name + "'.", line);
        std::string error;
        if (!FState.CreateDatabase(name, error)) {
            if (error == "exists")
                return Fail(1801, 16, "Database '" + name + "' already exists. Choose a different database name.", line);
            return Fail(1802, 16, "CREATE DATABASE failed. " + error, line);
        }
        FState.Log("database " + name + " created");
        Done(0, 0, 0);
        return TFlow::Next;
    }
    if (FTranCount > 0) return Fail(226, 16, "DROP DATABASE statement not allowed within multi-statement transaction.", line);
    std::string stored;
    switch (FState.DropDatabase(name, stored)) {
    case TServerState::TDropResult::Dropped:
        FState.Log("database " + stored + " dropped");
        Done(0, 0, 0);
        return TFlow::Next;
    case TServerState::TDropResult::Missing:
        return Fail(3701, 11, "Cannot drop the database '" + name + "', because it does not exist or you do not have permission.", line);
    case TServerState::TDropResult::InUse:
        return Fail(3702, 16, "Cannot drop database \"" + stored + "\" because it is currently in use.", line);
    case TServerState::TDropResult::System:
        return Fail(3708, 16, "Cannot drop the database 'master' because it is a system database.", line);
    case TServerState::TDropResult::Failed:
        break;
    }
    return Fail(3701, 11, "Cannot drop the database '" + name + "', because it does not exist or you do not have permission.", line);
}

TSession::TFlow TSession::Kill(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    if (first + 2 != last || T[first + 1].Kind != TToken::Number)
        return Fail(102, 15, "Incorrect syntax near 'KILL'.", line);
    const long long spid = std::atoll(T[first + 1].Text.c_str());
    if (spid == FSpid) return Fail(6104, 16, "Cannot use KILL to kill your own process.", line);
    if (spid <= 0 || spid > 65535 || !FState.Kill(uint16_t(spid)))
        return Fail(6106, 16, "Process ID " + std::to_string(spid) + " is not an active process ID.", line);
    FState.Log("connection " + std::to_string(spid) + " killed by connection " + std::to_string(FSpid));
    Done(0, 0, 0);
    return TFlow::Next;
}

TSession::TFlow TSession::If(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    // IF <condition> <statement> [ELSE <statement>]
    int depth = 0;
    size_t body = last;
    for (size_t k = first + 1; k < last; ++k) {
        if (T[k].IsSym("(")) ++depth;
        else if (T[k].IsSym(")")) --depth;
        else if (depth == 0 && T[k].Kind == TToken::Word && k > first + 1 && IsStatementKeyword(T[k].Upper) &&
                 !T[k - 1].Is("NOT") && !T[k - 1].Is("EXISTS")) {
            body = k;
            break;
        }
    }
    if (body >= last) return Fail(102, 15, "Incorrect syntax near the end of the IF statement.", line);
    size_t elseAt = last;
    int blocks = 0, cases = 0, ifs = 0;
    depth = 0;
    for (size_t k = body; k < last; ++k) {
        const TToken& t = T[k];
        if (t.IsSym("(")) ++depth;
        else if (t.IsSym(")")) --depth;
        else if (t.Is("CASE")) ++cases;
        else if (t.Is("END")) { if (cases > 0) --cases; else if (blocks > 0) --blocks; }
        else if (t.Is("BEGIN") && !(k + 1 < last && (T[k + 1].Is("TRAN") || T[k + 1].Is("TRANSACTION")))) ++blocks;
        else if (t.Is("IF")) ++ifs;
        else if (t.Is("ELSE") && depth == 0 && blocks == 0 && cases == 0) {
            if (ifs > 0) { --ifs; continue; }
            elseAt = k;
            break;
        }
    }
    const TTranslateContext ctx = Context();
    const TTranslation tr = Translate(T, first + 1, body, ctx, false, false);
    if (!tr.Ok) {
        TSqlError e = tr.Error;
        e.Line = line;
        return Fail(e);
    }
    const std::string sql = "SELECT CASE WHEN (" + tr.Sql + ") THEN 1 ELSE 0 END";
    if (tr.Sql.find("\"sys.databases\"") != std::string::npos) RefreshDatabaseList();
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(FDb, sql.c_str(), int(sql.size()), &st, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) {
        if (CancelledBy(rc)) return TFlow::Cancelled;
        const TSqlError e = MapSqliteError(FDb, rc, "IF", FDatabase, line);
        sqlite3_finalize(st);
        return Fail(e);
    }
    const bool yes = sqlite3_column_int(st, 0) != 0;
    sqlite3_finalize(st);
    if (yes) return RunStatements(T, body, elseAt);
    if (elseAt < last) return RunStatements(T, elseAt + 1, last);
    return TFlow::Next;
}

}  // namespace tds
