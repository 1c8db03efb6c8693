#pragma once
// TSession: one client connection, from PRELOGIN to close, on its own thread.
// It owns the socket's protocol state and its own SQLite connection to the
// current database. Abort() may be called from any thread (KILL, shutdown).

#include "untSqlText.h"
#include "untTdsValues.h"
#include "untTdsWire.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tds {

class TServerState;

class TSession {
public:
    TSession(TServerState& state, int fd);
    ~TSession();
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    void Run();
    // Ends the connection at once: the socket is shut down and a running
    // SQLite statement is interrupted; the session thread then cleans up.
    void Abort();

private:
    enum class TFlow { Next, EndBatch, Cancelled, Caught };

    bool Prelogin(const TTdsWire::TMessage& msg);
    bool Login(const TTdsWire::TMessage& msg);
    void LoginFailed(const std::string& text, int number, int severity);
    bool OpenDatabase(const std::string& storedName, std::string& error);
    void CloseDatabase();
    void CreateCatalogViews(sqlite3* db);
    void RefreshDatabaseList();

    void SqlBatch(const TTdsWire::TMessage& msg);
    void Rpc(const TTdsWire::TMessage& msg);
    void TransactionManager(const TTdsWire::TMessage& msg);
    bool SkipAllHeaders(const std::vector<uint8_t>& data, size_t& pos);

    void RunBatch(const std::string& sql);
    TFlow RunStatements(const std::vector<TToken>& tokens, size_t first, size_t last);
    TFlow Statement(const std::vector<TToken>& tokens, size_t first, size_t last);
    TFlow SqliteStatement(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow RunQuery(const std::string& sql, int line, const std::string& verb);
    TFlow StreamResult(sqlite3_stmt* st, int firstRc, int line);
    TFlow Print(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow Raiserror(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow Throw(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow SetOption(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow Use(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow Exec(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow Waitfor(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow Database(const std::vector<TToken>& tokens, size_t first, size_t last, int line, bool create);
    TFlow Kill(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow If(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow Transaction(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow HasDbAccess(int line);
    TFlow TryCatch(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    bool Catch(const TSqlError& e);
    TFlow Declare(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow AssignSelect(const std::vector<TToken>& tokens, size_t first, size_t last, int line);
    TFlow Evaluate(const std::vector<TToken>& tokens, size_t first, size_t last, TVariable& var, int line);
    TTranslateContext Context() const;
    TFlow Fail(const TSqlError& e);
    TFlow Fail(int number, int severity, const std::string& text, int line);

    // Transactions, shared by T-SQL and transaction-manager requests.
    bool BeginTran(std::string& error);
    bool CommitTran(bool all, std::string& error);
    void RollbackTran();
    void SyncTranState();
    void EnvTransaction(uint8_t type);

    // Reply tokens.
    void Done(uint16_t status, uint16_t curCmd, uint64_t count);
    void FlushPendingDone(bool more);
    void Message(bool error, int number, int severity, int state, const std::string& text, int line);
    void EnvChange(uint8_t type, const std::string& newValue, const std::string& oldValue);
    void LoginAck();
    bool CheckAttention();
    // SQLite's progress handler: ends a running statement when the client cancels.
    static int ProgressHandler(void* session);
    // After SQLITE_INTERRUPT: true when the client cancelled; throws when it is gone or killed.
    bool CancelledBy(int rc);
    bool Tds72() const { return FTdsVersion >= 0x72000000; }

    TServerState& FState;
    int FFd;
    TTdsWire FWire;
    uint16_t FSpid = 0;
    uint32_t FTdsVersion = 0x74000004;
    std::string FUser;
    std::string FDatabase;
    sqlite3* FDb = nullptr;
    std::mutex FDbMutex;   // guards FDb against Abort()'s interrupt
    std::atomic<bool> FAborted{false};
    bool FWatchCancel = false;   // statements of the client are running: a cancel may end them
    bool FClientGone = false;
    TFunctionContext FFunctions;

    bool FNoCount = false;
    bool FXactAbort = false;
    bool FImplicitTran = false;
    int FTranCount = 0;
    uint64_t FTranId = 0;
    std::vector<std::string> FSavepoints;
    int64_t FRowCount = 0;
    int FLastError = 0;
    int FProcDepth = 0;
    int FNesting = 0;
    TVariables FVariables;
    int FTryDepth = 0;
    TSqlError FCaughtError;
    std::vector<TSqlError> FCatchStack;

    bool FPending = false;
    uint8_t FPendingToken = 0xFD;
    uint16_t FPendingStatus = 0;
    uint16_t FPendingCmd = 0;
    uint64_t FPendingCount = 0;
    bool FBatchError = false;
};

}  // namespace tds
