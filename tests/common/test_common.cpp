#include "untCommon.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

TEST(CenterTitle, PadsToSixtyColumnsWithTheOddOneOnTheRight)
{
    struct Case {
        int length;
        int left;
        int right;
    };
    const Case cases[] = {
        {0, 30, 30}, {1, 29, 30}, {16, 22, 22}, {59, 0, 1}, {60, 0, 0}, {61, 0, 1}, {62, 0, 0}, {70, 0, 0},
    };
    for (const Case& c : cases) {
        const QString text(c.length, QLatin1Char('x'));
        const QString expected = QString(c.left, QLatin1Char('=')) + text + QString(c.right, QLatin1Char('='));
        EXPECT_EQ(CenterTitle(text), expected) << "length " << c.length;
    }
    EXPECT_EQ(CenterTitle(QStringLiteral("Error list begin")),
              QString(22, QLatin1Char('=')) + QStringLiteral("Error list begin") + QString(22, QLatin1Char('=')));
}

TEST(GetTimeStamp, TwoDigitFieldsAndTheLastTwoDigitsOfTheMilliseconds)
{
    struct Case {
        QDateTime when;
        const char* expected;
    };
    const Case cases[] = {
        {QDateTime(QDate(2020, 1, 1), QTime(0, 0, 0, 0)), "2020010100000000"},
        {QDateTime(QDate(2020, 1, 1), QTime(0, 0, 0, 999)), "2020010100000099"},
        {QDateTime(QDate(2019, 11, 28), QTime(15, 4, 9, 123)), "2019112815040923"},
        {QDateTime(QDate(2021, 12, 31), QTime(23, 59, 59, 5)), "2021123123595905"},
        {QDateTime(QDate(2021, 12, 31), QTime(23, 59, 59, 40)), "2021123123595940"},
        {QDateTime(QDate(999, 3, 4), QTime(5, 6, 7, 8)), "999030405060708"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetTimeStamp(c.when), QString::fromLatin1(c.expected));
}

TEST(ConnectionStrings, FormatsAreFilledInOrderWithValuesAsStored)
{
    TInstanceAndDBInfo nt{QStringLiteral("SRV1\\SQL2017"), QStringLiteral("ignored"), QStringLiteral("ignored"), true,
                          QStringLiteral("Sales")};
    EXPECT_EQ(DatabaseConnStr(nt), QStringLiteral("Provider=SQLOLEDB.1;Persist Security Info=False;Data Source=SRV1\\SQL2017;"
                                                  "Integrated Security=SSPI;Initial Catalog=Sales"));
    EXPECT_EQ(InstanceConnStr(nt.Instance()), QStringLiteral("Provider=SQLOLEDB.1;Persist Security Info=False;"
                                                             "Data Source=SRV1\\SQL2017;Integrated Security=SSPI"));

    TInstanceAndDBInfo sql{QStringLiteral("db1"), QStringLiteral("sa"), QString(), false, QStringLiteral("HR")};
    EXPECT_EQ(DatabaseConnStr(sql), QStringLiteral("Provider=SQLOLEDB.1;Data Source=db1;Persist Security Info=True;"
                                                   "User ID=sa;Password=\"\";Initial Catalog=HR"));

    // Separators and quotes go in unchanged, and a value that itself holds
    // "%s" is not expanded again.
    TInstanceAndDBInfo odd{QStringLiteral("h"), QStringLiteral("u;x"), QStringLiteral("p\"%s;"), false, QStringLiteral("d")};
    EXPECT_EQ(DatabaseConnStr(odd), QStringLiteral("Provider=SQLOLEDB.1;Data Source=h;Persist Security Info=True;"
                                                   "User ID=u;x;Password=\"p\"%s;\";Initial Catalog=d"));
}

TEST(Folders, AppDataPathIsTheMakerFolderUnderTheDataLocation)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", home.path().toLocal8Bit() + "/nested/share");
    const QString path = GetAppDataPath();
    qputenv("XDG_DATA_HOME", saved);

    EXPECT_EQ(path, home.path() + QStringLiteral("/nested/share/Velmora/"));
    EXPECT_TRUE(QDir(path).exists());
}

TEST(Errors, MessageSurvivesAsTextAndAsUtf8)
{
    const EOrvexaError error(QStringLiteral("File:é does not exist."));
    EXPECT_EQ(error.Message(), QStringLiteral("File:é does not exist."));
    EXPECT_STREQ(error.what(), "File:\xC3\xA9 does not exist.");
}
