#include "untServerState.h"

#include "untSession.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <iostream>

#include <unistd.h>

#include <sqlite3.h>

namespace fs = std::filesystem;

namespace tds {

std::string ToLower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

std::string ToUpper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

TServerState::TServerState(TServerOptions options) : FOptions(std::move(options))
{
    if (FOptions.Logins.empty())
        FOptions.Logins.emplace_back("sa", "Sandbox-2026");
}

bool TServerState::CheckLogin(const std::string& user, const std::string& password) const
{
    for (const auto& [u, p] : FOptions.Logins)
        if (ToLower(u) == ToLower(user) && p == password)
            return true;
    return false;
}

bool TServerState::ValidDatabaseName(const std::string& name)
{
    if (name.empty() || name.size() > 128)
        return false;
    if (name == "." || name == "..")
        return false;
    for (unsigned char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-' || c == ' ' || c == '$' || c == '#' || c == '@' || c >= 0x80;
        if (!ok)
            return false;
    }
    return name.front() != ' ' && name.back() != ' ';
}

std::optional<std::string> TServerState::FindDatabase(const std::string& name) const
{
    if (!ValidDatabaseName(name))
        return std::nullopt;
    const std::string want = ToLower(name);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(FOptions.DataDir, ec)) {
        if (!entry.is_regular_file(ec) || entry.path().extension() != ".db")
            continue;
        const std::string stem = entry.path().stem().string();
        if (ToLower(stem) == want)
            return stem;
    }
    return std::nullopt;
}

std::string TServerState::DatabasePath(const std::string& storedName) const
{
    return (fs::path(FOptions.DataDir) / (storedName + ".db")).string();
}

std::vector<std::string> TServerState::ListDatabases() const
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(FOptions.DataDir, ec)) {
        if (!entry.is_regular_file(ec) || entry.path().extension() != ".db")
            continue;
        const std::string stem = entry.path().stem().string();
        if (ValidDatabaseName(stem))
            names.push_back(stem);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return ToLower(a) < ToLower(b); });
    return names;
}

bool TServerState::CreateDatabase(const std::string& name, std::string& error)
{
    std::lock_guard lock(FMutex);
    if (FindDatabase(name)) {
        error = "exists";
        return false;
    }
    sqlite3* db = nullptr;
    const std::string path = DatabasePath(name);
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA user_version=1;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "cannot open";
        sqlite3_close(db);
        std::error_code ec;
        fs::remove(path, ec);
        return false;
    }
    sqlite3_close(db);
    return true;
}

TServerState::TDropResult TServerState::DropDatabase(const std::string& name, std::string& storedName)
{
    std::lock_guard lock(FMutex);
    const auto found = FindDatabase(name);
    if (!found)
        return TDropResult::Missing;
    storedName = *found;
    if (ToLower(storedName) == "master")
        return TDropResult::System;
    const auto it = FInUse.find(ToLower(storedName));
    if (it != FInUse.end() && it->second > 0)
        return TDropResult::InUse;
    std::error_code ec;
    const std::string path = DatabasePath(storedName);
    if (!fs::remove(path, ec))
        return TDropResult::Failed;
    fs::remove(path + "-wal", ec);
    fs::remove(path + "-shm", ec);
    fs::remove(path + "-journal", ec);
    return TDropResult::Dropped;
}

void TServerState::UseDatabase(const std::string& storedName, int delta)
{
    std::lock_guard lock(FMutex);
    FInUse[ToLower(storedName)] += delta;
}

uint16_t TServerState::Register(TSession* session)
{
    std::lock_guard lock(FMutex);
    for (int tries = 0; tries < 65000; ++tries) {
        const uint16_t spid = FNextSpid;
        FNextSpid = FNextSpid >= 32000 ? 51 : uint16_t(FNextSpid + 1);
        if (!FSessions.count(spid)) {
            FSessions[spid] = session;
            return spid;
        }
    }
    return 0;
}

void TServerState::Unregister(uint16_t spid)
{
    std::lock_guard lock(FMutex);
    FSessions.erase(spid);
}

bool TServerState::Kill(uint16_t spid)
{
    std::lock_guard lock(FMutex);
    const auto it = FSessions.find(spid);
    if (it == FSessions.end())
        return false;
    it->second->Abort();
    return true;
}

void TServerState::KillAll()
{
    std::lock_guard lock(FMutex);
    for (auto& [spid, session] : FSessions)
        session->Abort();
}

void TServerState::Log(const std::string& line) const
{
    std::lock_guard lock(FLogMutex);
    std::cerr << "tds-sandbox: " << line << std::endl;
    // TDS_SANDBOX_LOG names a file that receives the log too (for sandboxes started by tests).
    static const char* file = std::getenv("TDS_SANDBOX_LOG");
    if (file && *file) {
        if (FILE* f = std::fopen(file, "a")) {
            std::fprintf(f, "[%d] %s\n", int(::getpid()), line.c_str());
            std::fclose(f);
        }
    }
}

void TServerState::Verbose(const std::string& line) const
{
    static const bool fromEnvironment = std::getenv("TDS_SANDBOX_LOG") != nullptr;
    if (FOptions.Verbose || fromEnvironment)
        Log(line);
}

}  // namespace tds
