#pragma once
// Helpers shared by the units of TSession (untSession, untStatements,
// untTransactions): reply flags, SQLite error mapping, statement ownership.

#include "untSqlText.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tds::detail {

constexpr size_t kMaxRequest = 8u << 20;           // bytes of one request message
constexpr int kBusyTimeoutMs = 30000;               // writers wait this long for each other
constexpr uint16_t kDoneMore = 0x01, kDoneError = 0x02, kDoneCount = 0x10, kDoneAttn = 0x20;
constexpr const char* kProgName = "Microsoft SQL Server";

// The DONE token's CurCmd for a statement verb.
uint16_t CurCmd(const std::string& verb);
// A T-SQL string literal.
std::string Quote(const std::string& s);
// SQLite's busy handler: waits up to kBusyTimeoutMs unless the session is aborted.
int BusyHandler(void* abortedFlag, int count);
// SQLite's message turned into the error SQL Server gives for the same fault.
TSqlError MapSqliteError(sqlite3* db, int rc, const std::string& verb, const std::string& database, int line);

// Finalizes a statement however its scope ends (a broken connection throws).
struct TStmtGuard {
    sqlite3_stmt*& St;
    ~TStmtGuard()
    {
        sqlite3_finalize(St);
        St = nullptr;
    }
};

}  // namespace tds::detail
