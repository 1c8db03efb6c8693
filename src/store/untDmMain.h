// The data module: the program's only access to the local store (an SQLCipher
// file holding the instance and database lists, the options row and the
// history of server names), the server catalogue and connection check, and
// the database list exchange file.
//
// It holds no widgets, so the desktop application, orvexa-cli and tests share
// it. The message boxes it shows go through TMessageBox (untMessageBox.h); the
// desktop application supplies one owned by its main window.
//
// Threads: GUI thread only (in orvexa-cli, its one thread). The execution
// thread never touches it: a run gets its own copy of GetDBList().
//
// Typical use:
//   TdmMain dm(&messageBox);
//   try { dm.DataModuleCreate(); }                 // opens or creates the store
//   catch (const EOrvexaError& e) { show e.Message(); }  // and go on without it
//   TInstanceAndDBArr targets = dm.GetDBList();
//   ...
//   // the destructor runs DataModuleDestroy()
#pragma once

#include "untCommon.h"
#include "untListPacket.h"
#include "untMessageBox.h"

#include <QSet>
#include <QString>

#include <memory>

class TStoreConnection;
class TDBConnection;

// The options row's columns, as TConfig names them.
enum class TOptionField {
    ReceiveResults,
    MergeResults,
    ContinueOnError,
    SaveList,
    TransExecution,
    CopyTitle,
    Parallelism
};

// One option: its column in the Options row, its TConfig member, its value in
// a new store, and whether the options dialog edits it. Every place that maps
// options to columns, dialog boxes or TConfig reads this one table.
struct TOptionColumn {
    TOptionField Field;
    const char* Column;
    bool IsBool;         // stored as 1 / 0; otherwise an integer in [Min, Max]
    int NewStore;        // value in a new store, and of a missing integer
    bool Edited;         // the options dialog edits it (MergeResults: no)
    int Min, Max;        // range of an integer option
    int (*Get)(const TConfig&);
    void (*Set)(TConfig&, int);
};
// In the order of the Options table's columns.
extern const TOptionColumn OptionColumns[7];
const TOptionColumn& OptionColumn(TOptionField field);

// The editable record source over the options row (dsOptions), through which
// the options dialog edits the row. It shows the stored row; the first
// SetValue() starts an edit, and until Post() or Cancel() it shows the
// pending values. Post() writes them and commits at once; Cancel() drops
// them. MergeResults has no check box: it cannot be edited here and Post()
// never writes it, so it keeps its stored value.
class TOptionsSource {
public:
    // True from the end of a successful start-up until shutdown.
    bool IsActive() const { return FActive; }
    bool IsEditing() const { return FEditing; }

    // The value shown: the pending edit while editing, else the stored row.
    // A missing row or a NULL column reads as false.
    bool Value(TOptionField field) const;
    TConfig Values() const { return FEditing ? FEdit : FRow; }
    // The same for any option as an integer (a truth value reads 1 or 0).
    int IntValue(TOptionField field) const;

    // Starts editing when not yet editing, and changes the field in the edit.
    // Throws for MergeResults, and when the source is not active.
    void SetValue(TOptionField field, bool value);
    // The same for any edited option; an integer option outside its range
    // throws (the edit keeps its previous value).
    void SetIntValue(TOptionField field, int value);

    // "Databases at a time": 1 to 64, 1 in a new store and in a store made
    // before the option existed.
    int Parallelism() const { return IntValue(TOptionField::Parallelism); }
    void SetParallelism(int value) { SetIntValue(TOptionField::Parallelism, value); }

    // Saves the pending edit, if any, to the row with Id 1 and commits. On a
    // store error it throws and stays in editing with the pending values, so
    // that the next Post() tries again. Without an edit it does nothing.
    void Post();
    // Drops the pending edit, if any.
    void Cancel();

    // The column that holds the field.
    static const char* ColumnName(TOptionField field);

private:
    friend class TdmMain;
    void Open(TStoreConnection* conn);
    void Close();

    TStoreConnection* FConn = nullptr;
    bool FActive = false;
    bool FEditing = false;
    bool FHasRow = false;
    TConfig FRow;   // the stored row as last read or saved
    TConfig FEdit;  // the pending edit
};

class TdmMain {
public:
    // The store password: the whole file is encrypted with it.
    static const char* const StorePassword;
    // The store file's name inside GetAppDataPath().
    static const char* const StoreFileName;

    // Does no work: start-up is DataModuleCreate(). `messages` shows this
    // module's message boxes; when null they are written to the Qt log.
    explicit TdmMain(TMessageBox* messages = nullptr);
    // Runs DataModuleDestroy().
    ~TdmMain();
    TdmMain(const TdmMain&) = delete;
    TdmMain& operator=(const TdmMain&) = delete;

    void SetMessageBox(TMessageBox* messages) { FMessages = messages; }

    // ------------------------------------------------------------ the store

    // Start-up: locates the store at GetAppDataPath() + "Data.db" (honouring
    // XDG_DATA_HOME), opens it, creating a new file with its tables and the
    // default options row when none existed, loads the options row into
    // CurrentConfig (RefreshOptions) and the identifier counters.
    // A failure throws EOrvexaError naming the file and what is wrong with it
    // (damaged or encrypted with another password, an existing file without
    // tables, a folder that cannot be written); the module then stays
    // without a store, and every operation that needs one throws, saying
    // why. Calling it again retries.
    void DataModuleCreate();
    // Shutdown: closes the options row, the store and the server connection.
    // Safe to call more than once.
    void DataModuleDestroy();

    // True after a successful start-up, until shutdown.
    bool IsStoreOpen() const;
    // The store file's full path as computed by the last start-up; empty before.
    const QString& StorePath() const { return FStorePath; }
    // The reason the last start-up failed; empty after a successful one.
    const QString& StartupError() const { return FStartupError; }

    // Copies the stored options row into CurrentConfig.
    void RefreshOptions();

    // The options row's record source for the options dialog.
    TOptionsSource dsOptions;

    // ------------------------------------------------------------ the lists
    // Store errors reach the caller unless said otherwise.

    // The flat list: one entry per stored database; instances in ascending
    // InstanceID, within an instance databases by name (ignoring letter
    // case, then exact, then by identifier). Instances without databases
    // contribute nothing.
    TInstanceAndDBArr GetDBList();

    // The whole stored list: instances in ascending InstanceID, instances
    // without databases included, each with its databases in stored order.
    TDBListPacket GetDBListData();

    // Replaces both stored lists with the packet, identifiers unchanged, in
    // one transaction: when an insert fails (for example on an identifier
    // used twice) the error is shown in an "Error" box, everything is rolled
    // back, the previous lists stay, and the result is false.
    bool UpdateDBListData(const TDBListPacket& aDBListData);

    // Deletes the stored databases named by each entry's InstanceName and
    // DatabaseName (other fields are not used), then every instance left
    // without databases, in one transaction. A failure is rolled back and
    // shown as "Deletion was not successful. Error Messages:<error>"; nothing
    // is raised. An entry that matches nothing is not an error.
    void DeleteDBList(const TInstanceAndDBArr& DBList);

    // Deletes all instances and databases (the history stays).
    void ClearDBList();

    // The identifiers for a new instance or database row: the counter's value,
    // then the counter moves on. After every change to the lists the counters
    // restart at the highest stored identifier + 1 (1 for an empty table).
    // They are 32 bits wide like the columns and never hand out an identifier
    // in use: past the largest 32-bit value they hand out the lowest positive
    // identifier that is neither stored nor handed out since the last restart.
    qint32 GetNextInstanceID();
    qint32 GetNextDatabaseID();

    // The server-name history, most recent first, every name followed by "|";
    // the empty string when there is none.
    QString GetInstanceHist();
    // Replaces the history with the names of HistStr (one final "|" removed,
    // split at every "|", empty pieces kept, at most the first 8), in one
    // transaction.
    void UpdateInstanceHist(const QString& HistStr);

    // ------------------------------------------------- catalogue and check

    // The names of the databases that the instance's login can use
    // ("exec sp_MShasdbaccess", column dbname), in row order, each followed
    // by "|"; the empty string when there are none. On failure shows
    // "Fail to get the database information." (caption "Error") and throws
    // the server's or provider's error. The connection is built afresh for
    // every call and closed at its end.
    QString GetDBListOfInstance(const TInstanceInfo& Info);

    // True when a connection with Info opens (it is closed again at once);
    // false with the provider's text in ErrMsg, which is written only then.
    // Shows nothing and throws nothing.
    bool ValidateConnInfo(const TInstanceInfo& Info, QString& ErrMsg);

    // ------------------------------------------------------ exchange file

    // Writes the stored list to FileName: the XML form for the extension
    // "xml" (any case) or "txt" (lower case), the binary form otherwise. The
    // file is replaced only when the whole file was written. Throws on failure.
    void ExportDBList(const QString& FileName);

    // Replaces both stored lists with the file's content, either form,
    // recognised from the content. The whole file is read and checked first:
    // a file that cannot be read, is truncated, malformed or foreign, has no
    // nested table field or holds an identifier twice throws EOrvexaError
    // naming the file and the fault, and the store is not touched. The lists
    // are then replaced in one transaction; a store error there is shown in
    // an "Error" box and rolled back, the previous lists stay, and the result
    // is false. True when the file's lists are stored.
    bool ImportDBList(const QString& FileName);

private:
    TStoreConnection& Store();
    bool RewriteLists(const TDBListPacket& packet);
    void ReloadCounters();
    void CloseServerConnection();
    TMsgAnswer ShowMessage(const QString& text, const QString& caption, TMsgIcon icon,
                           TMsgButtons buttons = TMsgButton::OK);

    // One identifier counter; see GetNextInstanceID.
    struct TIdCounter {
        qint64 Next = 1;
        qint64 RangeFrom = 1;   // first identifier handed out since the restart
        bool Wrapped = false;   // past the largest 32-bit value
        QSet<qint32> Taken;     // when wrapped: stored and handed-out identifiers
        qint32 ScanFrom = 1;
    };
    void ReloadCounter(TIdCounter& counter, const char* table, const char* column);
    qint32 TakeNext(TIdCounter& counter, const char* table, const char* column);

    TMessageBox* FMessages;
    std::unique_ptr<TStoreConnection> fdSQLiteConn;
    std::unique_ptr<TDBConnection> adoSQLConn;
    QString FStorePath;
    QString FStartupError;
    TIdCounter FNextInstanceID;
    TIdCounter FNextDatabaseID;
};

// ------------------------------------------- server work on any thread
// The dialogs run the catalogue query and the connection check on a worker
// thread, so they cannot use TdmMain (GUI thread only). These do the same
// server work on a connection of their own, opened and closed by the call,
// show nothing, and may run on any thread.

// How long the dialogs wait for a server, in seconds: for the login, and
// again for the catalogue query.
inline constexpr int ServerWaitSeconds = 15;

// GetDBListOfInstance's result, without its message box: throws EOrvexaError
// with the server's or provider's text. timeoutSeconds bounds the login and
// the query each (0: no limit).
QString QueryDBListOfInstance(const TInstanceInfo& Info, int timeoutSeconds);

// ValidateConnInfo's result; timeoutSeconds bounds the login (0: no limit).
bool CheckConnInfo(const TInstanceInfo& Info, QString& ErrMsg, int timeoutSeconds);

// The flat list of a packet in run order: instances in ascending InstanceID,
// within an instance databases by name (ignoring letter case, then exact,
// then by identifier), each entry with its instance's connection data.
// Instances without databases contribute nothing. GetDBList is this of the
// stored list; orvexa-cli uses it for a list read from an exchange file.
TInstanceAndDBArr FlatDBList(const TDBListPacket& packet);

// The application's one data module, created first at start-up and freed
// last. The program that creates it sets this pointer.
extern TdmMain* dmMain;
