// SelectDestDir: the folder question, its writability test and its messages.
#include "test_excel_support.h"

#include "untExcelUtils.h"

#include <QFile>
#include <QQueue>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString NotWritable = QStringLiteral("This directory is not writable, please select another one.");

// Answers the folder dialog from a queue (empty: cancelled) and keeps what
// it was asked.
struct TFolderAnswers {
    QQueue<QString> Answers;
    QStringList Captions;
    QStringList StartDirs;

    TFolderChooser Chooser()
    {
        return [this](const QString& caption, const QString& startDir) {
            Captions.append(caption);
            StartDirs.append(startDir);
            return Answers.isEmpty() ? QString() : Answers.dequeue();
        };
    }
};

class DestDirTest : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    TRecordingMessageBox Messages;
    TFolderAnswers Folders;
    QString ReadOnly;
    bool Mounted = false;

    void TearDown() override
    {
        if (Mounted)
            ::umount2(QFile::encodeName(ReadOnly).constData(), MNT_DETACH);
    }

    // A folder that this process cannot write to. chmod is enough for an
    // ordinary user; root needs a read-only mount.
    bool MakeReadOnlyFolder()
    {
        ReadOnly = Dir.path() + QStringLiteral("/readonly");
        QDir().mkpath(ReadOnly);
        ::chmod(QFile::encodeName(ReadOnly).constData(), 0555);
        if (::access(QFile::encodeName(ReadOnly).constData(), W_OK) != 0)
            return true;
        Mounted = ::mount("tmpfs", QFile::encodeName(ReadOnly).constData(), "tmpfs", MS_RDONLY, "size=64k") == 0;
        return Mounted;
    }
};

TEST_F(DestDirTest, AWritableFolderIsTakenWithATrailingDelimiterAndNoTraces)
{
    QString saveDestDir = QStringLiteral("/start/");
    Folders.Answers.enqueue(Dir.path());
    ASSERT_TRUE(SelectDestDir(saveDestDir, Messages, Folders.Chooser()));
    EXPECT_EQ(saveDestDir, Dir.path() + QLatin1Char('/'));
    EXPECT_EQ(Folders.Captions, QStringList{QStringLiteral("Select a directory")});
    EXPECT_EQ(Folders.StartDirs, QStringList{QStringLiteral("/start/")});
    EXPECT_TRUE(Messages.Shown.isEmpty());
    EXPECT_TRUE(FilesIn(Dir.path()).isEmpty());  // velmoratest.txt is gone again
}

TEST_F(DestDirTest, CancelLeavesSaveDestDirAlone)
{
    QString saveDestDir = QStringLiteral("/start/");
    EXPECT_FALSE(SelectDestDir(saveDestDir, Messages, Folders.Chooser()));
    EXPECT_EQ(saveDestDir, QStringLiteral("/start/"));
    EXPECT_TRUE(Messages.Shown.isEmpty());
}

TEST_F(DestDirTest, AReadOnlyFolderIsRefusedAndAskedAgainUntilCancelOrAWritableOne)
{
    if (!MakeReadOnlyFolder())
        GTEST_SKIP() << "no read-only folder can be made here";
    struct TCase {
        QStringList Answers;     // folder dialog answers in order; then cancel
        bool Result;
        QString SaveDestDir;     // afterwards
        int NotWritableShown;
    };
    const QString writable = Dir.path() + QStringLiteral("/ok");
    QDir().mkpath(writable);
    const QList<TCase> cases{
        {{ReadOnly}, false, QStringLiteral("/start/"), 1},
        {{ReadOnly + QLatin1Char('/'), ReadOnly}, false, QStringLiteral("/start/"), 2},
        {{ReadOnly, writable}, true, writable + QLatin1Char('/'), 1},
        {{Dir.path() + QStringLiteral("/missing")}, false, QStringLiteral("/start/"), 1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Answers.join(QLatin1Char(',')).toStdString());
        Messages.Shown.clear();
        Folders = TFolderAnswers();
        for (const QString& a : c.Answers)
            Folders.Answers.enqueue(a);
        QString saveDestDir = QStringLiteral("/start/");
        EXPECT_EQ(SelectDestDir(saveDestDir, Messages, Folders.Chooser()), c.Result);
        EXPECT_EQ(saveDestDir, c.SaveDestDir);
        ASSERT_EQ(Messages.Shown.size(), c.NotWritableShown);
        for (const auto& shown : Messages.Shown) {
            EXPECT_EQ(shown.Text, NotWritable);
            EXPECT_EQ(shown.Caption, QStringLiteral("Error"));
            EXPECT_EQ(shown.Icon, TMsgIcon::Error);
        }
        // Every new question starts from the unchanged folder.
        for (const QString& start : Folders.StartDirs)
            EXPECT_EQ(start, QStringLiteral("/start/"));
    }
}

TEST_F(DestDirTest, AnExistingVelmoratestFileIsLeftAsItIs)
{
    QFile own(Dir.path() + QStringLiteral("/velmoratest.txt"));
    ASSERT_TRUE(own.open(QIODevice::WriteOnly));
    own.write("the user's own notes");
    own.close();
    QString saveDestDir;
    Folders.Answers.enqueue(Dir.path());
    ASSERT_TRUE(SelectDestDir(saveDestDir, Messages, Folders.Chooser()));
    ASSERT_TRUE(own.open(QIODevice::ReadOnly));
    EXPECT_EQ(own.readAll(), QByteArray("the user's own notes"));
    EXPECT_EQ(FilesIn(Dir.path()), QStringList{QStringLiteral("velmoratest.txt")});
}

TEST(ExportFileNameTest, DatabaseNamesStayInsideTheFolder)
{
    const QDateTime when(QDate(2026, 1, 2), QTime(3, 4, 5, 60));
    const struct {
        const char* DBName;
        const char* Expected;
    } cases[] = {
        {"Sales", "/d/SalesExportResult2026010203040560"},
        {"My DB-1.x", "/d/My DB-1.xExportResult2026010203040560"},
        {"../etc", ".._etcExportResult2026010203040560"},
        {"a\\b:c*d?e\"f<g>h|i", "a_b_c_d_e_f_g_h_iExportResult2026010203040560"},
    };
    for (const auto& c : cases) {
        const QString name = ExportFileName(QStringLiteral("/d/"), QString::fromUtf8(c.DBName), when);
        EXPECT_TRUE(name.endsWith(QString::fromUtf8(c.Expected))) << name.toStdString();
        EXPECT_TRUE(name.startsWith(QStringLiteral("/d/")));
        EXPECT_FALSE(name.mid(3).contains(QLatin1Char('/'))) << name.toStdString();
    }
}

TEST(ExportFileNameTest, ANameInUseGetsANumber)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    const QDateTime when(QDate(2026, 1, 2), QTime(3, 4, 5, 60));
    const QString base = folder + QStringLiteral("HrExportResult2026010203040560");
    const QStringList expected{base, base + QStringLiteral(" (2)"), base + QStringLiteral(" (3)")};
    for (const QString& name : expected) {
        EXPECT_EQ(ExportFileName(folder, QStringLiteral("Hr"), when), name);
        QFile f(name + QStringLiteral(".xlsx"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
}

} // namespace
