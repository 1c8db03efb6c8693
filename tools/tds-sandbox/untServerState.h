#pragma once
// Process-wide state of the sandbox: options, logins, the data folder with its
// database files, the registry of live sessions (for KILL and shutdown) and the
// log. All members are safe to use from every connection thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tds {

class TSession;

struct TServerOptions {
    std::string DataDir;
    std::string Host = "127.0.0.1";
    int Port = 0;
    std::vector<std::pair<std::string, std::string>> Logins;   // user, password
    int LatencyMs = 0;
    bool Verbose = false;
};

class TServerState {
public:
    explicit TServerState(TServerOptions options);

    const TServerOptions& Options() const { return FOptions; }
    std::string ServerName() const { return "TDS-SANDBOX"; }

    bool CheckLogin(const std::string& user, const std::string& password) const;

    // Databases are DataDir/<name>.db; names compare without regard to case.
    // Returns the stored spelling of an existing database.
    std::optional<std::string> FindDatabase(const std::string& name) const;
    std::string DatabasePath(const std::string& storedName) const;
    std::vector<std::string> ListDatabases() const;   // sorted, case-insensitively
    static bool ValidDatabaseName(const std::string& name);
    // Creates the empty database file; false with a reason when it cannot.
    bool CreateDatabase(const std::string& name, std::string& error);
    // Removes the file unless some session uses the database.
    enum class TDropResult { Dropped, Missing, InUse, System, Failed };
    TDropResult DropDatabase(const std::string& name, std::string& storedName);

    // Sessions: registered while connected; a number per session (the SPID).
    uint16_t Register(TSession* session);
    void Unregister(uint16_t spid);
    // Ends another session at once; false when no such session.
    bool Kill(uint16_t spid);
    void KillAll();
    void UseDatabase(const std::string& storedName, int delta);

    void Log(const std::string& line) const;
    void Verbose(const std::string& line) const;

private:
    TServerOptions FOptions;
    mutable std::mutex FMutex;
    std::map<uint16_t, TSession*> FSessions;
    std::map<std::string, int> FInUse;   // lower-case database name -> sessions using it
    uint16_t FNextSpid = 51;
    mutable std::mutex FLogMutex;
};

std::string ToLower(std::string s);
std::string ToUpper(std::string s);

}  // namespace tds
