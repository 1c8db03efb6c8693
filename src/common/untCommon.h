// Shared records, the options in force, connection strings and small helpers.
// Nothing here depends on any other unit of the program; every unit may use it.
#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <exception>
#include <string>

// Every expected failure is an exception with a message text that names what
// failed. The message is kept as UTF-16 text; what() gives it as UTF-8.
class EOrvexaError : public std::exception {
public:
    explicit EOrvexaError(QString message);
    const QString& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FUtf8.c_str(); }

private:
    QString FMessage;
    std::string FUtf8;
};

// The text of any error: an EOrvexaError's message, else what() in the
// local encoding.
QString ErrorText(const std::exception& e);

// The options of a run and of the windows; one row of the store's Options table.
struct TConfig {
    bool ReceiveResults = false;
    bool MergeResults = false;
    bool ContinueOnError = false;
    bool SaveList = false;
    bool TransExecution = false;
    bool CopyTitle = false;
    // Databases a run keeps in flight at a time, each on its own connection;
    // 1 runs them one after another. The log is the same either way.
    int Parallelism = 1;

    bool operator==(const TConfig&) const = default;
};

// The options in force for the whole process. All false until the store's
// options loader runs; only that loader writes it, on the GUI thread.
extern TConfig CurrentConfig;

// Connection data of one SQL Server instance.
struct TInstanceInfo {
    QString InstanceName;
    QString UserName;  // SQL Server authentication only
    QString UserPWD;   // plain text; SQL Server authentication only
    bool NT = false;   // true: Windows authentication of the current user

    bool operator==(const TInstanceInfo&) const = default;
};

// One target database of a run: its instance's connection data and its name.
struct TInstanceAndDBInfo {
    QString InstanceName;
    QString UserName;
    QString UserPWD;
    bool NT = false;
    QString DatabaseName;

    TInstanceInfo Instance() const { return {InstanceName, UserName, UserPWD, NT}; }
    bool operator==(const TInstanceAndDBInfo&) const = default;
};

// The target databases of a run, in run order.
using TInstanceAndDBArr = QList<TInstanceAndDBInfo>;

// Run status; the ordinals travel as numbers between the run and the window.
enum TStatusType : std::uint8_t { stReady = 0, stConstruct = 1, stExec = 2, stOK = 3, stFail = 4 };

// Progress of a run in whole percent, 0..100.
using IntPercent = std::uint8_t;

// Result data handed from the result pages to the export: each element holds
// one result snapshot (a QVariant of TResultSnapshot, see untResultTable.h);
// an array whose only element is a null QVariant means there is nothing to
// export.
using TVariantArr = QList<QVariant>;

// Connection-string formats, filled in order by the helpers below. Values go
// in as stored, without quoting: these strings are for display. Connections
// are opened from the records themselves, with every value quoted properly.
extern const char* const ConnStrNT;
extern const char* const ConnStrSQL;
extern const char* const ConnStrCatalog;

QString InstanceConnStr(const TInstanceInfo& info);
QString DatabaseConnStr(const TInstanceAndDBInfo& info);

// The maker folder under the user's local application-data folder, created if
// missing, with a trailing '/'. Throws "Cannot locate the app data path." when
// the platform reports no such folder.
QString GetAppDataPath();

// The user's documents folder with a trailing '/', or empty when there is none.
QString GetDocumentsPath();

// A 60-column banner of '=' with the text in the middle.
QString CenterTitle(const QString& text);

// The file name without its folder ('/' or '\' separated).
QString ExtractFileName(const QString& path);
// Removes characters of code 32 or less (blanks, line breaks, control
// characters) from both ends.
QString TrimBlanksAndControls(const QString& text);

// yyyyMMddhhmmss followed by the last two digits of the milliseconds.
QString GetTimeStamp(const QDateTime& t);

// The maker's web site and support address (the desktop opens them through
// the platform: untShell.h).
extern const char* const MakerWebSite;
extern const char* const MakerSupportMail;
