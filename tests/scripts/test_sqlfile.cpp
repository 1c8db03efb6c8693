#include "ScriptFixture.h"
#include "untCommon.h"
#include "untSQLFile.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Batches = QList<QStringList>;

class SQLFileSplit : public ScriptFixture {
protected:
    struct Result {
        Batches batches;
        bool use;
        bool goN;
    };
    Result Split(const QByteArray& bytes)
    {
        TSQLFile file(Write(bytes));
        file.SplitSQL();
        Result r{{}, file.UseDBWarn, file.GoNWarn};
        for (qsizetype i = 0; i < file.BatchCount(); ++i)
            r.batches.append(file.BatchLines(i));
        return r;
    }
};

TEST_F(SQLFileSplit, CutsAtLinesThatReadGoAloneAndFlagsUseAndGoN)
{
    struct Case {
        QByteArray bytes;
        Batches batches;
        bool use;
        bool goN;
        const char* why;
    };
    const Case cases[] = {
        {"select 1\r\ngo\r\nselect 2", {{"select 1"}, {"select 2"}}, false, false, "two batches"},
        {"select 1\r\nGO\r\n", {{"select 1"}, {}}, false, false, "last line a separator: final empty batch"},
        {"a\nGO\nGO\nb", {{"a"}, {}, {"b"}}, false, false, "two separators in a row"},
        {"a\n \t Go \x01\nb", {{"a"}, {"b"}}, false, false, "blanks and control characters around Go"},
        {"a\nGO 5\nb", {{"a", "GO 5", "b"}}, false, true, "GO with a count stays and flags"},
        {"a\nGO;\nb", {{"a", "GO;", "b"}}, false, false, "GO; neither separates nor flags"},
        {"a\ngo -- done\nb", {{"a", "go -- done", "b"}}, false, true, "GO with a comment flags"},
        {"/*\ngo\n*/", {{"/*"}, {"*/"}}, false, false, "no awareness of comments"},
        {"USE master;\nselect 1", {{"USE master;", "select 1"}}, true, false, "USE flags"},
        {"   use [db]\n", {{"   use [db]"}}, true, false, "use with leading blanks flags"},
        {"USE   \nUSE[db]\nUSE\tx\nselect 1 USE x", {{"USE   ", "USE[db]", "USE\tx", "select 1 USE x"}}, false, false,
         "USE alone, USE[, USE tab and mid-line USE do not flag"},
        {"a\r\nb\nc\rd\r\n\r\ne", {{"a", "b", "c", "d", "", "e"}}, false, false, "mixed line endings"},
        {"  indented\t\n", {{"  indented\t"}}, false, false, "blanks of ordinary lines kept"},
        {"", {{}}, false, false, "empty file: one empty batch"},
        {"\n", {{""}}, false, false, "one line break: one empty line"},
        {"\xEF\xBB\xBF", {{}}, false, false, "only a byte-order mark"},
        {"\xEF\xBB\xBFgo\nx", {{}, {"x"}}, false, false, "the mark is skipped before the first line"},
        {"\xEF\xBB\xBF\xEF\xBB\xBFx", {{QString(QChar(0xFEFF)) + "x"}}, false, false, "only the first mark is skipped"},
        {"\xC3\xA9t\xC3\xA9\nGO", {{QString::fromUtf8("\xC3\xA9t\xC3\xA9")}, {}}, false, false, "UTF-8 decoded"},
        {"caf\xE9 \x80\x9F\x81\nGO", {{QString::fromUtf8("caf\xC3\xA9 \xE2\x82\xAC\xC5\xB8") + QChar(0x81)}, {}}, false,
         false, "Windows-1252, 0x80-0x9F included"},
        {QByteArray("\xFF\xFEu\0s\0e\0 \0x\0\n\0g\0o\0\r\0\n\0y\0", 24), {{"use x"}, {"y"}}, true, false, "UTF-16 LE"},
        {QByteArray("\xFE\xFF\0G\0O\0 \0" "2", 10), {{"GO 2"}}, false, true, "UTF-16 BE"},
        {QByteArray("\xFF\xFE" "a\0" "b", 5), {{"a"}}, false, false, "UTF-16 with an odd last byte"},
        {"ok \xF0\x9F\x98\x80\nGO", {{QString::fromUtf8("ok \xF0\x9F\x98\x80")}, {}}, false, false,
         "four-byte UTF-8 without a mark"},
        {"a\xC3", {{QString::fromUtf8("a\xEF\xBF\xBD")}}, false, false, "two-byte sequence cut off: U+FFFD"},
        {"a\xE2\x82", {{QString::fromUtf8("a\xEF\xBF\xBD")}}, false, false, "three-byte sequence cut off: one U+FFFD"},
        {"\xEF\xBB\xBF" "a\xF0\x9F\x98", {{QString::fromUtf8("a\xEF\xBF\xBD")}}, false, false,
         "four-byte sequence cut off after a mark: one U+FFFD"},
    };
    for (const Case& c : cases) {
        const Result r = Split(c.bytes);
        EXPECT_EQ(r.batches, c.batches) << c.why;
        EXPECT_EQ(r.use, c.use) << c.why;
        EXPECT_EQ(r.goN, c.goN) << c.why;
    }
}

TEST_F(SQLFileSplit, NulCharacterRefusesTheFileNamingItsLine)
{
    struct Case {
        QByteArray bytes;
        int line;
        const char* why;
    };
    const Case cases[] = {
        {QByteArray("a\nb\0GO\nc", 8), 2, "a stray NUL inside a UTF-8 file"},
        {QByteArray(16, '\0'), 1, "only NULs"},
        {QByteArray("\0s\0e\0l\0e\0c\0t", 12), 1, "UTF-16 big-endian without a mark"},
        {QByteArray("s\0e\0l\0", 6), 1, "UTF-16 little-endian without a mark"},
        {QByteArray("x\r\ny\rz\n\0", 8), 4, "every kind of line break counts"},
        {QByteArray("caf\xE9 1\nGO\n\0", 11), 3, "Windows-1252"},
        {QByteArray("\xFF\xFEu\0\n\0x\0\n\0\0\0", 12), 3, "a U+0000 character in UTF-16"},
    };
    for (const Case& c : cases) {
        const QString path = Write(c.bytes);
        TSQLFile file(path);
        try {
            file.SplitSQL();
            ADD_FAILURE() << "no error: " << c.why;
        } catch (const EOrvexaError& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("File %1 holds a NUL character at line %2; it may be in another encoding.")
                                       .arg(path)
                                       .arg(c.line))
                << c.why;
        }
        EXPECT_EQ(file.BatchCount(), 0) << c.why;
    }
}

TEST_F(SQLFileSplit, RefusedFileLeavesEarlierBatchesAndFlagsAsTheyWere)
{
    TSQLFile file(Write("select 1\nGO\n"));
    file.SplitSQL();
    Write(QByteArray("USE x\nGO 2\nGO\n\0", 15));
    EXPECT_THROW(file.SplitSQL(), EOrvexaError);
    EXPECT_EQ(file.BatchCount(), 2);
    EXPECT_FALSE(file.UseDBWarn);
    EXPECT_FALSE(file.GoNWarn);
    EXPECT_EQ(file.BatchLines(0), QStringList{"select 1"});
}

TEST_F(SQLFileSplit, PipeIsReadOnce)
{
    // A pipe can be read once only: a script that reaches the runner as
    // /dev/fd/N (a shell's process substitution) must not be read twice.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([fd = fds[1]] {
        const QByteArray text = "select 1\r\ngo\r\nselect 2\r\n";
        EXPECT_EQ(::write(fd, text.constData(), size_t(text.size())), text.size());
        ::close(fd);
    });
    TSQLFile file(QStringLiteral("/dev/fd/%1").arg(fds[0]));
    file.SplitSQL();
    writer.join();
    ::close(fds[0]);
    ASSERT_EQ(file.BatchCount(), 2);
    EXPECT_EQ(file.BatchLines(0), QStringList{"select 1"});
    EXPECT_EQ(file.BatchLines(1), QStringList{"select 2"});
}

TEST_F(SQLFileSplit, FifoIsReadOnce)
{
    const QString path = FDir.filePath(QStringLiteral("script.fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    std::thread writer([&] {
        QFile fifo(path);
        ASSERT_TRUE(fifo.open(QIODevice::WriteOnly));
        // More than a pipe holds at once, so reader and writer take turns.
        for (int i = 0; i < 20000; ++i)
            fifo.write("select " + QByteArray::number(i) + "\nGO\n");
    });
    TSQLFile file(path);
    file.SplitSQL();
    writer.join();
    ASSERT_EQ(file.BatchCount(), 20001);
    EXPECT_EQ(file.BatchLines(19999), QStringList{"select 19999"});
}

TEST_F(SQLFileSplit, FileTruncatedWhileReadIsAnErrorNamingItNeverACrash)
{
    // Another process cuts the file short and makes it whole again while it
    // is read, over and over: first to its old size (the tail reads as
    // zeros), then the tail written back in place. Each split either sees one
    // whole version or fails naming the file: changed while read, or the
    // zeros of a half-restored version.
    const QByteArray full = QByteArray("select 1\nGO\n").repeated(2 * 1024 * 1024);
    const QString path = Write(full);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY);
        ASSERT_GE(fd, 0);
        while (!stop) {
            EXPECT_EQ(::ftruncate(fd, 4096), 0);
            EXPECT_EQ(::ftruncate(fd, full.size()), 0);
            EXPECT_EQ(::pwrite(fd, full.constData() + 4096, size_t(full.size() - 4096), 4096), full.size() - 4096);
        }
        ::close(fd);
    });
    int changed = 0;
    for (int attempt = 0; attempt < 30; ++attempt) {
        TSQLFile file(path);
        try {
            file.SplitSQL();
            EXPECT_TRUE(file.BatchCount() == 2 * 1024 * 1024 + 1 || file.BatchCount() == 4096 / 12 + 1)
                << file.BatchCount();
        } catch (const EOrvexaError& e) {
            EXPECT_TRUE(e.Message().startsWith(QStringLiteral("File ") + path)) << e.what();
            if (e.Message() == QStringLiteral("File ") + path + QStringLiteral(" changed while it was read."))
                ++changed;
        }
    }
    stop = true;
    writer.join();
    EXPECT_GT(changed, 0);
}

// Splits /dev/zero, which never ends, with the address space held to what
// the process has now and 512 MiB more (relative, so that a sanitizer's own
// reservations still fit), and ends the process: 0 when the read said it ran
// out of memory.
[[noreturn]] void SplitEndlessFileInLittleMemory()
{
    unsigned long long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%llu", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    const rlim_t bytes = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + (rlim_t(512) << 20);
    const rlimit limit{bytes, bytes};
    ::setrlimit(RLIMIT_AS, &limit);
    TSQLFile file(QStringLiteral("/dev/zero"));
    try {
        file.SplitSQL();
    } catch (const EOrvexaError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        std::_Exit(e.Message() == QStringLiteral("Not enough memory to read /dev/zero") ? 0 : 3);
    }
    std::_Exit(4);
}

TEST_F(SQLFileSplit, FileTooLargeForMemoryIsNotEnoughMemory)
{
    EXPECT_EXIT(SplitEndlessFileInLittleMemory(), ::testing::ExitedWithCode(0), "Not enough memory to read /dev/zero");
}

TEST_F(SQLFileSplit, BatchTextEndsEveryLineWithCrLf)
{
    TSQLFile file(Write("  select 1\nfrom t\rGO\n\n"));
    file.SplitSQL();
    ASSERT_EQ(file.BatchCount(), 2);
    EXPECT_EQ(file.BatchText(0), QStringLiteral("  select 1\r\nfrom t\r\n"));
    EXPECT_EQ(file.BatchText(1), QStringLiteral("\r\n"));
    EXPECT_EQ(file.SQLName(), FDir.filePath(QStringLiteral("script.sql")));
}

TEST_F(SQLFileSplit, CharactersAcrossReadChunksDecodeWhole)
{
    // The file is decoded in 4 MiB pieces; put a two-byte character across the
    // first boundary.
    const qsizetype boundary = 4 * 1024 * 1024;
    QByteArray bytes(10, 'x');
    bytes += "\n";
    bytes += QByteArray(boundary - 1 - bytes.size(), 'x');
    bytes += "\xC3\xA9\r\nGO\n\xE2\x82\xAC";
    const Result r = Split(bytes);
    ASSERT_EQ(r.batches.size(), 2);
    ASSERT_EQ(r.batches[0].size(), 2);
    EXPECT_EQ(r.batches[0][1].size(), boundary - 11);
    EXPECT_TRUE(r.batches[0][1].endsWith(QChar(0xE9)));
    EXPECT_EQ(r.batches[1], QStringList{QString(QChar(0x20AC))});
}

TEST_F(SQLFileSplit, MissingFileLeavesNoBatches)
{
    const QString path = FDir.filePath(QStringLiteral("gone.sql"));
    TSQLFile file(path);
    try {
        file.SplitSQL();
        FAIL() << "no error for a missing file";
    } catch (const EOrvexaError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("File:") + path + QStringLiteral(" does not exist."));
    }
    EXPECT_EQ(file.BatchCount(), 0);
}

TEST_F(SQLFileSplit, BinaryGarbageSplitsWithoutFailing)
{
    QByteArray bytes;
    for (int i = 0; i < 100000; ++i)
        bytes += char((i * 7919 + 13) % 255 + 1);  // no NUL, every other byte value
    const Result r = Split(bytes);
    EXPECT_GE(r.batches.size(), 1);
}
