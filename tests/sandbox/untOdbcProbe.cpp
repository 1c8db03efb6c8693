#include "untOdbcProbe.h"

#include <cstring>

std::vector<TOdbcResult> TOdbcBatch::Sets() const
{
    std::vector<TOdbcResult> out;
    for (const auto& r : Results)
        if (!r.Columns.empty()) out.push_back(r);
    return out;
}

bool TOdbcBatch::HasNative(int native) const
{
    for (const auto& d : Diags)
        if (d.Native == native) return true;
    return false;
}

std::string TOdbcBatch::DiagText() const
{
    std::string out;
    for (const auto& d : Diags) out += "[" + d.State + "/" + std::to_string(d.Native) + "] " + d.Text + "\n";
    return out;
}

TOdbcProbe::TOdbcProbe()
{
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &FEnv);
    SQLSetEnvAttr(FEnv, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, FEnv, &FDbc);
}

TOdbcProbe::~TOdbcProbe()
{
    Disconnect();
    SQLFreeHandle(SQL_HANDLE_DBC, FDbc);
    SQLFreeHandle(SQL_HANDLE_ENV, FEnv);
}

std::string TOdbcProbe::ConnStr(int port, const std::string& database, const std::string& user,
                                const std::string& password, const std::string& tdsVersion)
{
    std::string s = "Driver={FreeTDS};Server=127.0.0.1;Port=" + std::to_string(port) + ";UID=" + user + ";PWD={" + password +
                    "};TDS_Version=" + tdsVersion + ";";
    if (!database.empty()) s += "Database=" + database + ";";
    return s;
}

void TOdbcProbe::Collect(SQLSMALLINT type, SQLHANDLE handle, std::vector<TOdbcDiag>& out)
{
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[8] = {0};
        SQLINTEGER native = 0;
        SQLCHAR text[4096] = {0};
        SQLSMALLINT len = 0;
        const SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, text, sizeof text, &len);
        if (!SQL_SUCCEEDED(rc)) break;
        out.push_back({reinterpret_cast<char*>(state), int(native), reinterpret_cast<char*>(text)});
    }
}

bool TOdbcProbe::Connect(const std::string& connStr, std::vector<TOdbcDiag>* diags)
{
    SQLSetConnectAttr(FDbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
    SQLCHAR out[1024];
    SQLSMALLINT outLen = 0;
    const SQLRETURN rc = SQLDriverConnect(FDbc, nullptr, (SQLCHAR*)connStr.c_str(), SQL_NTS, out, sizeof out, &outLen,
                                          SQL_DRIVER_NOPROMPT);
    std::vector<TOdbcDiag> local;
    Collect(SQL_HANDLE_DBC, FDbc, diags ? *diags : local);
    if (!SQL_SUCCEEDED(rc)) return false;
    FConnected = true;
    SQLAllocHandle(SQL_HANDLE_STMT, FDbc, &FStmt);
    return true;
}

void TOdbcProbe::Disconnect()
{
    if (FStmt != SQL_NULL_HSTMT) {
        SQLFreeHandle(SQL_HANDLE_STMT, FStmt);
        FStmt = SQL_NULL_HSTMT;
    }
    if (FConnected) {
        SQLDisconnect(FDbc);
        FConnected = false;
    }
}

TOdbcBatch TOdbcProbe::Exec(const std::string& sql)
{
    SQLFreeStmt(FStmt, SQL_CLOSE);
    return Gather(SQLExecDirect(FStmt, (SQLCHAR*)sql.c_str(), SQL_NTS));
}

TOdbcBatch TOdbcProbe::ExecWithParameter(const std::string& sql, int value)
{
    SQLFreeStmt(FStmt, SQL_CLOSE);
    SQLFreeStmt(FStmt, SQL_RESET_PARAMS);
    SQLINTEGER bound = value;   // read by the driver during SQLExecDirect only
    SQLLEN ind = 0;
    SQLBindParameter(FStmt, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &bound, 0, &ind);
    TOdbcBatch batch = Gather(SQLExecDirect(FStmt, (SQLCHAR*)sql.c_str(), SQL_NTS));
    SQLFreeStmt(FStmt, SQL_RESET_PARAMS);
    return batch;
}

TOdbcBatch TOdbcProbe::Gather(SQLRETURN rc)
{
    TOdbcBatch batch;
    for (;;) {
        if (rc == SQL_NO_DATA) {
            // A statement without rows or count (for example PRINT only).
            Collect(SQL_HANDLE_STMT, FStmt, batch.Diags);
        } else {
            if (rc == SQL_ERROR) batch.Ok = false;
            Collect(SQL_HANDLE_STMT, FStmt, batch.Diags);
            if (rc == SQL_INVALID_HANDLE) { batch.Ok = false; break; }
            TOdbcResult result;
            SQLSMALLINT ncol = 0;
            SQLNumResultCols(FStmt, &ncol);
            if (ncol > 0) {
                for (SQLSMALLINT c = 1; c <= ncol; ++c) {
                    SQLCHAR name[512] = {0};
                    SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
                    SQLULEN size = 0;
                    SQLDescribeCol(FStmt, c, name, sizeof name, &nameLen, &type, &size, &digits, &nullable);
                    result.Columns.push_back({reinterpret_cast<char*>(name), type, size, digits});
                }
                for (;;) {
                    const SQLRETURN f = SQLFetch(FStmt);
                    if (f == SQL_NO_DATA) break;
                    if (!SQL_SUCCEEDED(f)) {
                        batch.Ok = false;
                        Collect(SQL_HANDLE_STMT, FStmt, batch.Diags);
                        break;
                    }
                    if (f == SQL_SUCCESS_WITH_INFO) Collect(SQL_HANDLE_STMT, FStmt, batch.Diags);
                    std::vector<std::optional<std::string>> row;
                    for (SQLSMALLINT c = 1; c <= ncol; ++c) {
                        std::string value;
                        bool isNull = false;
                        for (;;) {
                            char buf[4096];
                            SQLLEN ind = 0;
                            const SQLRETURN g = SQLGetData(FStmt, c, SQL_C_CHAR, buf, sizeof buf, &ind);
                            if (g == SQL_NO_DATA) break;
                            if (!SQL_SUCCEEDED(g)) {
                                Collect(SQL_HANDLE_STMT, FStmt, batch.Diags);
                                break;
                            }
                            if (ind == SQL_NULL_DATA) { isNull = true; break; }
                            const size_t got = (ind == SQL_NO_TOTAL || ind >= SQLLEN(sizeof buf)) ? sizeof buf - 1 : size_t(ind);
                            value.append(buf, got);
                            if (g == SQL_SUCCESS) break;
                        }
                        row.push_back(isNull ? std::nullopt : std::optional<std::string>(value));
                    }
                    result.Rows.push_back(std::move(row));
                }
            } else {
                SQLRowCount(FStmt, &result.RowCount);
            }
            batch.Results.push_back(std::move(result));
        }
        rc = SQLMoreResults(FStmt);
        if (rc == SQL_NO_DATA) break;
    }
    SQLFreeStmt(FStmt, SQL_CLOSE);
    return batch;
}

bool TOdbcProbe::SetAutocommit(bool on)
{
    return SQL_SUCCEEDED(SQLSetConnectAttr(FDbc, SQL_ATTR_AUTOCOMMIT,
                                           reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0));
}

bool TOdbcProbe::EndTran(bool commit)
{
    return SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, FDbc, commit ? SQL_COMMIT : SQL_ROLLBACK));
}

void TOdbcProbe::Cancel()
{
    SQLCancel(FStmt);
}
