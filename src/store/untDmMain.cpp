#include "untDmMain.h"

#include "untDBAccess.h"  // TDBConnection::Close, used at shutdown
#include "untDBListFile.h"
#include "untStoreDB.h"

#include <QFileInfo>
#include <QLockFile>
#include <QHash>
#include <QtDebug>

#include <algorithm>
#include <limits>

TdmMain* dmMain = nullptr;

const char* const TdmMain::StorePassword = "Hb5!nW8$rT2^eM6k";
const char* const TdmMain::StoreFileName = "Data.db";

namespace {

// The tables of a new store, run as one script.
const char* const SchemaScript =
    "create table System( SystemID int primary key, MajorVer int,MinorVer int,ReleaseVer int);\n"
    "Insert into System values(1,1,5,2);\n"
    "create table Instances( InstanceID int primary key,InstanceName nvarchar(255),UserName nvarchar(255),"
    "UserPWD nvarchar(255),NT Boolean);\n"
    "create table Databases(DataBaseID int primary key,InstanceID int,DataBaseName nvarchar(255),"
    "foreign key(InstanceID) references Instances(InstanceID));\n"
    "create table Options(Id int primary key,ReceiveResults boolean default true,ContinueOnError boolean "
    "default true,SaveList boolean default true,MergeResults boolean default false,TransExecution boolean "
    "default true,CopyTitle boolean default true );\n"
    "Insert into Options values(1,1,1,1,0,1,1);\n"
    "create table InstanceHist(ID int primary key,InstanceName nvarchar(255));";

const char* const SqlOptions = "Select * From Options Where Id = 1 limit 1";
const char* const SqlClearDatabases = "Delete from Databases;";
const char* const SqlClearInstances = "Delete from Instances;";
// Values are bound, never placed between quotes, so a name holding ' " or ;
// is stored, found and deleted exactly.
const char* const SqlDeleteEntry =
    "delete from Databases where DatabaseName = ?  and InstanceID = ( Select InstanceID from Instances where "
    "InstanceName = ?);";
const char* const SqlRemoveEmptyInstances =
    "delete from Instances where not exists ( select 1 from Databases where InstanceID = Instances.InstanceID)";
const char* const SqlInsertInstance =
    "Insert into Instances(InstanceID,InstanceName,UserName,UserPWD,NT)  values (?,?,?,?,?);";
const char* const SqlInsertDatabase = "Insert into Databases(DatabaseID,DatabaseName,InstanceID) values (?,?,?);";
const char* const SqlReadInstances = "Select InstanceID, InstanceName, UserName, UserPWD, NT From Instances "
                                     "order by InstanceID";
// Stored order: the order in which the rows were written.
const char* const SqlReadDatabases = "Select DatabaseID, InstanceID, DatabaseName From Databases order by rowid";
const char* const SqlReadHist = "Select * from InstanceHist order by ID";
const char* const SqlClearHist = "delete from InstanceHist";
const char* const SqlInsertHist = "insert into InstanceHist(ID, InstanceName) values (?,?)";

constexpr qint64 MaxId = std::numeric_limits<qint32>::max();

QString Sql(const char* text)
{
    return QString::fromLatin1(text);
}

// Truth values are kept in TConfig as bool; an integer option is clamped into
// its range when read, so a hand-edited row cannot reach a run.
int ReadOption(const TOptionColumn& o, const TStoreQuery& q, int col)
{
    if (o.IsBool)
        return col >= 0 && q.Bool(col) ? 1 : 0;
    if (col < 0 || q.IsNull(col))
        return o.NewStore;
    return int(std::clamp<qint64>(q.Int(col), o.Min, o.Max));
}

// Adds the columns of options that came after the first store layout to an
// Options table that lacks them, with their new-store value for the row.
void AddMissingOptionColumns(TStoreConnection& conn)
{
    QSet<QString> present;
    {
        TStoreQuery q(conn, QStringLiteral("pragma table_info(Options)"));
        const int name = q.ColumnIndex(QStringLiteral("name"));
        while (q.Step())
            present.insert(q.Text(name).toLower());
    }
    if (present.isEmpty())
        return;  // no Options table: reading it reports the damage
    for (const TOptionColumn& o : OptionColumns)
        if (!present.contains(QString::fromLatin1(o.Column).toLower()))
            // A store that cannot be written (read-only file) still opens; the
            // option then reads its default and saving it reports why.
            try {
                conn.ExecScript(QStringLiteral("alter table Options add column %1 %2 default %3;")
                                .arg(QLatin1String(o.Column), o.IsBool ? QStringLiteral("boolean") : QStringLiteral("int"))
                                .arg(o.NewStore));
            } catch (const EOrvexaError& e) {
                qWarning().noquote() << QStringLiteral("The options row lacks the column %1: %2")
                                            .arg(QLatin1String(o.Column), e.Message());
            }
}

// Writes the module's message boxes to the Qt log when no box is supplied.
TMsgAnswer LogMessage(const QString& text, const QString& caption)
{
    qWarning().noquote() << caption + QStringLiteral(": ") + text;
    return TMsgButton::OK;
}

} // namespace

// ------------------------------------------------------------- option columns

#define ORVEXA_BOOL_OPTION(name, value, edited)                                                         \
    TOptionColumn                                                                                       \
    {                                                                                                   \
        TOptionField::name, #name, true, value, edited, 0, 1, [](const TConfig& c) { return int(c.name); }, \
            [](TConfig& c, int v) { c.name = v != 0; }                                                  \
    }

// The first six are the columns of the first store layout, in table order.
const TOptionColumn OptionColumns[7] = {
    ORVEXA_BOOL_OPTION(ReceiveResults, 1, true),
    ORVEXA_BOOL_OPTION(ContinueOnError, 1, true),
    ORVEXA_BOOL_OPTION(SaveList, 1, true),
    ORVEXA_BOOL_OPTION(MergeResults, 0, false),
    ORVEXA_BOOL_OPTION(TransExecution, 1, true),
    ORVEXA_BOOL_OPTION(CopyTitle, 1, true),
    TOptionColumn{TOptionField::Parallelism, "Parallelism", false, 1, true, 1, 64,
                  [](const TConfig& c) { return c.Parallelism; }, [](TConfig& c, int v) { c.Parallelism = v; }},
};

#undef ORVEXA_BOOL_OPTION

const TOptionColumn& OptionColumn(TOptionField field)
{
    for (const TOptionColumn& o : OptionColumns)
        if (o.Field == field)
            return o;
    throw EOrvexaError(QStringLiteral("Unknown option."));
}

// -------------------------------------------------------------- TOptionsSource

const char* TOptionsSource::ColumnName(TOptionField field)
{
    return OptionColumn(field).Column;
}

void TOptionsSource::Open(TStoreConnection* conn)
{
    Close();
    TStoreQuery q(*conn, Sql(SqlOptions));
    TConfig row;
    const bool hasRow = q.Step();
    if (hasRow) {
        for (const TOptionColumn& o : OptionColumns)
            o.Set(row, ReadOption(o, q, q.ColumnIndex(QLatin1String(o.Column))));
    } else {
        // Without the row every truth value reads false; integers read their default.
        for (const TOptionColumn& o : OptionColumns)
            o.Set(row, o.IsBool ? 0 : o.NewStore);
    }
    FConn = conn;
    FRow = row;
    FHasRow = hasRow;
    FActive = true;
}

void TOptionsSource::Close()
{
    FConn = nullptr;
    FActive = false;
    FEditing = false;
    FHasRow = false;
    FRow = {};
    FEdit = {};
}

bool TOptionsSource::Value(TOptionField field) const
{
    return IntValue(field) != 0;
}

int TOptionsSource::IntValue(TOptionField field) const
{
    return OptionColumn(field).Get(Values());
}

void TOptionsSource::SetValue(TOptionField field, bool value)
{
    SetIntValue(field, value ? 1 : 0);
}

void TOptionsSource::SetIntValue(TOptionField field, int value)
{
    const TOptionColumn& o = OptionColumn(field);
    if (!FActive)
        throw EOrvexaError(QStringLiteral("The options cannot be edited: the local store is not open."));
    if (!o.Edited)
        throw EOrvexaError(QStringLiteral("The option %1 is not edited in the options dialog.").arg(QLatin1String(o.Column)));
    if (o.IsBool)
        value = value != 0 ? 1 : 0;
    else if (value < o.Min || value > o.Max)
        throw EOrvexaError(QStringLiteral("The option %1 takes a value from %2 to %3.")
                               .arg(QLatin1String(o.Column))
                               .arg(o.Min)
                               .arg(o.Max));
    if (!FEditing) {
        FEdit = FRow;
        FEditing = true;
    }
    o.Set(FEdit, value);
}

void TOptionsSource::Post()
{
    if (!FEditing)
        return;
    if (!FActive || !FConn)
        throw EOrvexaError(QStringLiteral("The options cannot be saved: the local store is not open."));
    {
        TStoreTransaction tr(*FConn);
        // Only the edited columns are written: MergeResults keeps its stored value.
        QStringList assignments, columns, marks;
        for (const TOptionColumn& o : OptionColumns)
            if (o.Edited) {
                assignments << QLatin1String(o.Column) + QStringLiteral(" = ?");
                columns << QLatin1String(o.Column);
                marks << QStringLiteral("?");
            }
        const auto bindEdit = [this](TStoreQuery& q) {
            int index = 0;
            for (const TOptionColumn& o : OptionColumns)
                if (o.Edited)
                    q.Bind(++index, o.Get(FEdit));
        };
        TStoreQuery upd(*FConn, QStringLiteral("update Options set %1 where Id = 1").arg(assignments.join(QStringLiteral(", "))));
        bindEdit(upd);
        upd.Exec();
        if (FConn->Changes() == 0) {
            // No row to edit: the edit becomes the row, as a new record would.
            TStoreQuery ins(*FConn, QStringLiteral("insert into Options(Id, %1) values (1,%2)")
                                        .arg(columns.join(QStringLiteral(", ")), marks.join(QLatin1Char(','))));
            bindEdit(ins);
            ins.Exec();
            FEdit.MergeResults = false;
        }
        tr.Commit();
    }
    FRow = FEdit;
    FHasRow = true;
    FEditing = false;
}

void TOptionsSource::Cancel()
{
    FEditing = false;
    FEdit = {};
}

// --------------------------------------------------------------------- TdmMain

TdmMain::TdmMain(TMessageBox* messages) : FMessages(messages)
{
}

TdmMain::~TdmMain()
{
    DataModuleDestroy();
}

TMsgAnswer TdmMain::ShowMessage(const QString& text, const QString& caption, TMsgIcon icon, TMsgButtons buttons)
{
    if (FMessages)
        return FMessages->Show(text, caption, icon, buttons);
    return LogMessage(text, caption);
}

void TdmMain::DataModuleCreate()
{
    DataModuleDestroy();
    FStartupError.clear();
    try {
        // 1. The store path; this creates the maker folder when it is missing.
        FStorePath = GetAppDataPath() + QLatin1String(StoreFileName);
        // Two programs starting at once (the desktop and a scheduled job)
        // must not both create the file: the second would read a salt the
        // first has not written yet and take the new store for a damaged one.
        // Opening and creating happen under a lock file beside the store; a
        // folder where no lock file can be made (read-only) goes on without.
        QLockFile creationLock(FStorePath + QStringLiteral(".lock"));
        creationLock.setStaleLockTime(60000);
        creationLock.tryLock(10000);
        // 2. Whether the file exists, before opening creates it.
        const QFileInfo info(FStorePath);
        const bool existed = info.exists();
        const bool wasEmpty = existed && info.isFile() && info.size() == 0;

        // 3, 4. Open with the store password.
        auto conn = std::make_unique<TStoreConnection>();
        try {
            conn->Open(FStorePath, QLatin1String(StorePassword));
        } catch (const EStoreError& e) {
            if (e.IsUnreadableFile())
                throw EOrvexaError(QStringLiteral("Cannot open the local store \"%1\": the file is damaged, is not "
                                                  "a store of this program, or was encrypted with another password "
                                                  "(%2).")
                                       .arg(FStorePath, e.Message()));
            throw EOrvexaError(QStringLiteral("Cannot open the local store \"%1\": %2.").arg(FStorePath, e.Message()));
        }

        // 5. Only a file that did not exist is given its tables. A script that
        // fails part-way leaves the file as it is.
        if (!existed) {
            try {
                conn->ExecScript(QLatin1String(SchemaScript));
            } catch (const EOrvexaError& e) {
                throw EOrvexaError(QStringLiteral("Cannot create the tables of the new local store \"%1\": %2.")
                                       .arg(FStorePath, e.Message()));
            }
        }

        // 6. The options row, given the columns of later options first.
        try {
            AddMissingOptionColumns(*conn);
            dsOptions.Open(conn.get());
        } catch (const EOrvexaError& e) {
            if (wasEmpty)
                throw EOrvexaError(QStringLiteral("The local store \"%1\" is an empty file without tables; it was "
                                                  "not created by this program, or its creation did not finish. "
                                                  "Move it away to start with a new store (%2).")
                                       .arg(FStorePath, e.Message()));
            throw EOrvexaError(QStringLiteral("Cannot read the options from the local store \"%1\": %2.")
                                   .arg(FStorePath, e.Message()));
        }
        fdSQLiteConn = std::move(conn);

        // 7. The options in force.
        RefreshOptions();

        // 8. The identifier counters.
        try {
            ReloadCounters();
        } catch (const EOrvexaError& e) {
            throw EOrvexaError(QStringLiteral("Cannot read the lists of the local store \"%1\": %2.")
                                   .arg(FStorePath, e.Message()));
        }
    } catch (const EOrvexaError& e) {
        // Without a usable store: close what was opened; later operations say why.
        dsOptions.Close();
        fdSQLiteConn.reset();
        FStartupError = e.Message();
        throw;
    }
}

void TdmMain::DataModuleDestroy()
{
    dsOptions.Close();
    if (fdSQLiteConn)
        fdSQLiteConn->Close();
    fdSQLiteConn.reset();
    CloseServerConnection();
}

bool TdmMain::IsStoreOpen() const
{
    return fdSQLiteConn && fdSQLiteConn->IsOpen();
}

TStoreConnection& TdmMain::Store()
{
    if (IsStoreOpen())
        return *fdSQLiteConn;
    if (!FStartupError.isEmpty())
        throw EOrvexaError(QStringLiteral("The local store is not usable. ") + FStartupError);
    throw EOrvexaError(QStringLiteral("The local store is not open."));
}

void TdmMain::RefreshOptions()
{
    const TConfig row = dsOptions.FRow;
    for (const TOptionColumn& o : OptionColumns)
        o.Set(CurrentConfig, o.Get(row));
}

// ---------------------------------------------------------- identifier counters

void TdmMain::ReloadCounters()
{
    ReloadCounter(FNextInstanceID, "Instances", "InstanceID");
    ReloadCounter(FNextDatabaseID, "Databases", "DatabaseID");
}

void TdmMain::ReloadCounter(TIdCounter& counter, const char* table, const char* column)
{
    TStoreQuery q(Store(), QStringLiteral("Select Max(%1) as Max%1 From %2").arg(QLatin1String(column),
                                                                                 QLatin1String(table)));
    const qint64 max = q.Step() && !q.IsNull(0) ? q.Int(0) : 0;
    counter = {};
    counter.Next = std::max<qint64>(max, 0) + 1;
    counter.RangeFrom = counter.Next;
}

qint32 TdmMain::TakeNext(TIdCounter& counter, const char* table, const char* column)
{
    if (!counter.Wrapped && counter.Next <= MaxId) {
        return qint32(counter.Next++);
    }
    if (!counter.Wrapped) {
        // Past the largest identifier: from here on hand out the lowest free one.
        TStoreQuery q(Store(), QStringLiteral("Select %1 From %2").arg(QLatin1String(column), QLatin1String(table)));
        while (q.Step())
            counter.Taken.insert(qint32(q.Int(0)));
        counter.Wrapped = true;
        counter.ScanFrom = 1;
    }
    for (qint64 id = counter.ScanFrom; id < counter.RangeFrom && id <= MaxId; ++id) {
        if (!counter.Taken.contains(qint32(id))) {
            counter.Taken.insert(qint32(id));
            counter.ScanFrom = qint32(id);
            return qint32(id);
        }
    }
    throw EOrvexaError(QStringLiteral("No free identifier is left for a new row of %1.").arg(QLatin1String(table)));
}

qint32 TdmMain::GetNextInstanceID()
{
    return TakeNext(FNextInstanceID, "Instances", "InstanceID");
}

qint32 TdmMain::GetNextDatabaseID()
{
    return TakeNext(FNextDatabaseID, "Databases", "DatabaseID");
}

// ------------------------------------------------------------------ the lists

TDBListPacket TdmMain::GetDBListData()
{
    TStoreConnection& store = Store();
    TDBListPacket packet;
    QHash<qint32, qsizetype> byId;
    {
        TStoreQuery q(store, Sql(SqlReadInstances));
        while (q.Step()) {
            TPacketInstance inst;
            inst.InstanceID = qint32(q.Int(0));
            inst.InstanceName = q.Text(1);
            inst.UserName = q.Text(2);
            inst.UserPWD = q.Text(3);
            inst.NT = q.Bool(4);
            byId.insert(inst.InstanceID, packet.Instances.size());
            packet.Instances.append(inst);
        }
    }
    TStoreQuery q(store, Sql(SqlReadDatabases));
    while (q.Step()) {
        TPacketDatabase db;
        db.DatabaseID = qint32(q.Int(0));
        db.InstanceID = qint32(q.Int(1));
        db.DatabaseName = q.Text(2);
        // A database whose instance is gone belongs to no instance row.
        if (const auto it = byId.constFind(db.InstanceID); it != byId.cend())
            packet.Instances[*it].Databases.append(db);
    }
    return packet;
}

TInstanceAndDBArr FlatDBList(const TDBListPacket& packet)
{
    QList<TPacketInstance> instances = packet.Instances;
    std::stable_sort(instances.begin(), instances.end(),
                     [](const TPacketInstance& a, const TPacketInstance& b) { return a.InstanceID < b.InstanceID; });
    TInstanceAndDBArr result;
    for (const TPacketInstance& inst : instances) {
        QList<TPacketDatabase> dbs = inst.Databases;
        std::stable_sort(dbs.begin(), dbs.end(), [](const TPacketDatabase& a, const TPacketDatabase& b) {
            if (const int c = a.DatabaseName.compare(b.DatabaseName, Qt::CaseInsensitive); c != 0)
                return c < 0;
            if (const int c = a.DatabaseName.compare(b.DatabaseName, Qt::CaseSensitive); c != 0)
                return c < 0;
            return a.DatabaseID < b.DatabaseID;
        });
        for (const TPacketDatabase& db : dbs)
            result.append({inst.InstanceName, inst.UserName, inst.UserPWD, inst.NT, db.DatabaseName});
    }
    return result;
}

TInstanceAndDBArr TdmMain::GetDBList()
{
    return FlatDBList(GetDBListData());
}

bool TdmMain::RewriteLists(const TDBListPacket& packet)
{
    TStoreConnection& store = Store();
    bool saved = true;
    try {
        TStoreTransaction tr(store);
        store.ExecScript(Sql(SqlClearDatabases) + QLatin1Char('\n') + Sql(SqlClearInstances));
        TStoreQuery insInst(store, Sql(SqlInsertInstance));
        TStoreQuery insDb(store, Sql(SqlInsertDatabase));
        for (const TPacketInstance& inst : packet.Instances) {
            insInst.Bind(1, inst.InstanceID);
            insInst.Bind(2, inst.InstanceName);
            insInst.Bind(3, inst.UserName);
            insInst.Bind(4, inst.UserPWD);
            insInst.Bind(5, inst.NT ? 1 : 0);
            insInst.Exec();
            for (const TPacketDatabase& db : inst.Databases) {
                // The owner is the instance row itself, not the row's own InstanceID.
                insDb.Bind(1, db.DatabaseID);
                insDb.Bind(2, db.DatabaseName);
                insDb.Bind(3, inst.InstanceID);
                insDb.Exec();
            }
        }
        tr.Commit();
    } catch (const EOrvexaError& e) {
        // The transaction has rolled back: the previous lists are still stored.
        saved = false;
        ShowMessage(e.Message(), QStringLiteral("Error"), TMsgIcon::Error);
    }
    ReloadCounters();
    return saved;
}

bool TdmMain::UpdateDBListData(const TDBListPacket& aDBListData)
{
    return RewriteLists(aDBListData);
}

void TdmMain::DeleteDBList(const TInstanceAndDBArr& DBList)
{
    TStoreConnection& store = Store();
    try {
        TStoreTransaction tr(store);
        TStoreQuery del(store, Sql(SqlDeleteEntry));
        for (const TInstanceAndDBInfo& entry : DBList) {
            del.Bind(1, entry.DatabaseName);
            del.Bind(2, entry.InstanceName);
            del.Exec();
        }
        TStoreQuery(store, Sql(SqlRemoveEmptyInstances)).Exec();
        tr.Commit();
    } catch (const EOrvexaError& e) {
        ShowMessage(QStringLiteral("Deletion was not successful. Error Messages:") + e.Message(),
                    QStringLiteral("Error"), TMsgIcon::Error);
    }
    ReloadCounters();
}

void TdmMain::ClearDBList()
{
    TStoreConnection& store = Store();
    {
        TStoreTransaction tr(store);
        store.ExecScript(Sql(SqlClearDatabases) + QLatin1Char('\n') + Sql(SqlClearInstances));
        tr.Commit();
    }
    ReloadCounters();
}

// -------------------------------------------------------------------- history

QString TdmMain::GetInstanceHist()
{
    TStoreQuery q(Store(), Sql(SqlReadHist));
    const int col = q.ColumnIndex(QStringLiteral("InstanceName"));
    QString hist;
    while (q.Step()) {
        hist += q.Text(col);
        hist += QLatin1Char('|');
    }
    return hist;
}

void TdmMain::UpdateInstanceHist(const QString& HistStr)
{
    QString rest = HistStr;
    if (rest.endsWith(QLatin1Char('|')))
        rest.chop(1);
    const QStringList pieces = rest.isEmpty() ? QStringList() : rest.split(QLatin1Char('|'));

    TStoreConnection& store = Store();
    TStoreTransaction tr(store);
    TStoreQuery(store, Sql(SqlClearHist)).Exec();
    TStoreQuery ins(store, Sql(SqlInsertHist));
    for (qsizetype i = 0; i < std::min<qsizetype>(pieces.size(), 8); ++i) {
        ins.Bind(1, i + 1);
        ins.Bind(2, pieces[i]);
        ins.Exec();
    }
    tr.Commit();
}

// ------------------------------------------------------- catalogue and check

void TdmMain::CloseServerConnection()
{
    if (adoSQLConn)
        adoSQLConn->Close();
}

// ------------------------------------------------------------- exchange file

void TdmMain::ExportDBList(const QString& FileName)
{
    SaveDBListFile(FileName, GetDBListData());
}

bool TdmMain::ImportDBList(const QString& FileName)
{
    Store();  // fails first when there is no store to import into
    const TDBListPacket packet = LoadDBListFile(FileName);
    return RewriteLists(packet);
}
