// Parts of the access layer and the engine that need no server: server
// names, connection strings, the type mapping, column names, the result
// table and its snapshots, progress rounding.
#include "untOdbcConnection.h"
#include "untResultCapture.h"
#include "untResultTable.h"
#include "untThread.h"

#include "OdbcConnectionString.h"

#include <gtest/gtest.h>

TEST(ServerNames, AsDbasTypeThem)
{
    struct Case {
        const char* name;
        const char* host;
        const char* instance;
        int port;
        bool tcp;
    };
    const Case cases[] = {
        {"SRV1", "SRV1", "", 0, false},
        {"SRV1\\SQL2017", "SRV1", "SQL2017", 0, false},
        {"10.0.0.5,1444", "10.0.0.5", "", 1444, false},
        {"tcp:db.example.org,1433", "db.example.org", "", 1433, true},
        {"TCP:db.example.org", "db.example.org", "", 0, true},
        {"(local)", "localhost", "", 0, false},
        {"(LOCAL)\\SQLEXPRESS", "localhost", "SQLEXPRESS", 0, false},
        {".", "localhost", "", 0, false},
        {".\\SQLEXPRESS", "localhost", "SQLEXPRESS", 0, false},
        {"  srv , 2000 ", "srv", "", 2000, false},
        {"srv\\inst,1500", "srv", "inst", 1500, false},
        {"srv,notaport", "srv", "", 0, false},
    };
    for (const Case& c : cases) {
        const TServerAddress a = ParseServerName(QString::fromLatin1(c.name));
        EXPECT_EQ(a.Host, QString::fromLatin1(c.host)) << c.name;
        EXPECT_EQ(a.Instance, QString::fromLatin1(c.instance)) << c.name;
        EXPECT_EQ(a.Port, c.port) << c.name;
        EXPECT_EQ(a.TcpPrefix, c.tcp) << c.name;
    }
}

TEST(ConnectionString, EveryAwkwardValueSurvivesOdbcQuoting)
{
    const QStringList awkward = {
        QStringLiteral("plain"),
        QStringLiteral("semi;colon"),
        QStringLiteral("{braced}"),
        QStringLiteral("close}}brace}"),
        QStringLiteral("equals=sign"),
        QStringLiteral("it's \"quoted\""),
        QStringLiteral(" leading and trailing "),
        QStringLiteral("};PWD=injected;"),
        QString(),
        QStringLiteral("Ünïcødé €"),
    };
    for (const char* driver : OdbcDriverPreference) {
        for (const TBraceRule rule : {TBraceRule::Doubled, TBraceRule::FirstCloseSemicolon}) {
            for (const QString& value : awkward) {
                TDBConnectionData d;
                d.InstanceName = QStringLiteral("127.0.0.1,1433");
                d.UserName = value;
                d.UserPWD = value;
                d.DatabaseName = value;
                if (rule == TBraceRule::FirstCloseSemicolon && value.contains(QLatin1String("};"))) {
                    // Such a value cannot reach that driver: say so, never send it cut short.
                    EXPECT_THROW(BuildOdbcConnectionString(QString::fromLatin1(driver), d, rule), EDBError);
                    continue;
                }
                const QString cs = BuildOdbcConnectionString(QString::fromLatin1(driver), d, rule);
                const auto parsed = ParseOdbc(cs, rule == TBraceRule::FirstCloseSemicolon);
                ASSERT_FALSE(parsed.isEmpty()) << cs.toStdString();
                EXPECT_EQ(parsed.value(QStringLiteral("UID")), value) << cs.toStdString();
                EXPECT_EQ(parsed.value(QStringLiteral("PWD")), value) << cs.toStdString();
                if (!value.isEmpty()) {
                    EXPECT_EQ(parsed.value(QStringLiteral("DATABASE")), value) << cs.toStdString();
                } else {
                    EXPECT_FALSE(parsed.contains(QStringLiteral("DATABASE")));
                }
                EXPECT_EQ(parsed.value(QStringLiteral("DRIVER")), QString::fromLatin1(driver));
            }
        }
    }
}

TEST(ConnectionString, ServerAuthenticationAndEncryptionPerDriver)
{
    TDBConnectionData d;
    d.InstanceName = QStringLiteral("tcp:srv\\inst,1500");
    d.UserName = QStringLiteral("u");
    d.UserPWD = QStringLiteral("p");

    auto ms = ParseOdbc(BuildOdbcConnectionString(QStringLiteral("ODBC Driver 18 for SQL Server"), d));
    EXPECT_EQ(ms.value(QStringLiteral("SERVER")), QStringLiteral("tcp:srv\\inst,1500"));
    EXPECT_EQ(ms.value(QStringLiteral("ENCRYPT")), QStringLiteral("yes"));
    EXPECT_EQ(ms.value(QStringLiteral("TRUSTSERVERCERTIFICATE")), QStringLiteral("yes"));

    // FreeTDS: host and port apart; the port wins over the instance.
    auto tds = ParseOdbc(BuildOdbcConnectionString(QStringLiteral("FreeTDS"), d));
    EXPECT_EQ(tds.value(QStringLiteral("SERVER")), QStringLiteral("srv"));
    EXPECT_EQ(tds.value(QStringLiteral("PORT")), QStringLiteral("1500"));
    EXPECT_EQ(tds.value(QStringLiteral("ENCRYPTION")), QStringLiteral("request"));
    d.InstanceName = QStringLiteral("srv\\inst");
    tds = ParseOdbc(BuildOdbcConnectionString(QStringLiteral("FreeTDS"), d));
    EXPECT_EQ(tds.value(QStringLiteral("SERVER")), QStringLiteral("srv\\inst"));
    EXPECT_FALSE(tds.contains(QStringLiteral("PORT")));

    // Windows authentication: a trusted connection, no login or password.
    d.NT = true;
    for (const char* driver : OdbcDriverPreference) {
        const auto nt = ParseOdbc(BuildOdbcConnectionString(QString::fromLatin1(driver), d));
        EXPECT_EQ(nt.value(QStringLiteral("TRUSTED_CONNECTION")), QStringLiteral("yes")) << driver;
        EXPECT_FALSE(nt.contains(QStringLiteral("UID"))) << driver;
        EXPECT_FALSE(nt.contains(QStringLiteral("PWD"))) << driver;
    }
}

TEST(ConnectionString, TheInstalledFreeTdsBraceRuleIsFound)
{
    // Asked of the driver itself, without a server.
    const TBraceRule rule = BraceRuleOf(QStringLiteral("FreeTDS"));
    EXPECT_TRUE(rule == TBraceRule::Doubled || rule == TBraceRule::FirstCloseSemicolon);
    EXPECT_EQ(BraceRuleOf(QStringLiteral("ODBC Driver 18 for SQL Server")), TBraceRule::Doubled);
}

TEST(DriverTexts, MessagesGoBackToTheServersOrder)
{
    auto msg = [](const char* text, int line, int native = 0, bool error = false) {
        TDBMessage m;
        m.Description = QString::fromLatin1(text);
        m.Line = line;
        m.NativeError = native;
        m.IsError = error;
        m.SQLState = error ? QStringLiteral("42000") : QStringLiteral("01000");
        return m;
    };
    auto texts = [](const QList<TDBMessage>& list) {
        QStringList out;
        for (const auto& m : list)
            out << m.Description;
        return out;
    };
    struct Case {
        QList<TDBMessage> in;
        QStringList out;
        const char* why;
    };
    const Case cases[] = {
        {{msg("e", 5, 50000, true), msg("b", 2), msg("c", 3), msg("d", 4), msg("a", 1)}, {"a", "b", "c", "d", "e"},
         "an error swapped to the front"},
        {{msg("three", 4, 50000), msg("two", 3)}, {"two", "three"}, "RAISERROR below 11 ranked over PRINT"},
        {{msg("a", 1), msg("in proc", 5), msg("c", 3)}, {"a", "in proc", "c"}, "one rank: left as it came"},
        {{msg("e", 5, 208, true), msg("a", 0)}, {"e", "a"}, "a record without a line: left as it came"},
    };
    for (const Case& c : cases) {
        QList<TDBMessage> list = {msg("earlier call", 9)};
        list += c.in;
        RestoreServerOrder(list, 1);
        EXPECT_EQ(texts(list), QStringList{"earlier call"} + c.out) << c.why;
    }
}

TEST(DriverTexts, PrefixesAreRemoved)
{
    EXPECT_EQ(StripDriverPrefixes(QStringLiteral("[FreeTDS][SQL Server]Invalid object name 'x'.")),
              QStringLiteral("Invalid object name 'x'."));
    EXPECT_EQ(StripDriverPrefixes(QStringLiteral("[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]Boom")),
              QStringLiteral("Boom"));
    EXPECT_EQ(StripDriverPrefixes(QStringLiteral("No prefix [kept]")), QStringLiteral("No prefix [kept]"));
}

TEST(TypeMapping, EveryCodeOfTheTable)
{
    struct Case {
        TDataType code;
        TFieldType kind;
    };
    const Case cases[] = {
        {adSmallInt, ftSmallint},      {adTinyInt, ftSmallint},        {adBoolean, ftSmallint},
        {adInteger, ftInteger},        {adError, ftInteger},           {adUnsignedInt, ftInteger},
        {adUnsignedTinyInt, ftWord},   {adUnsignedSmallInt, ftWord},   {adBigInt, ftLargeint},
        {adUnsignedBigInt, ftLargeint}, {adSingle, ftFloat},           {adDouble, ftFloat},
        {adCurrency, ftBCD},           {adDate, ftDateTime},           {adFileTime, ftDateTime},
        {adDBTimeStamp, ftDateTime},   {adDBFileTime, ftDateTime},     {adDBDate, ftDate},
        {adDBTime, ftTime},            {adVarChar, ftString},          {adChar, ftFixedChar},
        {adBSTR, ftWideString},        {adVarWChar, ftWideString},     {adWChar, ftFixedWideChar},
        {adLongVarChar, ftMemo},       {adLongVarWChar, ftWideMemo},   {adBinary, ftBytes},
        {adVarBinary, ftVarBytes},     {adLongVarBinary, ftBlob},      {adGUID, ftGuid},
        {adVariant, ftVariant},        {adPropVariant, ftVariant},     {adIUnknown, ftInterface},
        {adIDispatch, ftIDispatch},    {adChapter, ftDataSet},         {adEmpty, ftUnknown},
        {adUserDefined, ftUnknown},    {TDataType(999), ftUnknown},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(FieldTypeName(MapColumnType(c.code)), FieldTypeName(c.kind)) << int(c.code);
}

TEST(TypeMapping, DecimalRulesSizesAndPrecisions)
{
    struct Case {
        TDataType code;
        int precision, scale;
        qint64 definedSize;
        TFieldType kind;
        int size, columnPrecision;
    };
    const Case cases[] = {
        {adNumeric, 18, 2, 19, ftBCD, 2, 18},
        {adNumeric, 19, 4, 19, ftBCD, 4, 19},
        {adNumeric, 20, 2, 19, ftFMTBcd, 2, 20},
        {adNumeric, 10, 6, 19, ftFMTBcd, 6, 10},
        {adNumeric, 9, 0, 19, ftInteger, 0, 0},
        {adNumeric, 10, 0, 19, ftBCD, 0, 10},
        {adDecimal, 9, 0, 19, ftBCD, 0, 9},  // the integer rule is adNumeric's only
        {adVarNumeric, 30, 10, 19, ftFMTBcd, 10, 30},
        {adCurrency, 19, 4, 8, ftBCD, 4, 19},
        {adCurrency, 19, 255, 8, ftBCD, 4, 19},  // scale byte 255 reads as -1
        {adVarWChar, 0, 0, 40, ftWideString, 40, 0},
        {adChar, 0, 0, 10, ftFixedChar, 10, 0},
        {adVarBinary, 0, 0, 16, ftVarBytes, 16, 0},
        {adGUID, 0, 0, 16, ftGuid, 38, 0},
        {adLongVarWChar, 0, 0, 0, ftWideMemo, 0, 0},
        {adInteger, 10, 0, 4, ftInteger, 0, 0},
    };
    for (const Case& c : cases) {
        TDBField f;
        f.Name = QStringLiteral("x");
        f.Type = c.code;
        f.Precision = c.precision;
        f.NumericScale = c.scale;
        f.DefinedSize = c.definedSize;
        const TResultColumnDef d = ResultColumnFor(f);
        EXPECT_STREQ(FieldTypeName(d.Type), FieldTypeName(c.kind)) << int(c.code) << " " << c.precision << "," << c.scale;
        EXPECT_EQ(d.Size, c.size) << int(c.code) << " " << c.precision << "," << c.scale;
        EXPECT_EQ(d.Precision, c.columnPrecision) << int(c.code) << " " << c.precision << "," << c.scale;
    }
    TDBField bit;
    bit.Type = adBoolean;
    EXPECT_TRUE(ResultColumnFor(bit).IsTruth);
}

TEST(ColumnNames, UnnamedRepeatedAndLeftOut)
{
    auto field = [](const char* name, TDataType type = adInteger) {
        TDBField f;
        f.Name = QString::fromLatin1(name);
        f.Type = type;
        return f;
    };
    struct Case {
        QList<TDBField> fields;
        QStringList names;
        std::vector<int> sources;
    };
    const Case cases[] = {
        {{field(""), field("")}, {"COLUMN1", "COLUMN2"}, {0, 1}},
        {{field("a"), field("A")}, {"a", "A_1"}, {0, 1}},
        {{field("id"), field("id"), field("ID")}, {"id", "id_1", "ID_2"}, {0, 1, 2}},
        {{field("id_1"), field("id"), field("id")}, {"id_1", "id", "id_2"}, {0, 1, 2}},
        {{field(""), field("COLUMN1"), field("")}, {"COLUMN1", "COLUMN1_1", "COLUMN2"}, {0, 1, 2}},
        {{field("u", adUserDefined), field("k"), field("e", adEmpty), field("")}, {"k", "COLUMN1"}, {1, 3}},
    };
    for (const Case& c : cases) {
        std::vector<int> sources;
        const QList<TResultColumnDef> cols = BuildResultColumns(c.fields, &sources);
        QStringList names;
        for (const auto& col : cols)
            names << col.Name;
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(sources, c.sources);
    }
}

TEST(ResultTable, TypedColumnsNullsAndTexts)
{
    TResultTable t;
    t.DefineColumns({
        {QStringLiteral("i16"), ftSmallint, 0, 0, false},
        {QStringLiteral("flag"), ftSmallint, 0, 0, true},
        {QStringLiteral("w"), ftWord, 0, 0, false},
        {QStringLiteral("i32"), ftInteger, 0, 0, false},
        {QStringLiteral("i64"), ftLargeint, 0, 0, false},
        {QStringLiteral("f"), ftFloat, 0, 0, false},
        {QStringLiteral("bcd"), ftBCD, 2, 18, false},
        {QStringLiteral("fmt"), ftFMTBcd, 6, 20, false},
        {QStringLiteral("dt"), ftDateTime, 0, 0, false},
        {QStringLiteral("d"), ftDate, 0, 0, false},
        {QStringLiteral("t"), ftTime, 0, 0, false},
        {QStringLiteral("s"), ftWideString, 40, 0, false},
        {QStringLiteral("b"), ftVarBytes, 4, 0, false},
    });
    t.AppendInteger(-32768);
    t.AppendInteger(1);
    t.AppendInteger(65535);
    t.AppendInteger(-2147483647 - 1);
    t.AppendInteger(std::numeric_limits<qint64>::min());
    t.AppendFloat(0.1);
    t.AppendDecimal("-.05");
    t.AppendDecimal("-12345678901234.123456");
    t.AppendTicks(TicksFromParts(2019, 11, 28, 15, 4, 9, 123000000));
    t.AppendTicks(TicksFromParts(1, 1, 1, 0, 0, 0, 0));
    t.AppendTicks(TicksFromParts(1, 1, 1, 23, 59, 59, 999999900) % TicksPerDay);
    t.AppendText(QStringLiteral("Zoë"));
    t.AppendBytes(QByteArray("\x00\xFF", 2));
    t.Post();
    for (int i = 0; i < 13; ++i)
        t.AppendNull();
    t.Post();

    ASSERT_EQ(t.RowCount(), 2);
    const QStringList expected = {"-32768", "1", "65535", "-2147483648", "-9223372036854775808", "0.1", "-0.05",
                                  "-12345678901234.123456", "2019-11-28 15:04:09.123", "0001-01-01",
                                  "23:59:59.9999999", "Zoë", "0x00FF"};
    for (int c = 0; c < t.ColumnCount(); ++c) {
        EXPECT_EQ(t.DisplayText(0, c), expected[c]) << t.Column(c).Name.toStdString();
        EXPECT_FALSE(t.IsNull(0, c));
        EXPECT_TRUE(t.IsNull(1, c));
        EXPECT_EQ(t.DisplayText(1, c), QString());
        EXPECT_FALSE(t.Value(1, c).isValid());
    }
    EXPECT_EQ(t.AsInteger(0, 6), -5);  // scaled by 10^2
    EXPECT_EQ(t.ColumnIndex(QStringLiteral("BCD")), 6);
}

TEST(ResultTable, SnapshotStaysWhileTheTableMovesOn)
{
    TResultTable t;
    t.DefineColumns({{QStringLiteral("n"), ftInteger, 0, 0, false}, {QStringLiteral("s"), ftWideString, 10, 0, false}});
    for (int i = 0; i < 70000; ++i) {  // several chunks and null words
        t.AppendInteger(i);
        if (i % 3 == 0)
            t.AppendNull();
        else
            t.AppendText(QString::number(i));
        t.Post();
    }
    const TResultSnapshot first = t.Snapshot();
    TResultSnapshot copy = first;  // sharing, not copying rows

    t.DefineColumns({{QStringLiteral("other"), ftFloat, 0, 0, false}});
    t.AppendFloat(1.5);
    t.Post();

    ASSERT_EQ(first.RowCount(), 70000);
    EXPECT_EQ(first.ColumnCount(), 2);
    EXPECT_EQ(copy.AsInteger(69999, 0), 69999);
    EXPECT_TRUE(copy.IsNull(69999, 1));
    EXPECT_EQ(copy.AsText(69998, 1), QStringLiteral("69998"));
    EXPECT_EQ(t.RowCount(), 1);
    EXPECT_EQ(t.ColumnCount(), 1);

    // A table loaded from a snapshot copies only when it is changed.
    TResultTable loaded;
    loaded.LoadFromSnapshot(first);
    loaded.AppendInteger(-1);
    loaded.AppendText(QStringLiteral("new"));
    loaded.Post();
    EXPECT_EQ(loaded.RowCount(), 70001);
    EXPECT_EQ(first.RowCount(), 70000);
    EXPECT_EQ(loaded.AsText(70000, 1), QStringLiteral("new"));
}

TEST(Progress, RoundsHalfToEven)
{
    struct Case {
        int part, whole, percent;
    };
    const Case cases[] = {{1, 8, 12}, {3, 8, 38}, {5, 8, 62}, {7, 8, 88}, {1, 3, 33}, {2, 3, 67},
                          {3, 3, 100}, {1, 1, 100}, {1, 200, 0}, {3, 200, 2}, {0, 5, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(int(RoundPercent(c.part, c.whole)), c.percent) << c.part << "/" << c.whole;
}

TEST(Helpers, FileNamesAndTrimming)
{
    EXPECT_EQ(ExtractFileName(QStringLiteral("/a/b/01.sql")), QStringLiteral("01.sql"));
    EXPECT_EQ(ExtractFileName(QStringLiteral("C:\\scripts\\02.sql")), QStringLiteral("02.sql"));
    EXPECT_EQ(ExtractFileName(QStringLiteral("03.sql")), QStringLiteral("03.sql"));
    EXPECT_EQ(TrimBlanksAndControls(QStringLiteral("\r\n \t\x01select 1\r\n")), QStringLiteral("select 1"));
    EXPECT_EQ(TrimBlanksAndControls(QStringLiteral(" \r\n\r\n ")), QString());
    EXPECT_EQ(UserCancelException().Message(), QStringLiteral("User has canceled current operation."));
}

namespace {

// A recordset over rows held in memory. The server cannot send a column of a
// type the mapping leaves out (the sandbox has none, and SQL Server's CLR
// types need a real server), so capture of such columns is checked here.
class TListRecordset : public TDBRecordset {
public:
    std::vector<TDBField> Fields;
    QList<QVariantList> Rows;
    qsizetype Row = 0;
    mutable QString Text;
    mutable QByteArray Bytes;

    int State() const override { return adStateOpen; }
    void SetCacheSize(int) override {}
    int CacheSize() const override { return 1000; }
    int FieldCount() const override { return int(Fields.size()); }
    const TDBField& Field(int index) const override { return Fields.at(size_t(index)); }
    int FieldIndex(const QString& name) const override
    {
        for (size_t i = 0; i < Fields.size(); ++i)
            if (Fields[i].Name.compare(name, Qt::CaseInsensitive) == 0)
                return int(i);
        return -1;
    }
    bool Eof() const override { return Row >= Rows.size(); }
    void MoveNext() override { ++Row; }
    bool IsNull(int f) const override { return !Rows[Row][f].isValid(); }
    qint64 AsInteger(int f) const override { return Rows[Row][f].toLongLong(); }
    double AsFloat(int f) const override { return Rows[Row][f].toDouble(); }
    QByteArrayView AsDecimalText(int f) const override
    {
        Bytes = Rows[Row][f].toString().toLatin1();
        return Bytes;
    }
    TDBTimeStamp AsTimeStamp(int f) const override
    {
        const QDateTime t = Rows[Row][f].toDateTime();
        return {t.date().year(), t.date().month(), t.date().day(), t.time().hour(), t.time().minute(),
                t.time().second(), t.time().msec() * 1000000};
    }
    QStringView AsString(int f) const override
    {
        Text = Rows[Row][f].toString();
        return Text;
    }
    QByteArrayView AsBytes(int f) const override
    {
        Bytes = Rows[Row][f].toByteArray();
        return Bytes;
    }
    QVariant Value(int f) const override { return Rows[Row][f]; }
    bool NextRecordset(qint64& affected) override
    {
        affected = -1;
        return false;
    }
    void Close() override {}
};

TDBField Described(const char* name, TDataType type, int precision = 0, int scale = 0)
{
    TDBField f;
    f.Name = QString::fromLatin1(name);
    f.Type = type;
    f.Precision = precision;
    f.NumericScale = scale;
    return f;
}

} // namespace

TEST(ResultCapture, LeftOutColumnsKeepTheOthersAligned)
{
    TListRecordset rs;
    rs.Fields = {Described("id", adInteger), Described("shape", adUserDefined), Described("flag", adBoolean),
                 Described("", adEmpty), Described("amount", adNumeric, 18, 2), Described("", adVarWChar),
                 Described("stamp", adDBTimeStamp)};
    rs.Rows = {
        {1, QByteArray("\x01\x02"), -1, 5, QStringLiteral("12.50"), QStringLiteral("a"),
         QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 6))},
        {2, QVariant(), 0, QVariant(), QVariant(), QVariant(), QVariant()},
    };
    TResultTable table;
    TResultCapture capture;
    capture.CreateResultFields(rs, table);
    capture.FillResult(rs, table);

    ASSERT_EQ(table.ColumnCount(), 5);
    QStringList names;
    for (int c = 0; c < table.ColumnCount(); ++c)
        names << table.Column(c).Name;
    EXPECT_EQ(names, (QStringList{"id", "flag", "amount", "COLUMN1", "stamp"}));
    ASSERT_EQ(table.RowCount(), 2);
    EXPECT_EQ(table.DisplayText(0, 0), QStringLiteral("1"));
    EXPECT_EQ(table.DisplayText(0, 1), QStringLiteral("1"));  // true (-1) is stored as 1
    EXPECT_EQ(table.DisplayText(0, 2), QStringLiteral("12.50"));
    EXPECT_EQ(table.DisplayText(0, 3), QStringLiteral("a"));
    EXPECT_EQ(table.DisplayText(0, 4), QStringLiteral("2024-01-02 03:04:05.006"));
    EXPECT_EQ(table.DisplayText(1, 0), QStringLiteral("2"));
    EXPECT_EQ(table.DisplayText(1, 1), QStringLiteral("0"));
    for (int c = 2; c < 5; ++c)
        EXPECT_TRUE(table.IsNull(1, c));
}
