#include "untSession.h"

#include "untServerState.h"
#include "untSessionInternal.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <sys/socket.h>

namespace tds {

namespace detail {

uint16_t CurCmd(const std::string& verb)
{
    if (verb == "SELECT" || verb == "WITH") return 0xC1;
    if (verb == "INSERT") return 0xC3;
    if (verb == "DELETE" || verb == "TRUNCATE") return 0xC4;
    if (verb == "UPDATE") return 0xC5;
    return 0;
}

std::string Quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out.push_back('\'');
        out.push_back(c);
    }
    return out + "'";
}

int BusyHandler(void* arg, int count)
{
    auto* aborted = static_cast<std::atomic<bool>*>(arg);
    if (aborted->load() || count * 5 >= kBusyTimeoutMs) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(count < 20 ? 1 : 5));
    return 1;
}

TSqlError MapSqliteError(sqlite3* db, int rc, const std::string& verb, const std::string& database, int line)
{
    const std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int ext = db ? sqlite3_extended_errcode(db) : rc;
    TSqlError e{50000, 16, 1, msg, line};
    int number, severity;
    std::string text;
    auto after = [&](const char* prefix) -> std::optional<std::string> {
        const auto p = msg.find(prefix);
        if (p == std::string::npos) return std::nullopt;
        return msg.substr(p + std::strlen(prefix));
    };
    auto tableOf = [](const std::string& col) {
        const auto dot = col.find('.');
        return dot == std::string::npos ? std::string() : col.substr(0, dot);
    };
    auto columnOf = [](const std::string& col) {
        const auto dot = col.find('.');
        return dot == std::string::npos ? col : col.substr(dot + 1);
    };
    if (ParseFunctionError(msg, number, severity, text)) {
        e = {number, severity, 1, text, line};
    } else if ((rc & 0xFF) == SQLITE_INTERRUPT) {
        e = {0, 20, 1, "The connection was ended by KILL.", line};
    } else if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) {
        if (ext == SQLITE_BUSY_SNAPSHOT)
            e = {1205, 13, 51, "Transaction was deadlocked on lock resources with another process and has been chosen as the deadlock victim. Rerun the transaction.", line};
        else
            e = {1222, 16, 56, "Lock request time out period exceeded.", line};
    } else if (auto name = after("no such table: ")) {
        std::string n = *name;
        if (n.rfind("main.", 0) == 0) n = n.substr(5);
        if (verb == "DROP")
            e = {3701, 11, 5, "Cannot drop the table '" + n + "', because it does not exist or you do not have permission.", line};
        else
            e = {208, 16, 1, "Invalid object name '" + n + "'.", line};
    } else if (auto name = after("no such column: ")) {
        e = {207, 16, 1, "Invalid column name '" + columnOf(*name) + "'.", line};
    } else if (auto name = after("no such function: ")) {
        e = {195, 15, 10, "'" + *name + "' is not a recognized built-in function name.", line};
    } else if (auto near = after("near \"")) {
        const auto q = near->find("\": syntax error");
        e = {102, 15, 1, "Incorrect syntax near '" + near->substr(0, q) + "'.", line};
    } else if (msg.find("parser stack overflow") != std::string::npos || msg.find("Expression tree is too large") != std::string::npos) {
        e = {191, 15, 1, "Some part of your SQL statement is nested too deeply. Rewrite the query or break it up into smaller queries.", line};
    } else if (msg.find("incomplete input") != std::string::npos) {
        e = {102, 15, 1, "Incorrect syntax near the end of the statement.", line};
    } else if (auto name = after("table ")) {
        const auto p = name->find(" already exists");
        if (p != std::string::npos) {
            std::string n = name->substr(0, p);
            if (!n.empty() && n.front() == '"') n = n.substr(1, n.size() - 2);
            e = {2714, 16, 6, "There is already an object named '" + n + "' in the database.", line};
        }
    } else if (ext == SQLITE_CONSTRAINT_PRIMARYKEY || ext == SQLITE_CONSTRAINT_UNIQUE || ext == SQLITE_CONSTRAINT_ROWID) {
        std::string cols = after("constraint failed: ").value_or("");
        const std::string table = tableOf(cols.substr(0, cols.find(',')));
        if (ext == SQLITE_CONSTRAINT_UNIQUE)
            e = {2627, 14, 1, "Violation of UNIQUE KEY constraint 'UQ_" + table + "'. Cannot insert duplicate key in object 'dbo." + table + "'.", line};
        else
            e = {2627, 14, 1, "Violation of PRIMARY KEY constraint 'PK_" + table + "'. Cannot insert duplicate key in object 'dbo." + table + "'.", line};
    } else if (ext == SQLITE_CONSTRAINT_NOTNULL) {
        const std::string col = after("constraint failed: ").value_or("");
        e = {515, 16, 2, "Cannot insert the value NULL into column '" + columnOf(col) + "', table '" + database + ".dbo." + tableOf(col) +
                         "'; column does not allow nulls. " + (verb == "UPDATE" ? "UPDATE" : "INSERT") + " fails.", line};
    } else if (ext == SQLITE_CONSTRAINT_FOREIGNKEY) {
        e = {547, 16, 0, "The " + (verb.empty() ? std::string("INSERT") : verb) + " statement conflicted with the FOREIGN KEY constraint. The conflict occurred in database '" + database + "'.", line};
    } else if (ext == SQLITE_CONSTRAINT_CHECK) {
        e = {547, 16, 0, "The " + (verb.empty() ? std::string("INSERT") : verb) + " statement conflicted with the CHECK constraint \"" +
                             after("constraint failed: ").value_or("") + "\". The conflict occurred in database '" + database + "'.", line};
    }
    return e;
}

}  // namespace detail

using namespace detail;

TSession::TSession(TServerState& state, int fd) : FState(state), FFd(fd), FWire(fd)
{
    FSpid = FState.Register(this);
    FWire.SetSpid(FSpid);
    FWire.SetLatency(FState.Options().LatencyMs);
    FFunctions.Version = std::string("Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) - tds-sandbox, a SQL Server stand-in on SQLite ") +
                         sqlite3_libversion();
}

TSession::~TSession()
{
    FState.Unregister(FSpid);
    CloseDatabase();
}

void TSession::Abort()
{
    FAborted = true;
    ::shutdown(FFd, SHUT_RDWR);
    std::lock_guard lock(FDbMutex);
    if (FDb) sqlite3_interrupt(FDb);
}

void TSession::Run()
{
    const std::string who = "connection " + std::to_string(FSpid);
    if (FSpid == 0) {
        FState.Log("too many connections; refusing one");
        return;
    }
    FState.Verbose(who + ": opened");
    bool loggedIn = false;
    try {
        TTdsWire::TMessage msg;
        // A client has a minute to log in; a logged-in one may stay idle for as long as it likes.
        while (!FAborted && FWire.ReadMessage(msg, kMaxRequest, loggedIn ? -1 : 60000)) {
            if (!loggedIn) {
                if (msg.Type == ptPrelogin) {
                    if (!Prelogin(msg)) break;
                    continue;
                }
                if (msg.Type == ptLogin7) {
                    if (!Login(msg)) break;
                    loggedIn = true;
                    continue;
                }
                FState.Log(who + ": request type " + std::to_string(msg.Type) + " before login; closing");
                break;
            }
            switch (msg.Type) {
            case ptSqlBatch: SqlBatch(msg); break;
            case ptRpc: Rpc(msg); break;
            case ptTransMgr: TransactionManager(msg); break;
            case ptAttention:
                // The reply already ended; the client still waits for the acknowledgement.
                FPending = false;
                Done(kDoneAttn, 0, 0);
                FlushPendingDone(false);
                FWire.EndReply();
                break;
            default:
                FState.Log(who + ": unsupported request type " + std::to_string(msg.Type) + "; closing");
                return;
            }
        }
    } catch (const TDisconnect& e) {
        if (!FAborted) FState.Log(who + ": dropped: " + e.what());
    } catch (const std::exception& e) {
        FState.Log(who + ": ended by an internal error: " + e.what());
    }
    if (FTranCount > 0) FState.Verbose(who + ": open transaction rolled back");
    FState.Verbose(who + ": closed");
}

// ---- login -------------------------------------------------------------------

bool TSession::Prelogin(const TTdsWire::TMessage& msg)
{
    const auto& d = msg.Data;
    uint8_t encryption = 2;
    bool ok = true;
    size_t pos = 0;
    for (int guard = 0; guard < 64; ++guard) {
        if (pos >= d.size()) { ok = false; break; }
        const uint8_t token = d[pos];
        if (token == 0xFF) break;
        if (pos + 5 > d.size()) { ok = false; break; }
        const size_t off = (size_t(d[pos + 1]) << 8) | d[pos + 2];
        const size_t len = (size_t(d[pos + 3]) << 8) | d[pos + 4];
        if (off + len > d.size()) { ok = false; break; }
        if (token == 1 && len >= 1) encryption = d[off];
        pos += 5;
    }
    if (!ok) {
        FState.Log("connection " + std::to_string(FSpid) + ": malformed PRELOGIN; closing");
        return false;
    }
    // Options: VERSION, ENCRYPTION, INSTOPT, THREADID, MARS.
    const uint8_t version[6] = {15, 0, 0x07, 0xD0, 0, 0};
    std::vector<uint8_t> body;
    struct TOpt { uint8_t Token; std::vector<uint8_t> Value; };
    const std::vector<TOpt> opts = {{0, {version, version + 6}}, {1, {2}}, {2, {0}}, {3, {}}, {4, {0}}};
    size_t offset = opts.size() * 5 + 1;
    for (const auto& o : opts) {
        body.push_back(o.Token);
        body.push_back(uint8_t(offset >> 8));
        body.push_back(uint8_t(offset & 0xFF));
        body.push_back(uint8_t(o.Value.size() >> 8));
        body.push_back(uint8_t(o.Value.size() & 0xFF));
        offset += o.Value.size();
    }
    body.push_back(0xFF);
    for (const auto& o : opts) body.insert(body.end(), o.Value.begin(), o.Value.end());
    FWire.Bytes(body.data(), body.size());
    FWire.EndReply();
    if (encryption == 1 || encryption == 3) {
        // The client wants encryption (ENCRYPT_ON or ENCRYPT_REQ), which the sandbox
        // does not offer: the answer says so (ENCRYPT_NOT_SUP), the log tells why,
        // and the connection ends, as the protocol has it for this pair.
        FState.Log("connection " + std::to_string(FSpid) +
                   ": refused: the client requires encryption, which the sandbox does not support "
                   "(connect with encryption off, e.g. Encrypt=no / encryption = off)");
        return false;
    }
    return true;
}

void TSession::LoginFailed(const std::string& text, int number, int severity)
{
    Message(true, number, severity, 1, text, 1);
    FPending = false;
    Done(kDoneError, 0, 0);
    FlushPendingDone(false);
    FWire.EndReply();
}

bool TSession::Login(const TTdsWire::TMessage& msg)
{
    const auto& d = msg.Data;
    const std::string who = "connection " + std::to_string(FSpid);
    if (d.size() < 86 || msg.TooLarge) {
        FState.Log(who + ": LOGIN7 too short; closing");
        return false;
    }
    auto u16 = [&](size_t p) { return size_t(d[p]) | (size_t(d[p + 1]) << 8); };
    auto u32 = [&](size_t p) { return uint32_t(d[p]) | (uint32_t(d[p + 1]) << 8) | (uint32_t(d[p + 2]) << 16) | (uint32_t(d[p + 3]) << 24); };
    const uint32_t clientVersion = u32(4);
    const uint32_t packetSize = u32(8);
    const uint8_t flags2 = d[25];
    bool bad = false;
    auto field = [&](size_t at, bool password) -> std::string {
        const size_t off = u16(at), chars = u16(at + 2);
        if (chars > 128 * 4 || off + chars * 2 > d.size()) {
            bad = true;
            return {};
        }
        std::vector<uint8_t> raw(d.begin() + long(off), d.begin() + long(off + chars * 2));
        if (password)
            for (auto& b : raw) {
                b ^= 0xA5;
                b = uint8_t((b << 4) | (b >> 4));
            }
        return Utf16ToUtf8(raw.data(), chars);
    };
    const std::string user = field(40, false);
    const std::string password = field(44, true);
    const std::string database = field(68, false);
    const std::string app = field(48, false);
    if (bad) {
        FState.Log(who + ": LOGIN7 with impossible field lengths; closing");
        return false;
    }
    if (clientVersion >= 0x74000004) FTdsVersion = 0x74000004;
    else if (clientVersion >= 0x730B0003) FTdsVersion = 0x730B0003;
    else if (clientVersion >= 0x730A0003) FTdsVersion = 0x730A0003;
    else if (clientVersion >= 0x72090002) FTdsVersion = 0x72090002;
    else if (clientVersion >= 0x71000000) FTdsVersion = 0x71000001;
    else {
        FTdsVersion = 0x71000001;
        LoginFailed("The TDS protocol version of the client is not supported (TDS 7.1 to 7.4 are).", 18456, 14);
        FState.Log(who + ": client TDS version " + std::to_string(clientVersion) + " refused");
        return false;
    }
    FState.Verbose(who + ": LOGIN7 user=" + user + " database=" + database + " app=" + app);
    if (flags2 & 0x80) {
        LoginFailed("Login failed. The login is from an untrusted domain and cannot be used with Integrated authentication.", 18452, 14);
        return false;
    }
    if (!FState.CheckLogin(user, password)) {
        LoginFailed("Login failed for user '" + user + "'.", 18456, 14);
        FState.Log(who + ": login failed for user '" + user + "'");
        return false;
    }
    FUser = user;
    FFunctions.UserName = user;
    const std::string wanted = database.empty() ? "master" : database;
    const auto stored = FState.FindDatabase(wanted);
    std::string error;
    if (!stored || !OpenDatabase(*stored, error)) {
        Message(true, 4060, 11, 1, "Cannot open database \"" + wanted + "\" requested by the login. The login failed.", 1);
        LoginFailed("Login failed for user '" + user + "'.", 18456, 14);
        FState.Log(who + ": login to missing database '" + wanted + "' refused" + (error.empty() ? "" : ": " + error));
        return false;
    }
    EnvChange(1, FDatabase, "master");
    Message(false, 5701, 0, 2, "Changed database context to '" + FDatabase + "'.", 1);
    {
        // Collation: SQL_Latin1_General_CP1_CI_AS
        auto& out = FWire.Out();
        FWire.U8(0xE3);
        FWire.U16(1 + 1 + 5 + 1);
        FWire.U8(7);
        FWire.U8(5);
        const uint8_t coll[5] = {0x09, 0x04, 0xD0, 0x00, 0x34};
        FWire.Bytes(coll, 5);
        FWire.U8(0);
        (void)out;
    }
    EnvChange(2, "us_english", "");
    Message(false, 5703, 0, 1, "Changed language setting to us_english.", 1);
    LoginAck();
    const int size = packetSize == 0 ? 4096 : int(std::clamp<uint32_t>(packetSize, 512, 32767));
    EnvChange(4, std::to_string(size), std::to_string(size));
    FPending = false;
    Done(0, 0, 0);
    FlushPendingDone(false);
    FWire.EndReply();
    FWire.SetPacketSize(size);
    FState.Verbose(who + ": logged in as " + user + " to " + FDatabase);
    return true;
}

void TSession::LoginAck()
{
    const std::string name = kProgName;
    FWire.U8(0xAD);
    FWire.U16(uint16_t(1 + 4 + 1 + name.size() * 2 + 4));
    FWire.U8(1);
    FWire.U8(uint8_t(FTdsVersion >> 24));
    FWire.U8(uint8_t(FTdsVersion >> 16));
    FWire.U8(uint8_t(FTdsVersion >> 8));
    FWire.U8(uint8_t(FTdsVersion));
    FWire.BVarChar(name);
    FWire.U8(15);
    FWire.U8(0);
    FWire.U8(0x07);
    FWire.U8(0xD0);
}

// The catalogue views that T-SQL scripts ask for, over SQLite's own catalogue.
// They are temporary: every connection makes its own, nothing lands in the file.
void TSession::CreateCatalogViews(sqlite3* db)
{
    static const char* const sql =
        "PRAGMA temp_store=MEMORY;"
        "CREATE TEMP VIEW \"sys.objects\" AS SELECT name, rowid + 1000 AS object_id, "
        "  CASE type WHEN 'table' THEN 'U' ELSE 'V' END AS type, "
        "  CASE type WHEN 'table' THEN 'USER_TABLE' ELSE 'VIEW' END AS type_desc, 1 AS schema_id "
        "  FROM main.sqlite_master WHERE type IN ('table', 'view') AND name NOT LIKE 'sqlite_%';"
        "CREATE TEMP VIEW \"sys.tables\" AS SELECT name, object_id, type, type_desc, schema_id FROM \"sys.objects\" WHERE type = 'U';"
        "CREATE TEMP VIEW \"sys.views\" AS SELECT name, object_id, type, type_desc, schema_id FROM \"sys.objects\" WHERE type = 'V';"
        "CREATE TEMP VIEW \"sys.columns\" AS SELECT m.rowid + 1000 AS object_id, p.name AS name, p.cid + 1 AS column_id, "
        "  CASE p.\"notnull\" WHEN 0 THEN 1 ELSE 0 END AS is_nullable "
        "  FROM main.sqlite_master m, pragma_table_info(m.name, 'main') p WHERE m.type IN ('table', 'view');"
        "CREATE TEMP VIEW \"sys.schemas\" AS SELECT 'dbo' AS name, 1 AS schema_id;"
        "CREATE TEMP VIEW \"information_schema.tables\" AS SELECT DB_NAME() AS TABLE_CATALOG, 'dbo' AS TABLE_SCHEMA, "
        "  name AS TABLE_NAME, CASE type WHEN 'U' THEN 'BASE TABLE' ELSE 'VIEW' END AS TABLE_TYPE FROM \"sys.objects\";"
        "CREATE TEMP VIEW \"information_schema.columns\" AS SELECT DB_NAME() AS TABLE_CATALOG, 'dbo' AS TABLE_SCHEMA, "
        "  m.name AS TABLE_NAME, p.name AS COLUMN_NAME, p.cid + 1 AS ORDINAL_POSITION, p.dflt_value AS COLUMN_DEFAULT, "
        "  CASE p.\"notnull\" WHEN 0 THEN 'YES' ELSE 'NO' END AS IS_NULLABLE, "
        "  lower(CASE WHEN instr(p.type, '(') > 0 THEN substr(p.type, 1, instr(p.type, '(') - 1) ELSE p.type END) AS DATA_TYPE "
        "  FROM main.sqlite_master m, pragma_table_info(m.name, 'main') p WHERE m.type IN ('table', 'view');"
        "CREATE TEMP TABLE \"sys.databases\" (name, database_id, state_desc);";
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        FState.Log(std::string("cannot create the catalogue views: ") + (msg ? msg : "?"));
        sqlite3_free(msg);
    }
}

void TSession::RefreshDatabaseList()
{
    std::string sql = "DELETE FROM temp.\"sys.databases\";";
    int id = 0;
    for (const auto& name : FState.ListDatabases()) {
        ++id;
        sql += "INSERT INTO temp.\"sys.databases\" VALUES (" + Quote(name) + ", " +
               std::to_string(ToLower(name) == "master" ? 1 : id + 4) + ", 'ONLINE');";
    }
    sqlite3_exec(FDb, sql.c_str(), nullptr, nullptr, nullptr);
}

bool TSession::OpenDatabase(const std::string& storedName, std::string& error)
{
    sqlite3* db = nullptr;
    const std::string path = FState.DatabasePath(storedName);
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_handler(db, BusyHandler, &FAborted);
    sqlite3_exec(db, "PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
        const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        const bool wal = mode && std::string(mode) == "wal";
        sqlite3_finalize(st);
        st = nullptr;
        if (!wal) sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    }
    sqlite3_finalize(st);
    RegisterFunctions(db, &FFunctions);
    CreateCatalogViews(db);
    sqlite3_progress_handler(db, 50000, &TSession::ProgressHandler, this);
    CloseDatabase();
    {
        std::lock_guard lock(FDbMutex);
        FDb = db;
    }
    FDatabase = storedName;
    FFunctions.DatabaseName = storedName;
    FState.UseDatabase(storedName, +1);
    return true;
}

void TSession::CloseDatabase()
{
    sqlite3* db = nullptr;
    {
        // Abort() interrupts through FDb under this lock; take the handle out first.
        std::lock_guard lock(FDbMutex);
        db = FDb;
        FDb = nullptr;
    }
    if (!db) return;
    // Statements left behind by a connection that broke mid-result go first:
    // while one is open the connection could not really close, and would keep
    // its transaction and locks. Closing then rolls an open transaction back.
    sqlite3_progress_handler(db, 0, nullptr, nullptr);
    while (sqlite3_stmt* st = sqlite3_next_stmt(db, nullptr)) sqlite3_finalize(st);
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (sqlite3_close(db) != SQLITE_OK) sqlite3_close_v2(db);
    FTranCount = 0;
    FSavepoints.clear();
    // Outside FDbMutex: the server state's lock is taken before FDbMutex by KILL.
    FState.UseDatabase(FDatabase, -1);
}

// ---- reply tokens ------------------------------------------------------------

void TSession::FlushPendingDone(bool more)
{
    if (!FPending) return;
    FPending = false;
    FWire.U8(FPendingToken);
    FWire.U16(uint16_t(FPendingStatus | (more ? kDoneMore : 0)));
    FWire.U16(FPendingCmd);
    if (Tds72()) FWire.U64(FPendingCount);
    else FWire.U32(uint32_t(FPendingCount));
}

void TSession::Done(uint16_t status, uint16_t curCmd, uint64_t count)
{
    FlushPendingDone(true);
    FPending = true;
    FPendingToken = FProcDepth > 0 ? 0xFF : 0xFD;
    FPendingStatus = status;
    FPendingCmd = curCmd;
    FPendingCount = count;
}

void TSession::Message(bool error, int number, int severity, int state, const std::string& text, int line)
{
    FlushPendingDone(true);
    auto& out = FWire.Out();
    FWire.U8(error ? 0xAA : 0xAB);
    const size_t lenPos = out.size();
    FWire.U16(0);
    FWire.U32(uint32_t(number));
    FWire.U8(uint8_t(state));
    FWire.U8(uint8_t(severity));
    FWire.USVarChar(text.size() > 4000 ? text.substr(0, 4000) : text);
    FWire.BVarChar(FState.ServerName());
    FWire.BVarChar("");
    if (Tds72()) FWire.U32(uint32_t(line));
    else FWire.U16(uint16_t(line));
    const size_t len = out.size() - lenPos - 2;
    out[lenPos] = uint8_t(len & 0xFF);
    out[lenPos + 1] = uint8_t(len >> 8);
    if (error) FBatchError = true;
}

void TSession::EnvChange(uint8_t type, const std::string& newValue, const std::string& oldValue)
{
    FlushPendingDone(true);
    auto& out = FWire.Out();
    FWire.U8(0xE3);
    const size_t lenPos = out.size();
    FWire.U16(0);
    FWire.U8(type);
    FWire.BVarChar(newValue);
    FWire.BVarChar(oldValue);
    const size_t len = out.size() - lenPos - 2;
    out[lenPos] = uint8_t(len & 0xFF);
    out[lenPos + 1] = uint8_t(len >> 8);
}

void TSession::EnvTransaction(uint8_t type)
{
    if (!Tds72()) return;
    FlushPendingDone(true);
    uint8_t id[8];
    for (int i = 0; i < 8; ++i) id[i] = uint8_t(FTranId >> (8 * i));
    FWire.U8(0xE3);
    FWire.U16(1 + 1 + 8 + 1);
    FWire.U8(type);
    if (type == 8) {
        FWire.U8(8);
        FWire.Bytes(id, 8);
        FWire.U8(0);
    } else {
        FWire.U8(0);
        FWire.U8(8);
        FWire.Bytes(id, 8);
    }
}

int TSession::ProgressHandler(void* session)
{
    auto* self = static_cast<TSession*>(session);
    if (self->FAborted) return 1;
    if (!self->FWatchCancel) return 0;
    try {
        return self->FWire.PollAttention(0) ? 1 : 0;
    } catch (...) {
        // No exception may cross SQLite; the statement ends and the caller learns why.
        self->FClientGone = true;
        return 1;
    }
}

bool TSession::CancelledBy(int rc)
{
    if ((rc & 0xFF) != SQLITE_INTERRUPT) return false;
    if (FAborted) throw TDisconnect("ended by KILL");
    if (FClientGone) throw TDisconnect("client went away during a statement");
    return FWire.AttentionSeen();
}

bool TSession::CheckAttention()
{
    if (FAborted) throw TDisconnect("ended by KILL");
    return FWire.PollAttention(0);
}

// ---- requests ----------------------------------------------------------------

bool TSession::SkipAllHeaders(const std::vector<uint8_t>& d, size_t& pos)
{
    pos = 0;
    if (!Tds72()) return true;
    if (d.size() < 4) return false;
    const uint32_t total = uint32_t(d[0]) | (uint32_t(d[1]) << 8) | (uint32_t(d[2]) << 16) | (uint32_t(d[3]) << 24);
    if (total < 4 || total > d.size()) return false;
    pos = total;
    return true;
}

void TSession::SqlBatch(const TTdsWire::TMessage& msg)
{
    FBatchError = false;
    if (msg.TooLarge) {
        Message(true, 8623, 16, 1,
                "The batch is larger than the " + std::to_string(kMaxRequest >> 20) + " MB that the sandbox accepts in one request.", 1);
        FPending = false;
        Done(kDoneError, 0, 0);
        FlushPendingDone(false);
        FWire.EndReply();
        FState.Log("connection " + std::to_string(FSpid) + ": refused a batch larger than the request limit");
        return;
    }
    size_t pos = 0;
    if (!SkipAllHeaders(msg.Data, pos)) {
        Message(true, 4002, 16, 1, "The incoming tabular data stream (TDS) protocol stream is incorrect. The stream ended unexpectedly.", 1);
        FPending = false;
        Done(kDoneError, 0, 0);
        FlushPendingDone(false);
        FWire.EndReply();
        FState.Log("connection " + std::to_string(FSpid) + ": SQL batch with bad ALL_HEADERS");
        return;
    }
    const size_t units = (msg.Data.size() - pos) / 2;
    const std::string sql = Utf16ToUtf8(msg.Data.data() + pos, units);
    FState.Verbose("connection " + std::to_string(FSpid) + ": batch: " + sql.substr(0, 500));
    RunBatch(sql);
}

void TSession::Rpc(const TTdsWire::TMessage& msg)
{
    FPending = false;
    FBatchError = false;
    const auto& d = msg.Data;
    size_t pos = 0;
    auto finish = [&](TFlow flow, bool ok) {
        if (flow == TFlow::Cancelled) {
            SyncTranState();
            FlushPendingDone(true);
            Done(kDoneAttn, 0, 0);
            FlushPendingDone(false);
        } else {
            FlushPendingDone(true);
            FWire.U8(0x79);
            FWire.U32(ok ? 0 : 1);
            FWire.U8(0xFE);
            FWire.U16(ok ? 0 : kDoneError);
            FWire.U16(0xE0);
            if (Tds72()) FWire.U64(0);
            else FWire.U32(0);
        }
        FWire.EndReply();
    };
    auto fail = [&](int number, const std::string& text) {
        ++FProcDepth;
        Message(true, number, 16, 1, text, 1);
        --FProcDepth;
        finish(TFlow::Next, false);
    };
    if (msg.TooLarge) { fail(8623, "The request is larger than the sandbox accepts."); return; }
    if (!SkipAllHeaders(d, pos) || pos + 2 > d.size()) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
    const size_t nameLen = size_t(d[pos] | (d[pos + 1] << 8));
    pos += 2;
    std::string proc;
    int procId = 0;
    if (nameLen == 0xFFFF) {
        if (pos + 2 > d.size()) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
        procId = d[pos] | (d[pos + 1] << 8);
        pos += 2;
        if (procId == 10) proc = "sp_executesql";
    } else {
        if (pos + nameLen * 2 > d.size()) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
        proc = Utf16ToUtf8(d.data() + pos, nameLen);
        pos += nameLen * 2;
    }
    pos += 2;   // option flags
    FState.Verbose("connection " + std::to_string(FSpid) + ": RPC " + (proc.empty() ? "#" + std::to_string(procId) : proc));
    std::string lower = ToLower(proc);
    if (const auto dot = lower.rfind('.'); dot != std::string::npos) lower = lower.substr(dot + 1);
    if (lower == "sp_mshasdbaccess") {
        ++FProcDepth;
        const TFlow flow = HasDbAccess(1);
        --FProcDepth;
        finish(flow, true);
        return;
    }
    if (lower != "sp_executesql") {
        fail(2812, proc.empty() ? "The sandbox does not support the RPC procedure with id " + std::to_string(procId) + "."
                                : "Could not find stored procedure '" + proc + "'.");
        return;
    }
    // First parameter: the statement text, as NVARCHAR / NCHAR / NTEXT.
    if (pos >= d.size()) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
    pos += 1 + size_t(d[pos]) * 2;   // parameter name
    pos += 1;                         // status flags
    if (pos >= d.size()) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
    const uint8_t type = d[pos++];
    std::string sql;
    auto need = [&](size_t n) { return pos + n <= d.size(); };
    if (type == 0xE7 || type == 0xEF) {
        if (!need(7)) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
        const size_t maxLen = size_t(d[pos] | (d[pos + 1] << 8));
        pos += 7;
        if (maxLen == 0xFFFF) {
            if (!need(8)) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
            pos += 8;
            std::vector<uint8_t> text;
            for (;;) {
                if (!need(4)) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
                const uint32_t chunk = uint32_t(d[pos]) | (uint32_t(d[pos + 1]) << 8) | (uint32_t(d[pos + 2]) << 16) | (uint32_t(d[pos + 3]) << 24);
                pos += 4;
                if (chunk == 0) break;
                if (!need(chunk)) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
                text.insert(text.end(), d.begin() + long(pos), d.begin() + long(pos + chunk));
                pos += chunk;
            }
            sql = Utf16ToUtf8(text.data(), text.size() / 2);
        } else {
            if (!need(2)) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
            const size_t len = size_t(d[pos] | (d[pos + 1] << 8));
            pos += 2;
            if (len != 0xFFFF) {
                if (!need(len)) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
                sql = Utf16ToUtf8(d.data() + pos, len / 2);
                pos += len;
            }
        }
    } else if (type == 0x63) {
        if (!need(4 + 5)) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
        pos += 9;
        if (!need(4)) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
        const uint32_t len = uint32_t(d[pos]) | (uint32_t(d[pos + 1]) << 8) | (uint32_t(d[pos + 2]) << 16) | (uint32_t(d[pos + 3]) << 24);
        pos += 4;
        if (!need(len)) { fail(4002, "The incoming tabular data stream (TDS) protocol stream is incorrect."); return; }
        sql = Utf16ToUtf8(d.data() + pos, len / 2);
        pos += len;
    } else {
        fail(214, "Procedure expects parameter '@statement' of type 'ntext/nchar/nvarchar'.");
        return;
    }
    if (pos < d.size() && d[pos] != 0x80 && d[pos] != 0xFF) {
        fail(50000, "The sandbox does not support sp_executesql with parameters.");
        return;
    }
    std::vector<TToken> tokens;
    TSqlError error;
    ++FProcDepth;
    TFlow flow = TFlow::Next;
    if (!Tokenize(sql, tokens, error)) flow = Fail(error);
    else flow = RunStatements(tokens, 0, tokens.size());
    --FProcDepth;
    finish(flow, !FBatchError);
}

}  // namespace tds
