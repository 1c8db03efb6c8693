#pragma once
// A small ODBC client for the sandbox's tests: connects through the FreeTDS
// driver, runs one batch and collects every result set, row count and
// diagnostic message in order. Values come back as text (NULL as nullopt).

#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <string>
#include <vector>

struct TOdbcColumn {
    std::string Name;
    SQLSMALLINT Type = 0;
    SQLULEN Size = 0;
    SQLSMALLINT Digits = 0;
};

struct TOdbcResult {
    std::vector<TOdbcColumn> Columns;                           // empty: a row count only
    std::vector<std::vector<std::optional<std::string>>> Rows;
    SQLLEN RowCount = -1;
};

struct TOdbcDiag {
    std::string State;
    int Native = 0;
    std::string Text;
};

struct TOdbcBatch {
    bool Ok = true;                      // no call returned SQL_ERROR
    std::vector<TOdbcResult> Results;
    std::vector<TOdbcDiag> Diags;
    std::vector<TOdbcResult> Sets() const;   // results that have columns
    bool HasNative(int native) const;
    std::string DiagText() const;
};

class TOdbcProbe {
public:
    TOdbcProbe();
    ~TOdbcProbe();
    TOdbcProbe(const TOdbcProbe&) = delete;
    TOdbcProbe& operator=(const TOdbcProbe&) = delete;

    static std::string ConnStr(int port, const std::string& database = "", const std::string& user = "sa",
                               const std::string& password = "Sandbox-2026", const std::string& tdsVersion = "7.4");

    bool Connect(const std::string& connStr, std::vector<TOdbcDiag>* diags = nullptr);
    void Disconnect();
    TOdbcBatch Exec(const std::string& sql);
    // Runs sql with one integer parameter bound to its '?' (the driver sends an RPC).
    TOdbcBatch ExecWithParameter(const std::string& sql, int value);
    bool SetAutocommit(bool on);
    bool EndTran(bool commit);
    void Cancel();   // from another thread, while Exec runs

private:
    TOdbcBatch Gather(SQLRETURN rc);
    void Collect(SQLSMALLINT type, SQLHANDLE handle, std::vector<TOdbcDiag>& out);
    SQLHENV FEnv = SQL_NULL_HENV;
    SQLHDBC FDbc = SQL_NULL_HDBC;
    SQLHSTMT FStmt = SQL_NULL_HSTMT;
    bool FConnected = false;
};
