#include "CliProcess.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

} // namespace

TEST(CliSplit, ReportsEncodingFlagsAndBatchesPerFileInOrder)
{
    QTemporaryDir dir;
    const QString a = WriteFile(dir, QStringLiteral("a.sql"), "use master\r\n  select 1\r\ngo\r\nGO 2\r\n");
    const QString b = WriteFile(dir, QStringLiteral("b.sql"), QByteArray("\xFF\xFEs\0\n\0", 6));
    const QString c = WriteFile(dir, QStringLiteral("c.sql"), "caf\xE9\rgo");

    const TCliResult r = TCli().Run({QStringLiteral("split"), a, b, c});
    ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    const QJsonArray files = QJsonDocument::fromJson(r.Out.toUtf8()).array();
    ASSERT_EQ(files.size(), 3);

    const QJsonObject fa = files[0].toObject();
    EXPECT_EQ(fa[QStringLiteral("path")].toString(), a);
    EXPECT_EQ(fa[QStringLiteral("encoding")].toString(), QStringLiteral("utf-8"));
    EXPECT_TRUE(fa[QStringLiteral("useDBWarn")].toBool());
    EXPECT_TRUE(fa[QStringLiteral("goNWarn")].toBool());
    const QJsonArray batches = fa[QStringLiteral("batches")].toArray();
    ASSERT_EQ(batches.size(), 2);
    EXPECT_EQ(batches[0].toArray(), QJsonArray({QStringLiteral("use master"), QStringLiteral("  select 1")}));
    EXPECT_EQ(batches[1].toArray(), QJsonArray({QStringLiteral("GO 2")}));

    EXPECT_EQ(files[1].toObject()[QStringLiteral("encoding")].toString(), QStringLiteral("utf-16le"));
    const QJsonObject fc = files[2].toObject();
    EXPECT_EQ(fc[QStringLiteral("encoding")].toString(), QStringLiteral("ansi"));
    EXPECT_EQ(fc[QStringLiteral("batches")].toArray(),
              QJsonArray({QJsonArray({QString::fromUtf8("caf\xC3\xA9")}), QJsonArray()}));
}

TEST(CliSplit, EdgeCasesOfSplittingAsTheBinaryReportsThem)
{
    struct Case {
        QByteArray bytes;
        const char* batches;  // the "batches" member, compact JSON
        bool goN;
    };
    const Case cases[] = {
        {"", "[[]]", false},
        {"select 1\nGO\n", "[[\"select 1\"],[]]", false},
        {"a\ngo\nGO\nb", "[[\"a\"],[],[\"b\"]]", false},
        {"a\n  Go \t\nGO 5\nGO;", "[[\"a\"],[\"GO 5\",\"GO;\"]]", true},
        {"a\rb\r\nc\n", "[[\"a\",\"b\",\"c\"]]", false},
        {"\"q\" \\ \t\x01\x1f \xC3\xA9 \xF0\x9F\x98\x80 /", "[[\"\\\"q\\\" \\\\ \\t\\u0001\\u001f \xC3\xA9 \xF0\x9F\x98\x80 /\"]]",
         false},
    };
    QTemporaryDir dir;
    const TCli cli;
    for (const Case& c : cases) {
        const QString path = WriteFile(dir, QStringLiteral("case.sql"), c.bytes);
        const TCliResult r = cli.Run({QStringLiteral("split"), path});
        ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
        const QJsonObject file = QJsonDocument::fromJson(r.Out.toUtf8()).array().first().toObject();
        EXPECT_EQ(QJsonDocument(file[QStringLiteral("batches")].toArray()).toJson(QJsonDocument::Compact),
                  QByteArray(c.batches))
            << c.bytes.toStdString();
        EXPECT_EQ(file[QStringLiteral("goNWarn")].toBool(), c.goN) << c.bytes.toStdString();
    }
}

TEST(CliSplit, MissingFileIsTheDetectorsMessageAndExitOne)
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("nope.sql"));
    const TCliResult r = TCli().Run({QStringLiteral("split"), missing});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Err, QStringLiteral("File:") + missing + QStringLiteral(" does not exist.\n"));
    EXPECT_TRUE(r.Out.isEmpty());
}

TEST(CliSplit, ScriptFromAPipeIsReadOnce)
{
    // /dev/stdin is the pipe the test writes into; it can be read only once.
    const TCliResult r =
        TCli().Run({QStringLiteral("split"), QStringLiteral("/dev/stdin")}, "select 1\r\nGO\r\nselect 2\r\n");
    ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    const QJsonObject file = QJsonDocument::fromJson(r.Out.toUtf8()).array().first().toObject();
    EXPECT_EQ(QJsonDocument(file[QStringLiteral("batches")].toArray()).toJson(QJsonDocument::Compact),
              QByteArray("[[\"select 1\"],[\"select 2\"]]"));
}

TEST(CliSplit, NulCharacterFailsTheSplitNamingFileAndLine)
{
    QTemporaryDir dir;
    const QString good = WriteFile(dir, QStringLiteral("good.sql"), "select 1\n");
    const QString bad = WriteFile(dir, QStringLiteral("bad.sql"), QByteArray("a\nb\0\nGO\nc", 9));
    const TCliResult r = TCli().Run({QStringLiteral("split"), good, bad});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Err, QStringLiteral("File ") + bad +
                         QStringLiteral(" holds a NUL character at line 2; it may be in another encoding.\n"));
    EXPECT_TRUE(r.Out.isEmpty()) << r.Out.toStdString();
}

TEST(CliSplit, ManyBatchesAcrossOutputBlocks)
{
    // More JSON than one block of output, with a character outside ASCII at
    // every batch, so blocks end inside strings and between batches.
    QByteArray script;
    for (int i = 0; i < 60000; ++i)
        script += "select N'caf\xC3\xA9', " + QByteArray::number(i) + "\nGO\n";
    QTemporaryDir dir;
    const TCliResult r = TCli().Run({QStringLiteral("split"), WriteFile(dir, QStringLiteral("big.sql"), script)});
    ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    const QJsonArray batches =
        QJsonDocument::fromJson(r.Out.toUtf8()).array().first().toObject()[QStringLiteral("batches")].toArray();
    ASSERT_EQ(batches.size(), 60001);
    for (int i : {0, 12345, 59999})
        EXPECT_EQ(batches[i].toArray(),
                  QJsonArray({QString::fromUtf8("select N'caf\xC3\xA9', ") + QString::number(i)}));
    EXPECT_EQ(batches[60000].toArray(), QJsonArray());
}
