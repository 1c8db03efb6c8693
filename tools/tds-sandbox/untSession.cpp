#include "untSession.h"

#include "untServerState.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <sys/socket.h>

namespace tds {

namespace {

constexpr size_t kMaxRequest = 8u << 20;           // bytes of one request message
constexpr int kBusyTimeoutMs = 30000;               // writers wait this long for each other
constexpr uint16_t kDoneMore = 0x01, kDoneError = 0x02, kDoneCount = 0x10, kDoneAttn = 0x20;
constexpr const char* kProgName = "Microsoft SQL Server";

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

// SQLite's message turned into the error SQL Server gives for the same fault.
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

// Finalizes a statement however its scope ends (a broken connection throws).
struct TStmtGuard {
    sqlite3_stmt*& St;
    ~TStmtGuard() {
        sqlite3_finalize(St);
        St = nullptr;
    }
};

}  // namespace

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
        while (!FAborted && FWire.ReadMessage(msg, kMaxRequest)) {
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
    if (encryption == 3) {
        // The client demands encryption, which the sandbox does not offer: it is told
        // so (ENCRYPT_NOT_SUP) and the connection ends.
        FState.Log("connection " + std::to_string(FSpid) + ": client requires encryption, which the sandbox does not support; closing");
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
    std::vector<TToken> sub(tokens.begin() + long(first), tokens.begin() + long(last));
    for (const auto& range : SplitStatements(sub)) {
        if (CheckAttention()) return TFlow::Cancelled;
        const TFlow flow = Statement(sub, range.First, range.Last);
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
    rc = sqlite3_step(st);
    if (ncol > 0) {
        const TFlow flow = StreamResult(st, rc, line);
        return flow;
    }
    while (rc == SQLITE_ROW) rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) {
        const TSqlError e = MapSqliteError(FDb, rc, verb, FDatabase, line);
        if ((rc & 0xFF) == SQLITE_INTERRUPT) throw TDisconnect("ended by KILL");
        sqlite3_finalize(st);
        st = nullptr;
        return Fail(e);
    }
    const bool counts = verb == "INSERT" || verb == "UPDATE" || verb == "DELETE" || verb == "TRUNCATE" || verb == "MERGE" ||
                        verb == "REPLACE";
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
        if ((rc & 0xFF) == SQLITE_INTERRUPT) throw TDisconnect("ended by KILL");
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
        if ((rc & 0xFF) == SQLITE_INTERRUPT) throw TDisconnect("ended by KILL");
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
        std::string spec = "%";
        while (j < fmt.size() && std::strchr("-+ 0#", fmt[j])) spec.push_back(fmt[j++]);
        while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j]))) spec.push_back(fmt[j++]);
        if (j < fmt.size() && fmt[j] == '.') {
            spec.push_back(fmt[j++]);
            while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j]))) spec.push_back(fmt[j++]);
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
            std::snprintf(buf, sizeof buf, (spec + "s").c_str(), arg.c_str());
        } else {
            const long long v = isNum ? std::atoll(arg.c_str()) : 0;
            std::string s2 = spec + "ll" + conv;
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
    bool withLog = false;
    for (size_t k = close + 1; k < last; ++k)
        if (T[k].Is("LOG")) withLog = true;
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
    if (rc != SQLITE_ROW) return Fail(MapSqliteError(FDb, rc, "SET", FDatabase, line));
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
    if (rc != SQLITE_DONE) return Fail(MapSqliteError(FDb, rc, "SELECT", FDatabase, line));
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

// ---- transactions --------------------------------------------------------------

bool TSession::BeginTran(std::string& error)
{
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
    if (!sqlite3_get_autocommit(FDb)) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    FTranCount = 0;
    FSavepoints.clear();
    EnvTransaction(10);
}

void TSession::SyncTranState()
{
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

void TSession::Rpc(const TTdsWire::TMessage& msg)
{
    FPending = false;
    FBatchError = false;
    const auto& d = msg.Data;
    size_t pos = 0;
    auto finish = [&](TFlow flow, bool ok) {
        if (flow == TFlow::Cancelled) {
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
