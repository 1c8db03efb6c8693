// ExportToExcel: workbooks written by the real writer and read back with
// openpyxl.
#include "test_excel_support.h"

#include "untExcelApp.h"
#include "untExcelUtils.h"
#include "untThread.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <unistd.h>

namespace {

class ExportTest : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    TRecordingMessageBox Messages;

    QString Base(const QString& name = QStringLiteral("Sales")) const { return Dir.path() + QLatin1Char('/') + name; }
};

TVariantArr Arr(std::initializer_list<TResultSnapshot> snapshots)
{
    TVariantArr data;
    for (const TResultSnapshot& s : snapshots)
        data.append(QVariant::fromValue(s));
    return data;
}

TEST_F(ExportTest, OneTabGivesOneSheetNamedAfterTheTabWithTitleRowAndTargetColumns)
{
    const QString fileName = ExportFileName(Dir.path() + QLatin1Char('/'), QStringLiteral("Sales"),
                                            QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 890)));
    EXPECT_EQ(fileName, Dir.path() + QStringLiteral("/SalesExportResult2026030405060790"));
    ASSERT_TRUE(ExportToExcel(fileName, QStringLiteral("SRV1"), QStringLiteral("Sales"), Arr({SmallResult(2)}), 3,
                              Messages));
    EXPECT_TRUE(Messages.Shown.isEmpty());
    EXPECT_EQ(FilesIn(Dir.path()), QStringList{QStringLiteral("SalesExportResult2026030405060790.xlsx")});

    const auto sheets = ReadWorkbook(fileName + QStringLiteral(".xlsx"));
    ASSERT_EQ(SheetNames(sheets), QStringList{QStringLiteral("Result3")});
    const QList<QStringList> expected{
        {"s:Instance", "s:Database", "s:id", "s:name"},
        {"s:SRV1", "s:Sales", "n:1", "s:row1"},
        {"s:SRV1", "s:Sales", "n:2", "s:row2"},
    };
    EXPECT_EQ(sheets[0].Rows, expected);
    EXPECT_EQ(sheets[0].TitleBold, (QList<bool>{true, true, true, true}));
    EXPECT_EQ(sheets[0].FreezePanes, QStringLiteral("A2"));
}

TEST_F(ExportTest, DatabaseExportGivesResultSheetsInOrderWithoutSheet1)
{
    ASSERT_TRUE(ExportToExcel(Base(), QStringLiteral("SRV1"), QStringLiteral("Sales"),
                              Arr({SmallResult(1, QStringLiteral("a")), SmallResult(3, QStringLiteral("b")),
                                   SmallResult(0)}),
                              -1, Messages));
    const auto sheets = ReadWorkbook(Base() + QStringLiteral(".xlsx"));
    ASSERT_EQ(SheetNames(sheets), (QStringList{"Result1", "Result2", "Result3"}));
    EXPECT_EQ(sheets[0].Rows.size(), 2);
    EXPECT_EQ(sheets[0].Rows[1], (QStringList{"s:SRV1", "s:Sales", "n:1", "s:a1"}));
    EXPECT_EQ(sheets[1].Rows.size(), 4);
    EXPECT_EQ(sheets[1].Rows[3], (QStringList{"s:SRV1", "s:Sales", "n:3", "s:b3"}));
    // An empty result set still gets its sheet with the title row.
    EXPECT_EQ(sheets[2].Rows, (QList<QStringList>{{"s:Instance", "s:Database", "s:id", "s:name"}}));
}

TEST_F(ExportTest, CellsTakeTheirColumnsKind)
{
    struct TCase {
        TResultColumnDef Column;
        std::function<void(TResultTable&)> Append;
        QString Cell;    // as read back
        QString Format;  // number format read back
    };
    const QList<TCase> cases{
        {{"code", ftString, 10}, [](TResultTable& t) { t.AppendText(u"00123"); }, "s:00123", "General"},
        {{"looks_like_date", ftWideString, 20}, [](TResultTable& t) { t.AppendText(u"2024-01-02"); },
         "s:2024-01-02", "General"},
        {{"formula", ftWideString, 20}, [](TResultTable& t) { t.AppendText(u"=1+1"); }, "s:=1+1", "General"},
        {{"small", ftSmallint}, [](TResultTable& t) { t.AppendInteger(-7); }, "n:-7", "0"},
        {{"key15", ftLargeint}, [](TResultTable& t) { t.AppendInteger(999999999999999); }, "n:999999999999999", "0"},
        {{"key16", ftLargeint}, [](TResultTable& t) { t.AppendInteger(1234567890123456); }, "s:1234567890123456",
         "General"},
        {{"min64", ftLargeint}, [](TResultTable& t) { t.AppendInteger(std::numeric_limits<qint64>::min()); },
         "s:-9223372036854775808", "General"},
        {{"flag", ftSmallint, 0, 0, true}, [](TResultTable& t) { t.AppendInteger(1); }, "n:1", "0"},
        {{"ratio", ftFloat}, [](TResultTable& t) { t.AppendFloat(0.1); }, "n:0.1", "General"},
        {{"money", ftBCD, 2, 10}, [](TResultTable& t) { t.AppendDecimal("12.50"); }, "n:12.5", "0.00"},
        {{"d15", ftFMTBcd, 10, 38}, [](TResultTable& t) { t.AppendDecimal("-12345.0000000001"); },
         "n:-12345.0000000001", "0.0000000000"},
        {{"d16", ftFMTBcd, 10, 38}, [](TResultTable& t) { t.AppendDecimal("-123456.0000000001"); },
         "s:-123456.0000000001", "General"},
        {{"d38", ftFMTBcd, 10, 38},
         [](TResultTable& t) { t.AppendDecimal("1234567890123456789012345678.1234567891"); },
         "s:1234567890123456789012345678.1234567891", "General"},
        {{"dfits", ftFMTBcd, 10, 38}, [](TResultTable& t) { t.AppendDecimal("-123456789.0123450000"); },
         "n:-123456789.012345", "0.0000000000"},
        {{"stamp", ftDateTime}, [](TResultTable& t) { t.AppendTicks(TicksFromParts(2024, 2, 29, 13, 14, 15, 0)); },
         "d:2024-02-29T13:14:15", "yyyy-mm-dd hh:mm:ss"},
        {{"early1900", ftDateTime}, [](TResultTable& t) { t.AppendTicks(TicksFromParts(1900, 1, 1, 6, 0, 0, 0)); },
         "d:1900-01-01T06:00:00", "yyyy-mm-dd hh:mm:ss"},
        {{"day", ftDate}, [](TResultTable& t) { t.AppendTicks(TicksFromParts(1999, 12, 31, 0, 0, 0, 0)); },
         "d:1999-12-31T00:00:00", "yyyy-mm-dd"},
        {{"old", ftDate}, [](TResultTable& t) { t.AppendTicks(TicksFromParts(1753, 1, 1, 0, 0, 0, 0)); },
         "s:1753-01-01", "General"},
        {{"clock", ftTime}, [](TResultTable& t) { t.AppendTicks(TicksFromParts(1, 1, 1, 23, 59, 58, 0)); },
         "t:23:59:58", "hh:mm:ss"},
        {{"id", ftGuid, 38}, [](TResultTable& t) { t.AppendText(u"{6F9619FF-8B86-D011-B42D-00C04FC964FF}"); },
         "s:{6F9619FF-8B86-D011-B42D-00C04FC964FF}", "General"},
        {{"bin", ftVarBytes, 8}, [](TResultTable& t) { t.AppendBytes(QByteArrayView("\x00\xff\x10", 3)); },
         "s:0x00FF10", "General"},
        {{"nothing", ftWideString, 10}, [](TResultTable& t) { t.AppendNull(); }, "", "General"},
        // An empty text is an empty cell too: the writer has no empty strings.
        {{"empty", ftWideString, 10}, [](TResultTable& t) { t.AppendText(u""); }, "", "General"},
        {{"nullnum", ftInteger}, [](TResultTable& t) { t.AppendNull(); }, "", "General"},
    };
    QList<TResultColumnDef> columns;
    for (const TCase& c : cases)
        columns.append(c.Column);
    // The last column holds a value so that every cell before it is read.
    columns.append({QStringLiteral("end"), ftInteger});
    const TResultSnapshot snapshot = MakeSnapshot(columns, 1, [&](TResultTable& t, qint64) {
        for (const TCase& c : cases)
            c.Append(t);
        t.AppendInteger(0);
    });
    ASSERT_TRUE(ExportToExcel(Base(), QStringLiteral("SRV1"), QStringLiteral("Sales"), Arr({snapshot}), -1, Messages));
    const auto sheets = ReadWorkbook(Base() + QStringLiteral(".xlsx"));
    ASSERT_EQ(sheets.size(), 1);
    ASSERT_EQ(sheets[0].Rows.size(), 2);
    for (int i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].Column.Name.toStdString());
        EXPECT_EQ(sheets[0].Rows[1].value(i + 2), cases[i].Cell);
        if (!cases[i].Cell.isEmpty()) {
            EXPECT_EQ(sheets[0].Formats[1].value(i + 2), cases[i].Format);
        }
    }
}

TEST_F(ExportTest, LongTextKeepsExcelsLimitAndWholeCharacters)
{
    const QString longText = QString(ExcelMaxTextLength - 1, QLatin1Char('x')) + QString::fromUtf8("\U0001F600tail");
    const TResultSnapshot snapshot = MakeSnapshot({{QStringLiteral("memo"), ftWideMemo}}, 1,
                                                  [&](TResultTable& t, qint64) { t.AppendText(longText); });
    ASSERT_TRUE(ExportToExcel(Base(), QStringLiteral("SRV1"), QStringLiteral("Sales"), Arr({snapshot}), -1, Messages));
    const auto sheets = ReadWorkbook(Base() + QStringLiteral(".xlsx"));
    ASSERT_EQ(sheets.size(), 1);
    EXPECT_EQ(sheets[0].Rows[1].value(2), QStringLiteral("s:") + QString(ExcelMaxTextLength - 1, QLatin1Char('x')));
}

TEST_F(ExportTest, TabIndexWithSeveralResultsIsAConflictAndWritesNothing)
{
    EXPECT_FALSE(ExportToExcel(Base(), QStringLiteral("SRV1"), QStringLiteral("Sales"),
                               Arr({SmallResult(1), SmallResult(1)}), 2, Messages));
    ASSERT_EQ(Messages.Shown.size(), 1);
    EXPECT_EQ(Messages.Shown[0].Text, QStringLiteral("The parameter is conflict."));
    EXPECT_EQ(Messages.Shown[0].Caption, QStringLiteral("Error"));
    EXPECT_EQ(Messages.Shown[0].Icon, TMsgIcon::Error);
    EXPECT_TRUE(FilesIn(Dir.path()).isEmpty());
}

TEST_F(ExportTest, ExportAllWritesOneWorkbookPerDatabaseWithResults)
{
    const TVariantArr none{QVariant()};
    // The second database has no results; the third and fourth share a
    // database name on two instances and are exported within one time stamp.
    const QList<TExportSource> sources{
        {QStringLiteral("SRV1"), QStringLiteral("Sales"), Arr({SmallResult(2)})},
        {QStringLiteral("SRV1"), QStringLiteral("Empty"), none},
        {QStringLiteral("SRV1"), QStringLiteral("Hr"), Arr({SmallResult(1), SmallResult(3)})},
        {QStringLiteral("SRV2"), QStringLiteral("Hr"), Arr({SmallResult(4)})},
    };
    qint64 last = 0;
    ASSERT_TRUE(ExportDatabases(sources, Dir.path() + QLatin1Char('/'), Messages, [&](qint64 done, qint64 total) {
        EXPECT_EQ(total, 10);
        EXPECT_GE(done, last);
        last = done;
        return true;
    }));
    EXPECT_EQ(last, 10);
    const QStringList files = FilesIn(Dir.path());
    ASSERT_EQ(files.size(), 3) << files.join(QLatin1Char(' ')).toStdString();
    QStringList hr = files.filter(QRegularExpression(QStringLiteral("^HrExportResult\\d{16}( \\(\\d\\))?\\.xlsx$")));
    ASSERT_EQ(hr.size(), 2);
    EXPECT_EQ(files.filter(QRegularExpression(QStringLiteral("^SalesExportResult\\d{16}\\.xlsx$"))).size(), 1);
    QStringList instances;
    for (const QString& f : hr) {
        const auto sheets = ReadWorkbook(Dir.path() + QLatin1Char('/') + f);
        ASSERT_FALSE(sheets.isEmpty());
        instances.append(sheets[0].Rows.value(1).value(0));
    }
    instances.sort();
    EXPECT_EQ(instances, (QStringList{"s:SRV1", "s:SRV2"}));
}

TEST_F(ExportTest, ExportAllWithOnlyMessageTabsWritesNothingAndSucceeds)
{
    const QList<TExportSource> sources{{QStringLiteral("SRV1"), QStringLiteral("A"), {QVariant()}},
                                       {QStringLiteral("SRV1"), QStringLiteral("B"), {QVariant()}}};
    EXPECT_TRUE(ExportDatabases(sources, Dir.path() + QLatin1Char('/'), Messages));
    EXPECT_TRUE(FilesIn(Dir.path()).isEmpty());
    EXPECT_TRUE(Messages.Shown.isEmpty());
}

TEST_F(ExportTest, AnExistingFileIsNeverReplaced)
{
    QFile other(Base() + QStringLiteral(".xlsx"));
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.write("someone else's");
    other.close();
    EXPECT_THROW(ExportToExcel(Base(), QStringLiteral("SRV1"), QStringLiteral("Sales"), Arr({SmallResult(1)}), -1,
                               Messages),
                 EOrvexaError);
    ASSERT_TRUE(other.open(QIODevice::ReadOnly));
    EXPECT_EQ(other.readAll(), QByteArray("someone else's"));
    EXPECT_EQ(FilesIn(Dir.path()), QStringList{QStringLiteral("Sales.xlsx")});
}

TEST_F(ExportTest, DataWithoutAResultSetIsAnErrorAndWritesNothing)
{
    const TVariantArr cases[] = {{}, {QVariant()}, {QVariant::fromValue(SmallResult(1)), QVariant()}};
    for (const TVariantArr& data : cases) {
        EXPECT_THROW(ExportToExcel(Base(), QStringLiteral("SRV1"), QStringLiteral("Sales"), data, -1, Messages),
                     EOrvexaError);
        EXPECT_TRUE(FilesIn(Dir.path()).isEmpty());
    }
    EXPECT_TRUE(Messages.Shown.isEmpty());
}

TEST_F(ExportTest, CancelFromProgressLeavesNoFile)
{
    qint64 lastTotal = 0;
    int calls = 0;
    const TExportProgress progress = [&](qint64 done, qint64 total) {
        lastTotal = total;
        return ++calls < 3 && done < total;
    };
    EXPECT_THROW(ExportToExcel(Base(), QStringLiteral("SRV1"), QStringLiteral("Sales"),
                               Arr({SmallResult(20000), SmallResult(20000)}), -1, Messages, progress),
                 UserCancelException);
    EXPECT_EQ(lastTotal, 40000);
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(FilesIn(Dir.path()).isEmpty());
}

TEST_F(ExportTest, ProgressReachesTheTotal)
{
    qint64 last = -1;
    ASSERT_TRUE(ExportToExcel(Base(), QStringLiteral("SRV1"), QStringLiteral("Sales"),
                              Arr({SmallResult(5000), SmallResult(7)}), -1, Messages, [&](qint64 done, qint64 total) {
                                  EXPECT_EQ(total, 5007);
                                  EXPECT_GE(done, last);
                                  last = done;
                                  return true;
                              }));
    EXPECT_EQ(last, 5007);
}

TEST_F(ExportTest, AFolderThatIsGoneFailsWithTheFileNameAndLeavesNothing)
{
    const QString gone = Dir.path() + QStringLiteral("/gone/Sales");
    try {
        ExportToExcel(gone, QStringLiteral("SRV1"), QStringLiteral("Sales"), Arr({SmallResult(3)}), -1, Messages);
        FAIL() << "no error";
    } catch (const EOrvexaError& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Cannot write ") + gone + QStringLiteral(".xlsx: ")))
            << e.what();
        EXPECT_TRUE(e.Message().contains(QStringLiteral("No such file or directory"))) << e.what();
    }
    EXPECT_TRUE(FilesIn(Dir.path()).isEmpty());
}

// A small tmpfs stands for a full disk; the test needs root (or is skipped).
class FullDiskTest : public ExportTest {
protected:
    QString Mount;
    void SetUp() override
    {
        Mount = Dir.path() + QStringLiteral("/small");
        QDir().mkpath(Mount);
        if (::mount("tmpfs", QFile::encodeName(Mount).constData(), "tmpfs", 0, "size=256k") != 0)
            GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
    }
    void TearDown() override
    {
        if (!Mount.isEmpty())
            ::umount2(QFile::encodeName(Mount).constData(), MNT_DETACH);
    }
};

TEST_F(FullDiskTest, AFullDiskRaisesTheErrorAndLeavesNoFileUnderTheFinalName)
{
    // 20,000 rows of distinct texts: well over 256 KB packed.
    const TResultSnapshot big = MakeSnapshot({{QStringLiteral("t"), ftWideString, 60}}, 20000, [](TResultTable& t, qint64 r) {
        t.AppendText(QStringLiteral("%1-%2").arg(r * 7919 % 100003).arg(QString::number(r * r, 36)));
    });
    const QString name = Mount + QStringLiteral("/SalesExportResult1");
    try {
        ExportToExcel(name, QStringLiteral("SRV1"), QStringLiteral("Sales"), Arr({big}), -1, Messages);
        FAIL() << "the full disk went unnoticed";
    } catch (const EOrvexaError& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("SalesExportResult1"))) << e.what();
    }
    EXPECT_EQ(FilesIn(Mount), QStringList());
    // The same folder takes a small workbook afterwards.
    ASSERT_TRUE(ExportToExcel(name, QStringLiteral("SRV1"), QStringLiteral("Sales"), Arr({SmallResult(2)}), -1,
                              Messages));
    EXPECT_EQ(FilesIn(Mount), QStringList{QStringLiteral("SalesExportResult1.xlsx")});
}

TEST_F(FullDiskTest, AWorkbookTooBigForItsFolderFailsAtSaveAndLeavesNothing)
{
    // The temporary data lies elsewhere: the packed file itself meets the full disk.
    TExcelApplication app;
    app.SetDefaultFilePath(Dir.path());
    TExcelWorkbook& book = app.AddWorkbook();
    TExcelWorksheet& sheet = book.AddWorksheet();
    for (int r = 1; r <= 20000; ++r)
        sheet.SetText(r, 1, QStringLiteral("%1-%2").arg(r * 7919 % 100003).arg(QString::number(qint64(r) * r, 36)));
    const QString name = Mount + QStringLiteral("/Big.xlsx");
    try {
        book.SaveAs(name, xlOpenXMLWorkbook);
        FAIL() << "the full disk went unnoticed";
    } catch (const EOrvexaError& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Cannot write ") + name)) << e.what();
    }
    EXPECT_FALSE(book.IsOpen());
    EXPECT_EQ(FilesIn(Mount), QStringList());
}

TEST_F(ExportTest, ARecordSetLongerThanASheetGoesOnOverNumberedSheets)
{
    // One record more than a sheet holds below its title row.
    const qint64 rows = ExcelMaxRows;
    const TResultSnapshot snapshot = MakeSnapshot({{QStringLiteral("n"), ftInteger}}, rows,
                                                  [](TResultTable& t, qint64 r) { t.AppendInteger(r + 1); });
    ASSERT_TRUE(ExportToExcel(Base(), QStringLiteral("S"), QStringLiteral("D"), Arr({snapshot, SmallResult(1)}), -1,
                              Messages));
    // openpyxl would take minutes over a million rows: the sheets are looked
    // at as the XML parts they are.
    const char* script = R"PY(
import sys, re, zipfile
z = zipfile.ZipFile(sys.argv[1])
wb = z.read("xl/workbook.xml").decode()
print("|".join(re.findall(r'<sheet name="([^"]+)"', wb)))
for i in (1, 2):
    with z.open("xl/worksheets/sheet%d.xml" % i) as f:
        head = f.read(2048).decode(errors="replace")
    print(re.search(r'<dimension ref="([^"]+)"', head).group(1))
print(z.read("xl/worksheets/sheet2.xml").decode().count("<row "))
tail = z.read("xl/worksheets/sheet2.xml").decode()
print(re.findall(r'<c r="C2"[^>]*><v>([^<]+)</v>', tail)[0])
)PY";
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"), QString::fromUtf8(script), Base() + QStringLiteral(".xlsx")});
    ASSERT_TRUE(python.waitForFinished(120000));
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    const QStringList lines = QString::fromUtf8(python.readAllStandardOutput()).split(QLatin1Char('\n'));
    EXPECT_EQ(lines.value(0), QStringLiteral("Result1|Result1 (2)|Result2"));
    EXPECT_EQ(lines.value(1), QStringLiteral("A1:C1048576"));
    EXPECT_EQ(lines.value(2), QStringLiteral("A1:C2"));
    EXPECT_EQ(lines.value(3), QStringLiteral("2"));  // the title row again and the last record
    EXPECT_EQ(lines.value(4), QString::number(rows));
}

} // namespace
