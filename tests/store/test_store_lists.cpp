// The instance and database lists, the identifier counters and the history.
#include "StoreTestSupport.h"

#include <limits>

namespace {

class StoreLists : public TOpenStoreTest {};

// Values that break statements built by quoting: stored, found and deleted exactly.
TEST_F(StoreLists, NamesAndPasswordsWithQuotesAndSemicolonsAreKeptExactly)
{
    const QStringList awkward = {
        "O'Brien",         "say \"hi\"",          "a;b",         "'; drop table Instances; --",
        "\"\"\"",          "x'\"';\"'y",          "SRV\\SQL2017", "tab\there",
        "line\nbreak",     QString::fromUtf8("Zürich-Ω-😀"), "%s%d",        "",
    };
    TDBListPacket packet;
    qint32 id = 1;
    for (const QString& s : awkward) {
        packet.Instances.append(MakeInstance(id, s, s + "u", s + "p", false, {{id * 10, s}, {id * 10 + 1, s + "2"}}));
        ++id;
    }
    ASSERT_TRUE(Dm().UpdateDBListData(packet));
    EXPECT_EQ(Dm().GetDBListData(), packet);

    TInstanceAndDBArr flat = Dm().GetDBList();
    ASSERT_EQ(flat.size(), awkward.size() * 2);
    for (qsizetype i = 0; i < awkward.size(); ++i) {
        EXPECT_EQ(flat[2 * i], (TInstanceAndDBInfo{awkward[i], awkward[i] + "u", awkward[i] + "p", false, awkward[i]}));
    }

    // Deleting each first database removes exactly that entry.
    TInstanceAndDBArr toDelete;
    for (const QString& s : awkward)
        toDelete.append({s, {}, {}, false, s});
    Dm().DeleteDBList(toDelete);
    EXPECT_TRUE(FBoxes.Shown.isEmpty());
    flat = Dm().GetDBList();
    ASSERT_EQ(flat.size(), awkward.size());
    for (qsizetype i = 0; i < awkward.size(); ++i)
        EXPECT_EQ(flat[i].DatabaseName, awkward[i] + "2");
}

TEST_F(StoreLists, FlatListOrder)
{
    ASSERT_TRUE(Dm().UpdateDBListData({{
        MakeInstance(7, "B", "u", "p", false, {{1, "Sales"}, {2, "HR"}, {3, "Archive"}}),
        MakeInstance(3, "A", "", "", true, {{4, "zeta"}, {5, "Alpha"}, {6, "beta"}}),
        MakeInstance(5, "Empty", "", "", true),
    }}));
    const TInstanceAndDBArr expected = {
        {"A", "", "", true, "Alpha"}, {"A", "", "", true, "beta"}, {"A", "", "", true, "zeta"},
        {"B", "u", "p", false, "Archive"}, {"B", "u", "p", false, "HR"}, {"B", "u", "p", false, "Sales"},
    };
    EXPECT_EQ(Dm().GetDBList(), expected);

    // The packet keeps ascending identifiers and each instance's stored order,
    // and holds the instance without databases.
    const TDBListPacket packet = Dm().GetDBListData();
    ASSERT_EQ(packet.Instances.size(), 3);
    EXPECT_EQ(packet.Instances[0].InstanceID, 3);
    EXPECT_EQ(packet.Instances[1].InstanceID, 5);
    EXPECT_TRUE(packet.Instances[1].Databases.isEmpty());
    EXPECT_EQ(packet.Instances[2].Databases[0].DatabaseName, "Sales");
}

TEST_F(StoreLists, DeletingTheLastDatabaseRemovesItsInstanceAndEveryEmptyOne)
{
    ASSERT_TRUE(Dm().UpdateDBListData({{
        MakeInstance(1, "One", "", "", true, {{1, "a"}}),
        MakeInstance(2, "Two", "", "", true, {{2, "a"}, {3, "b"}}),
        MakeInstance(3, "Never", "", "", true),
    }}));
    Dm().DeleteDBList({{"One", "x", "y", false, "a"}, {"Nowhere", "", "", true, "a"}, {"Two", "", "", true, "zz"}});
    const TDBListPacket packet = Dm().GetDBListData();
    ASSERT_EQ(packet.Instances.size(), 1);
    EXPECT_EQ(packet.Instances[0].InstanceName, "Two");
    EXPECT_EQ(packet.Instances[0].Databases.size(), 2);
    EXPECT_TRUE(FBoxes.Shown.isEmpty());
    // An empty call still removes an instance that never had databases.
    ASSERT_TRUE(Dm().UpdateDBListData({{MakeInstance(9, "Lonely", "", "", true)}}));
    EXPECT_TRUE(Dm().GetDBList().isEmpty());
    Dm().DeleteDBList({});
    EXPECT_TRUE(Dm().GetDBListData().Instances.isEmpty());
}

TEST_F(StoreLists, FailedRewriteKeepsThePreviousLists)
{
    const TDBListPacket before = {{MakeInstance(1, "Kept", "u", "p", false, {{1, "db"}})}};
    ASSERT_TRUE(Dm().UpdateDBListData(before));
    struct TCase {
        const char* Name;
        TDBListPacket Packet;
    };
    const TCase cases[] = {
        {"instance identifier twice",
         {{MakeInstance(5, "A", "", "", true, {{1, "x"}}), MakeInstance(5, "B", "", "", true, {{2, "y"}})}}},
        {"database identifier twice",
         {{MakeInstance(5, "A", "", "", true, {{4, "x"}}), MakeInstance(6, "B", "", "", true, {{4, "y"}})}}},
    };
    for (const TCase& tc : cases) {
        SCOPED_TRACE(tc.Name);
        FBoxes.Shown.clear();
        EXPECT_FALSE(Dm().UpdateDBListData(tc.Packet));
        ASSERT_EQ(FBoxes.Shown.size(), 1);
        EXPECT_EQ(FBoxes.Shown[0].Caption, "Error");
        EXPECT_EQ(FBoxes.Shown[0].Icon, TMsgIcon::Error);
        EXPECT_TRUE(FBoxes.Shown[0].Text.contains("UNIQUE")) << FBoxes.Shown[0].Text.toStdString();
        EXPECT_EQ(Dm().GetDBListData(), before);
        EXPECT_EQ(Dm().GetNextInstanceID(), 2);
    }
    // A packet without instances empties both lists.
    EXPECT_TRUE(Dm().UpdateDBListData({}));
    EXPECT_TRUE(Dm().GetDBListData().Instances.isEmpty());
}

TEST_F(StoreLists, FailedDeletionIsShownAndChangesNothing)
{
    const TDBListPacket before = {{MakeInstance(1, "I", "", "", true, {{1, "db"}})}};
    ASSERT_TRUE(Dm().UpdateDBListData(before));
    auto other = OpenDirect();
    other->Begin();
    Dm().DeleteDBList({{"I", "", "", true, "db"}});
    other->Rollback();
    ASSERT_EQ(FBoxes.Shown.size(), 1);
    EXPECT_EQ(FBoxes.Shown[0].Text, "Deletion was not successful. Error Messages:database is locked");
    EXPECT_EQ(FBoxes.Shown[0].Caption, "Error");
    EXPECT_EQ(FBoxes.Shown[0].Icon, TMsgIcon::Error);
    EXPECT_EQ(Dm().GetDBListData(), before);
}

TEST_F(StoreLists, CountersFollowTheHighestStoredIdentifier)
{
    Dm().ClearDBList();
    EXPECT_EQ(Dm().GetNextInstanceID(), 1);
    EXPECT_EQ(Dm().GetNextDatabaseID(), 1);

    ASSERT_TRUE(Dm().UpdateDBListData({{MakeInstance(3, "a", "", "", true, {{2, "x"}}),
                                        MakeInstance(7, "b", "", "", true, {{65535, "y"}})}}));
    EXPECT_EQ(Dm().GetNextInstanceID(), 8);
    EXPECT_EQ(Dm().GetNextInstanceID(), 9);
    // Past 65535 the counter goes on instead of wrapping onto identifiers in use.
    EXPECT_EQ(Dm().GetNextDatabaseID(), 65536);
    EXPECT_EQ(Dm().GetNextDatabaseID(), 65537);

    // A change to the lists restarts the counters from the store: instance 3
    // went with its last database, 7 is the highest left.
    Dm().DeleteDBList({{"a", "", "", true, "x"}});
    EXPECT_EQ(Dm().GetNextInstanceID(), 8);
    EXPECT_EQ(Dm().GetNextDatabaseID(), 65536);

    Dm().ClearDBList();
    EXPECT_EQ(Dm().GetNextInstanceID(), 1);
    EXPECT_EQ(Dm().GetNextDatabaseID(), 1);
}

TEST_F(StoreLists, CountersPastTheLargestIdentifierTakeFreeOnes)
{
    constexpr qint32 top = std::numeric_limits<qint32>::max();
    ASSERT_TRUE(Dm().UpdateDBListData({{MakeInstance(1, "a", "", "", true, {{top - 1, "x"}, {1, "y"}}),
                                        MakeInstance(2, "b", "", "", true), MakeInstance(4, "c", "", "", true),
                                        MakeInstance(top, "d", "", "", true)}}));
    EXPECT_EQ(Dm().GetNextInstanceID(), 3);
    EXPECT_EQ(Dm().GetNextInstanceID(), 5);
    EXPECT_EQ(Dm().GetNextInstanceID(), 6);
    EXPECT_EQ(Dm().GetNextDatabaseID(), top);
    EXPECT_EQ(Dm().GetNextDatabaseID(), 2);
    EXPECT_EQ(Dm().GetNextDatabaseID(), 3);

    // The handed-out identifiers are free in the store: a packet using them saves.
    TDBListPacket packet = Dm().GetDBListData();
    packet.Instances.append(MakeInstance(3, "new", "", "", true, {{top, "n1"}, {2, "n2"}}));
    EXPECT_TRUE(Dm().UpdateDBListData(packet));
    EXPECT_TRUE(FBoxes.Shown.isEmpty());
}

TEST_F(StoreLists, ClearKeepsTheHistory)
{
    ASSERT_TRUE(Dm().UpdateDBListData({{MakeInstance(1, "a", "", "", true, {{1, "x"}})}}));
    Dm().UpdateInstanceHist("a|");
    Dm().ClearDBList();
    EXPECT_TRUE(Dm().GetDBListData().Instances.isEmpty());
    EXPECT_EQ(Dm().GetInstanceHist(), "a|");
}

TEST_F(StoreLists, HistoryKeepsTheFirstEightPiecesInOrder)
{
    EXPECT_EQ(Dm().GetInstanceHist(), QString());
    const struct {
        QString In;
        QString Out;
    } cases[] = {
        {"a|b|", "a|b|"},
        {"a|b", "a|b|"},
        {"a||b|", "a||b|"},
        {"n1|n2|n3|n4|n5|n6|n7|n8|n9|n10|", "n1|n2|n3|n4|n5|n6|n7|n8|"},
        {"O'Brien|\"q\";x|SRV\\I|", "O'Brien|\"q\";x|SRV\\I|"},
        {"|", ""},
        {"||", "||"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.In.toStdString());
        Dm().UpdateInstanceHist(c.In);
        EXPECT_EQ(Dm().GetInstanceHist(), c.Out);
    }
    Dm().UpdateInstanceHist("a|b|");
    auto direct = OpenDirect();
    TStoreQuery q(*direct, "select ID, InstanceName from InstanceHist order by ID");
    QStringList rows;
    while (q.Step())
        rows << QString::number(q.Int(0)) + ":" + q.Text(1);
    EXPECT_EQ(rows, (QStringList{"1:a", "2:b"}));
}

} // namespace
