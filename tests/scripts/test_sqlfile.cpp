#include "ScriptFixture.h"
#include "untCommon.h"
#include "untSQLFile.h"

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
        {QByteArray("a\nb\0GO\nc", 8), {{"a", "b"}}, false, false, "a NUL ends the text"},
        {QByteArray(16, '\0'), {{}}, false, false, "only NULs"},
        {"\xEF\xBB\xBF", {{}}, false, false, "only a byte-order mark"},
        {"\xEF\xBB\xBFgo\nx", {{}, {"x"}}, false, false, "the mark is skipped before the first line"},
        {"\xEF\xBB\xBF\xEF\xBB\xBFx", {{QString(QChar(0xFEFF)) + "x"}}, false, false, "only the first mark is skipped"},
        {"\xC3\xA9t\xC3\xA9\nGO", {{QString::fromUtf8("\xC3\xA9t\xC3\xA9")}, {}}, false, false, "UTF-8 decoded"},
        {"caf\xE9 \x80\x9F\x81\nGO", {{QString::fromUtf8("caf\xC3\xA9 \xE2\x82\xAC\xC5\xB8") + QChar(0x81)}, {}}, false,
         false, "Windows-1252, 0x80-0x9F included"},
        {QByteArray("\xFF\xFEu\0s\0e\0 \0x\0\n\0g\0o\0\r\0\n\0y\0", 24), {{"use x"}, {"y"}}, true, false, "UTF-16 LE"},
        {QByteArray("\xFE\xFF\0G\0O\0 \0" "2", 10), {{"GO 2"}}, false, true, "UTF-16 BE"},
        {QByteArray("\xFF\xFE" "a\0" "b", 5), {{"a"}}, false, false, "UTF-16 with an odd last byte"},
    };
    for (const Case& c : cases) {
        const Result r = Split(c.bytes);
        EXPECT_EQ(r.batches, c.batches) << c.why;
        EXPECT_EQ(r.use, c.use) << c.why;
        EXPECT_EQ(r.goN, c.goN) << c.why;
    }
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
