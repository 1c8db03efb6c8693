// TSession's transactions: T-SQL BEGIN/COMMIT/ROLLBACK/SAVE, the driver's
// transaction-manager requests, and the ENVCHANGEs that tell the client.
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

namespace {

// Transaction control must not be cut short by a cancel: it runs unwatched.
struct TUnwatched {
    bool& Watch;
    bool Saved;
    explicit TUnwatched(bool& watch) : Watch(watch), Saved(watch) { Watch = false; }
    ~TUnwatched() { Watch = Saved; }
};

}  // namespace

// ---- transactions --------------------------------------------------------------

bool TSession::BeginTran(std::string& error)
{
    TUnwatched unwatched(FWatchCancel);
    if (FTranCount == 0) {
        char* msg = nullptr;
        if (sqlite3_get_autocommit(FDb) && sqlite3_exec(FDb, "BEGIN", nullptr, nullptr, &msg) != SQLITE_OK) {
            error = msg ? msg : "BEGIN failed";
            sqlite3_free(msg);
            return false;
        }
        ++FTranId;
        EnvTransaction(8);
    }
    ++FTranCount;
    return true;
}

bool TSession::CommitTran(bool all, std::string& error)
{
    TUnwatched unwatched(FWatchCancel);
    if (FTranCount == 0) return false;
    if (!all && FTranCount > 1) {
        --FTranCount;
        return true;
    }
    if (!sqlite3_get_autocommit(FDb)) {
        const int rc = sqlite3_exec(FDb, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            error = sqlite3_errmsg(FDb);
            return false;
        }
    }
    FTranCount = 0;
    FSavepoints.clear();
    EnvTransaction(9);
    return true;
}

void TSession::RollbackTran()
{
    TUnwatched unwatched(FWatchCancel);
    if (!sqlite3_get_autocommit(FDb)) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    FTranCount = 0;
    FSavepoints.clear();
    EnvTransaction(10);
}

void TSession::SyncTranState()
{
    TUnwatched unwatched(FWatchCancel);
    if (FTranCount > 0 && FDb && sqlite3_get_autocommit(FDb)) {
        FTranCount = 0;
        FSavepoints.clear();
        EnvTransaction(10);
    }
}

TSession::TFlow TSession::Transaction(const std::vector<TToken>& T, size_t first, size_t last, int line)
{
    const std::string verb = T[first].Upper;
    size_t i = first + 1;
    if (verb == "BEGIN" && i < last && T[i].Is("DISTRIBUTED")) ++i;
    if (i < last && (T[i].Is("TRAN") || T[i].Is("TRANSACTION") || T[i].Is("WORK"))) ++i;
    std::string name;
    if (i < last && (T[i].Kind == TToken::Word || T[i].Kind == TToken::Quoted)) name = T[i++].Text;
    if (i < last && T[i].Is("WITH")) i = last;   // WITH MARK / WITH (DELAYED_DURABILITY...)
    if (i != last) return Fail(102, 15, "Incorrect syntax near '" + T[i].Text + "'.", line);
    std::string error;
    if (verb == "BEGIN") {
        if (!BeginTran(error)) return Fail(50000, 16, "BEGIN TRANSACTION failed: " + error, line);
        return TFlow::Next;
    }
    if (verb == "SAVE") {
        if (FTranCount == 0) return Fail(628, 16, "Cannot issue SAVE TRANSACTION when there is no active transaction.", line);
        if (name.empty()) return Fail(102, 15, "Incorrect syntax near 'SAVE'.", line);
        TUnwatched unwatched(FWatchCancel);
        const std::string sql = "SAVEPOINT \"sp_" + ToLower(name) + "\"";
        if (sqlite3_exec(FDb, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            return Fail(MapSqliteError(FDb, SQLITE_ERROR, "SAVE", FDatabase, line));
        FSavepoints.push_back(ToLower(name));
        return TFlow::Next;
    }
    if (verb == "COMMIT") {
        if (FTranCount == 0)
            return Fail(3902, 16, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.", line);
        if (!CommitTran(false, error)) {
            const TSqlError e = MapSqliteError(FDb, sqlite3_errcode(FDb), "COMMIT", FDatabase, line);
            return Fail(e);
        }
        return TFlow::Next;
    }
    // ROLLBACK
    if (FTranCount == 0)
        return Fail(3903, 16, "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.", line);
    if (!name.empty()) {
        const auto it = std::find(FSavepoints.rbegin(), FSavepoints.rend(), ToLower(name));
        if (it != FSavepoints.rend()) {
            TUnwatched unwatched(FWatchCancel);
            const std::string sql = "ROLLBACK TO \"sp_" + ToLower(name) + "\"";
            sqlite3_exec(FDb, sql.c_str(), nullptr, nullptr, nullptr);
            return TFlow::Next;
        }
    }
    RollbackTran();
    return TFlow::Next;
}

void TSession::TransactionManager(const TTdsWire::TMessage& msg)
{
    FPending = false;
    const auto& d = msg.Data;
    size_t pos = 0;
    auto reply = [&](bool ok) {
        Done(ok ? 0 : kDoneError, 0, 0);
        FlushPendingDone(false);
        FWire.EndReply();
    };
    if (!SkipAllHeaders(d, pos) || pos + 2 > d.size()) {
        Message(true, 4002, 16, 1, "The incoming tabular data stream (TDS) protocol stream is incorrect. The stream ended unexpectedly.", 1);
        reply(false);
        return;
    }
    const uint16_t type = uint16_t(d[pos] | (d[pos + 1] << 8));
    pos += 2;
    auto skipName = [&]() {
        if (pos < d.size()) pos += 1 + size_t(d[pos]) * 2;
    };
    std::string error;
    FState.Verbose("connection " + std::to_string(FSpid) + ": transaction-manager request " + std::to_string(type));
    switch (type) {
    case 5:   // TM_BEGIN_XACT: isolation level, name
        if (FTranCount == 0 && !BeginTran(error)) {
            Message(true, 50000, 16, 1, "BEGIN TRANSACTION failed: " + error, 1);
            reply(false);
            return;
        }
        if (FTranCount == 0) ++FTranCount;
        reply(true);
        return;
    case 7:   // TM_COMMIT_XACT: name, flags (bit 0: begin a new transaction), [isolation, name]
    case 8: { // TM_ROLLBACK_XACT
        skipName();
        const bool beginNew = pos < d.size() && (d[pos] & 0x01);
        bool ok = true;
        if (FTranCount > 0) {
            if (type == 7) {
                if (!CommitTran(true, error)) {
                    Message(true, 3902, 16, 1, "COMMIT failed: " + error, 1);
                    RollbackTran();
                    ok = false;
                }
            } else {
                RollbackTran();
            }
        }
        if (beginNew && !BeginTran(error)) {
            Message(true, 50000, 16, 1, "BEGIN TRANSACTION failed: " + error, 1);
            ok = false;
        }
        reply(ok);
        return;
    }
    case 9: { // TM_SAVE_XACT
        if (FTranCount == 0) {
            Message(true, 628, 16, 1, "Cannot issue SAVE TRANSACTION when there is no active transaction.", 1);
            reply(false);
            return;
        }
        reply(true);
        return;
    }
    default:
        Message(true, 50000, 16, 1, "The sandbox does not support transaction-manager request " + std::to_string(type) + ".", 1);
        reply(false);
        return;
    }
}

}  // namespace tds
