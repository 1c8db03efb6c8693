#include "ScriptFixture.h"
#include "untCommon.h"
#include "untEncodingDetector.h"

using TEncoding = TEncodingDetector::TEncoding;

class EncodingDetection : public ScriptFixture {};

TEST_F(EncodingDetection, ClassifiesByMarkThenByPlausibleUtf8)
{
    struct Case {
        QByteArray bytes;
        TEncoding expected;
        const char* why;
    };
    const Case cases[] = {
        {QByteArray(), TEncoding::UTF8, "empty"},
        {"\xEF\xBB\xBF", TEncoding::UTF8, "only the UTF-8 mark"},
        {"\xEF\xBB\xBF\xE9\xF0", TEncoding::UTF8, "the mark wins over invalid bytes"},
        {QByteArray("\xFF\xFE\x00\x00", 4), TEncoding::UTF16LE, "UTF-32 LE mark reads as UTF-16 LE"},
        {"\xFE\xFF", TEncoding::UTF16BE, "UTF-16 BE mark"},
        {"\xEF\xBB", TEncoding::UTF8, "a cut-off mark: a lead byte with fewer than two after it"},
        {"select 1", TEncoding::UTF8, "ASCII"},
        {"A\xC3", TEncoding::UTF8, "two-byte sequence cut off at the end"},
        {"A\xE2\x82", TEncoding::UTF8, "three-byte sequence missing its last byte"},
        {"A\xE9" "BC", TEncoding::None, "Latin-1 e-acute followed by two letters"},
        {"\xC3\xA9t\xC3\xA9", TEncoding::UTF8, "valid two-byte sequences"},
        {"\xE2\x82\xAC", TEncoding::UTF8, "valid three-byte sequence"},
        {"\xC0\x80\xC1\xBF", TEncoding::UTF8, "overlong forms pass"},
        {"ok \xF0\x9F\x98\x80", TEncoding::UTF8, "four-byte sequence (emoji)"},
        {"\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF \xF3\xA0\x80\x81", TEncoding::UTF8, "U+10000, U+10FFFF, U+E0001"},
        {"\xF0\x8F\xBF\xBF", TEncoding::None, "four-byte overlong form"},
        {"\xF4\x90\x80\x80", TEncoding::None, "past U+10FFFF"},
        {"\xF5\x80\x80\x80", TEncoding::None, "lead byte F5"},
        {"\xF0\x9F\x41\x80", TEncoding::None, "four-byte lead without its continuation bytes"},
        {"ok \xF0\x9F\x98", TEncoding::None, "four-byte sequence cut off at the end"},
        {"abcdefghijklmnop\xFF", TEncoding::None, "F0-FF after a long ASCII run"},
        {"\x80", TEncoding::None, "a lone continuation byte"},
        {QByteArray("s\0e\0l\0", 6), TEncoding::UTF8, "UTF-16 LE without a mark, ASCII text"},
        {QByteArray(64, '\0'), TEncoding::UTF8, "only NULs"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TEncodingDetector::GetEncoding(Write(c.bytes)), c.expected) << c.why;
}

TEST_F(EncodingDetection, ThreeBytesWithOnlyOneAfterTheLeadPass)
{
    // E9 with one byte after it: fewer than two follow, so the test stops with yes.
    EXPECT_EQ(TEncodingDetector::Classify("A\xE9" "B"), TEncoding::UTF8);
    EXPECT_EQ(TEncodingDetector::Classify("A\xE9"), TEncoding::UTF8);
}

TEST_F(EncodingDetection, MissingFileGivesTheExactMessage)
{
    const QString path = FDir.filePath(QStringLiteral("absent.sql"));
    try {
        TEncodingDetector::GetEncoding(path);
        FAIL() << "no error for a missing file";
    } catch (const EOrvexaError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("File:") + path + QStringLiteral(" does not exist."));
    }
}

TEST_F(EncodingDetection, UnreadableFileNamesTheFileAndTheReason)
{
    // A folder exists but cannot be read as a file, even by root.
    const QString path = FDir.path();
    try {
        TEncodingDetector::GetEncoding(path);
        FAIL() << "no error for a folder";
    } catch (const EOrvexaError& e) {
        EXPECT_TRUE(e.Message().contains(path)) << e.what();
        EXPECT_FALSE(e.Message().endsWith(QStringLiteral(" does not exist."))) << e.what();
    }
}
