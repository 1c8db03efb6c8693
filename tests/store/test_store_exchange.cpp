// The database list exchange file: both forms written, read back and imported,
// hand-written files, and files that must be refused without touching the store.
#include "StoreTestSupport.h"

#include "untDBListFile.h"

#include <QFileInfo>
#include <QtEndian>

#include <chrono>
#include <thread>

namespace {

class StoreExchange : public TOpenStoreTest {
protected:
    // Values that the forms must carry unchanged.
    static TDBListPacket Awkward()
    {
        return {{
            MakeInstance(1, "SRV1\\SQL2017", "sa", "p\"w'd;<&>", false, {{1, "Sales"}, {2, "HR"}, {7, "Archive"}}),
            MakeInstance(2, QString::fromUtf8("Zürich\\Ωmega 😀"), "", "", true, {{3, QString::fromUtf8("Café")}}),
            MakeInstance(5, "empty one", "u", "", false),
            MakeInstance(70000, "tab\there\r\nline", "x\\y", "\\\\", true, {{65536, "big id"}, {-4, "neg"}}),
        }};
    }
};

TEST_F(StoreExchange, RoundTripInBothFormsKeepsEverything)
{
    const TDBListPacket packet = Awkward();
    for (const char* name : {"list.xml", "list.dat"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(Dm().UpdateDBListData(packet));
        Dm().ExportDBList(TempFile(name));
        Dm().ClearDBList();
        ASSERT_TRUE(Dm().GetDBListData().Instances.isEmpty());
        ASSERT_TRUE(Dm().ImportDBList(TempFile(name)));
        EXPECT_EQ(Dm().GetDBListData(), packet);
        EXPECT_EQ(Dm().GetNextInstanceID(), 70001);
        EXPECT_EQ(Dm().GetNextDatabaseID(), 65537);
    }
    EXPECT_TRUE(FBoxes.Shown.isEmpty());
}

TEST_F(StoreExchange, ExtensionChoosesTheFormWrittenAndContentTheFormRead)
{
    const TDBListPacket packet = Awkward();
    ASSERT_TRUE(Dm().UpdateDBListData(packet));
    const struct {
        const char* Name;
        bool Xml;
    } cases[] = {
        {"list.xml", true}, {"list.XML", true}, {"list.Xml", true}, {"list.txt", true},
        {"list.dat", false}, {"list.TXT", false}, {"list.Txt", false}, {"list", false},
        {"list.xml.bak", false}, {"a.b/list", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString file = TempFile(c.Name);
        QDir().mkpath(QFileInfo(file).path());
        EXPECT_EQ(DBListFileFormFor(file) == TDBListFileForm::Xml, c.Xml);
        Dm().ExportDBList(file);
        const QByteArray bytes = ReadAll(file);
        if (c.Xml)
            EXPECT_TRUE(bytes.startsWith("<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\">"));
        else
            EXPECT_TRUE(bytes.startsWith(QByteArray::fromHex("9619E0BD")));
        // Read back under the other form's extension: the content decides.
        const QString renamed = TempFile(QStringLiteral("copy.") + (c.Xml ? "dat" : "xml"));
        QFile::remove(renamed);
        ASSERT_TRUE(QFile::copy(file, renamed));
        Dm().ClearDBList();
        ASSERT_TRUE(Dm().ImportDBList(renamed));
        EXPECT_EQ(Dm().GetDBListData(), packet);
    }
}

TEST_F(StoreExchange, XmlFormIsTheDocumentedShape)
{
    ASSERT_TRUE(Dm().UpdateDBListData({{MakeInstance(1, "SRV\\SQL", "sa", "p\"w", false, {{2, "Sales"}}),
                                        MakeInstance(3, "H\u00e9", "", "", true)}}));
    Dm().ExportDBList(TempFile("shape.xml"));
    const QByteArray expected =
        "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
        "<FIELD attrname=\"InstanceID\" fieldtype=\"i4\"/>"
        "<FIELD attrname=\"InstanceName\" fieldtype=\"string.uni\" WIDTH=\"510\"/>"
        "<FIELD attrname=\"UserName\" fieldtype=\"string.uni\" WIDTH=\"510\"/>"
        "<FIELD attrname=\"UserPWD\" fieldtype=\"string.uni\" WIDTH=\"510\"/>"
        "<FIELD attrname=\"NT\" fieldtype=\"boolean\"/>"
        "<FIELD attrname=\"fdtDatabases\" fieldtype=\"nested\"><FIELDS>"
        "<FIELD attrname=\"DataBaseID\" fieldtype=\"i4\"/>"
        "<FIELD attrname=\"InstanceID\" fieldtype=\"i4\"/>"
        "<FIELD attrname=\"DataBaseName\" fieldtype=\"string.uni\" WIDTH=\"510\"/>"
        "</FIELDS><PARAMS/></FIELD></FIELDS><PARAMS/></METADATA><ROWDATA>"
        "<ROW InstanceID=\"1\" InstanceName=\"SRV&#092;SQL\" UserName=\"sa\" UserPWD=\"p&quot;w\" NT=\"FALSE\">"
        "<fdtDatabases><ROWfdtDatabases DataBaseID=\"2\" InstanceID=\"1\" DataBaseName=\"Sales\"/></fdtDatabases>"
        "</ROW>"
        "<ROW InstanceID=\"3\" InstanceName=\"H&#233;\" UserName=\"\" UserPWD=\"\" NT=\"TRUE\"/>"
        "</ROWDATA></DATAPACKET>";
    EXPECT_EQ(ReadAll(TempFile("shape.xml")), expected);

    // Every escape of the form.
    TDBListPacket one = {{MakeInstance(1, "<>&\"'\r\n\t\\", "", "", false)}};
    const QByteArray xml = WriteDBListXml(one);
    EXPECT_TRUE(xml.contains("InstanceName=\"&lt;&gt;&amp;&quot;&apos;&#013;&#010;&#009;&#092;\"")) << xml.constData();
    EXPECT_EQ(ReadDBList(xml), one);
}

TEST_F(StoreExchange, HandWrittenXmlOfTheDocumentedShapeIsImported)
{
    const QByteArray xml = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<!-- written by hand -->
<DATAPACKET Version="2.0">
 <METADATA>
  <FIELDS>
   <FIELD fieldtype="i4" attrname="InstanceID" readonly="true" required="true" PROVFLAGS="7"/>
   <FIELD WIDTH="510" attrname="instancename" fieldtype="string.uni" ORIGIN="Instances.InstanceName"/>
   <FIELD attrname="UserName" fieldtype="string.uni" WIDTH="510" hidden="true"/>
   <FIELD attrname="UserPWD" fieldtype="string.uni" WIDTH="510"/>
   <FIELD attrname="NT" fieldtype="boolean" FIELDNAME="NT"/>
   <FIELD attrname="fdtDatabases" fieldtype="nested">
    <FIELDS>
     <FIELD attrname="DatabaseID" fieldtype="i4" required="true"/>
     <FIELD attrname="InstanceID" fieldtype="i4" linkfield="true"/>
     <FIELD attrname="DatabaseName" fieldtype="string.uni" WIDTH="510"/>
    </FIELDS>
    <PARAMS MD_FIELDLINKS="2 1 1"/>
   </FIELD>
  </FIELDS>
  <PARAMS DEFAULT_ORDER="1" PRIMARY_KEY="1" LCID="1033"/>
 </METADATA>
 <ROWDATA>
  <ROW NT="true" InstanceName="Z&#252;rich&#092;SQL" InstanceID="10" RowState="4" Extra="ignored">
   <fdtDatabases>
    <ROWfdtDatabases DataBaseName="Caf&#xE9; &amp; Bar" DataBaseID="100"/>
    <ROWfdtDatabases DataBaseID="101" InstanceID="999" DataBaseName="日本"/>
   </fdtDatabases>
  </ROW>
  <ROW InstanceID="11" UserName="sa" UserPWD="a&apos;b&#009;c" NT=""/>
  <ROW InstanceID="12" InstanceName="deleted" RowState="2"/>
  <ROW RowState="1" InstanceID="13" InstanceName="old" UserName="u" NT="FALSE"/>
  <ROW RowState="8" InstanceName="new"/>
  <ROW InstanceID="-3" InstanceName="" UserName="" UserPWD="" NT="TRUE"><fdtDatabases/></ROW>
 </ROWDATA>
</DATAPACKET>
)";
    WriteAll(TempFile("hand.xml"), xml);
    ASSERT_TRUE(Dm().ImportDBList(TempFile("hand.xml")));
    const TDBListPacket expected = {{
        MakeInstance(-3, "", "", "", true),
        MakeInstance(10, QString::fromUtf8("Zürich\\SQL"), "", "", true,
                     {{100, QString::fromUtf8("Café & Bar")}, {101, QString::fromUtf8("日本")}}),
        MakeInstance(11, "", "sa", "a'b\tc", false),
        MakeInstance(13, "new", "u", "", false),
    }};
    EXPECT_EQ(Dm().GetDBListData(), expected);
    EXPECT_TRUE(FBoxes.Shown.isEmpty());

    // A file with no instance rows empties the lists and succeeds.
    QByteArray none = xml.left(xml.indexOf("<ROWDATA>")) + "<ROWDATA/></DATAPACKET>";
    WriteAll(TempFile("none.xml"), none);
    ASSERT_TRUE(Dm().ImportDBList(TempFile("none.xml")));
    EXPECT_TRUE(Dm().GetDBListData().Instances.isEmpty());
}

TEST_F(StoreExchange, BinaryHeaderAndFieldDescriptors)
{
    const QByteArray bin = WriteDBListBinary(Awkward());
    ASSERT_GE(bin.size(), 24);
    EXPECT_EQ(bin.left(4), QByteArray::fromHex("9619E0BD"));
    EXPECT_EQ(qFromLittleEndian<quint16>(bin.constData() + 4), 1);
    EXPECT_EQ(qFromLittleEndian<quint16>(bin.constData() + 6), 0);
    EXPECT_EQ(qFromLittleEndian<quint32>(bin.constData() + 8), 24u);
    EXPECT_EQ(qFromLittleEndian<quint16>(bin.constData() + 12), 6);
    EXPECT_EQ(qFromLittleEndian<quint32>(bin.constData() + 14), 4u);
    // Descriptors: length, name, type, flags.
    qsizetype at = 24;
    const struct {
        const char* Name;
        quint32 Type;
    } fields[] = {{"InstanceID", 0x00010004}, {"InstanceName", 0x004A0002}, {"UserName", 0x004A0002},
                  {"UserPWD", 0x004A0002},    {"NT", 0x00030002},           {"fdtDatabases", 0x004E0004}};
    for (const auto& f : fields) {
        SCOPED_TRACE(f.Name);
        const int len = quint8(bin[at]);
        EXPECT_EQ(bin.mid(at + 1, len), QByteArray(f.Name));
        EXPECT_EQ(qFromLittleEndian<quint32>(bin.constData() + at + 1 + len), f.Type);
        at += 1 + len + 4 + 2;
    }
    EXPECT_EQ(qFromLittleEndian<quint16>(bin.constData() + at), 3);
    EXPECT_EQ(ReadDBList(bin), Awkward());
}

// A binary file that uses what the descriptors allow beyond what this system
// writes: other sizes, an unknown field, nulls, fields in another order.
TEST_F(StoreExchange, BinaryReaderFollowsTheDescriptors)
{
    QByteArray b;
    auto u8 = [&](quint8 v) { b.append(char(v)); };
    auto u16 = [&](quint16 v) { u8(v & 0xFF); u8(v >> 8); };
    auto u32 = [&](quint32 v) { u16(v & 0xFFFF); u16(v >> 16); };
    auto desc = [&](const char* name, quint32 type) {
        u8(quint8(strlen(name)));
        b.append(name);
        u32(type);
        u16(0x0004);
    };
    auto text = [&](const QString& s) {  // 1-byte prefix
        u8(quint8(s.size() * 2));
        for (QChar c : s)
            u16(c.unicode());
    };
    u32(0xBDE01996); u16(2); u16(1); u32(28); u16(7); u32(2); u32(0x55); u16(0);
    u32(0xDEADBEEF);  // a longer header: content starts at its stated size
    desc("nt", 0x00030001);            // boolean, 1 byte
    desc("Comment", 0x00050008);       // unknown fixed type, 8 bytes
    desc("instanceid", 0x00010002);    // 2-byte integer
    desc("INSTANCENAME", 0x004A0001);  // text, 1-byte prefix
    desc("UserName", 0x004A0001);
    desc("UserPWD", 0x004A0004);       // text, 4-byte prefix
    desc("dbs", 0x004E0002);           // nested, 2-byte count
    u16(2);
    desc("databasename", 0x004A0001);
    desc("databaseid", 0x00010008);
    // Row 1: UserName null.
    u8(0x10);
    u8(1); b.append(8, 'x'); u16(quint16(-2)); text("A\\B"); u32(4); u16('p'); u16('w');
    u16(2);
    u8(0); text("db1"); u32(7); u32(0);
    u8(0x01); u32(8); u32(0);  // databasename null
    // Row 2: everything null but the identifier.
    u8(0x7B); u16(9);
    const TDBListPacket packet = ReadDBList(b);
    ASSERT_EQ(packet.Instances.size(), 2);
    EXPECT_EQ(packet.Instances[0].InstanceID, -2);
    EXPECT_EQ(packet.Instances[0].InstanceName, "A\\B");
    EXPECT_EQ(packet.Instances[0].UserName, "");
    EXPECT_EQ(packet.Instances[0].UserPWD, "pw");
    EXPECT_TRUE(packet.Instances[0].NT);
    ASSERT_EQ(packet.Instances[0].Databases.size(), 2);
    EXPECT_EQ(packet.Instances[0].Databases[0].DatabaseID, 7);
    EXPECT_EQ(packet.Instances[0].Databases[0].DatabaseName, "db1");
    EXPECT_EQ(packet.Instances[0].Databases[0].InstanceID, -2);
    EXPECT_EQ(packet.Instances[0].Databases[1].DatabaseID, 8);
    EXPECT_EQ(packet.Instances[0].Databases[1].DatabaseName, "");
    EXPECT_EQ(packet.Instances[1], MakeInstance(9, "", "", "", false));
}

TEST_F(StoreExchange, BadFilesAreRefusedAndTheListsStayAsTheyWere)
{
    const TDBListPacket before = Awkward();
    ASSERT_TRUE(Dm().UpdateDBListData(before));
    const QByteArray goodXml = WriteDBListXml(before);
    const QByteArray goodBin = WriteDBListBinary(before);
    QByteArray binDupDb = WriteDBListBinary({{MakeInstance(1, "a", "", "", true, {{3, "x"}}),
                                             MakeInstance(2, "b", "", "", true, {{3, "y"}})}});
    QByteArray futureBin = goodBin;
    futureBin[4] = 4;  // major version 4: not the binary form this reader knows
    const QByteArray meta = goodXml.left(goodXml.indexOf("<ROWDATA>"));

    const struct {
        const char* Name;
        QByteArray Content;
        const char* Reason;
    } cases[] = {
        {"empty", "", "empty"},
        {"truncated xml", goodXml.left(goodXml.size() / 2), "truncated"},
        {"truncated binary", goodBin.left(goodBin.size() - 3), "truncated"},
        {"truncated binary header", goodBin.left(10), "truncated"},
        {"binary with trailing data", goodBin + "zz", "unexpected data"},
        {"future binary version", futureBin, "version 4.0"},
        {"malformed xml", "<DATAPACKET><METADATA></DATAPACKET>", "malformed"},
        {"plain text", "hello, world", "neither"},
        {"foreign xml", "<?xml version=\"1.0\"?><html><body/></html>", "root element is <html>"},
        {"foreign binary", QByteArray::fromHex("89504E470D0A1A0A0000000D49484452"), "neither"},
        {"no metadata", "<DATAPACKET Version=\"2.0\"><ROWDATA/></DATAPACKET>", "METADATA"},
        {"no rowdata", meta + "</DATAPACKET>", "ROWDATA"},
        {"no nested field",
         "<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"InstanceID\" fieldtype=\"i4\"/><FIELD "
         "attrname=\"InstanceName\" fieldtype=\"string.uni\"/><FIELD attrname=\"UserName\" "
         "fieldtype=\"string.uni\"/><FIELD attrname=\"UserPWD\" fieldtype=\"string.uni\"/><FIELD attrname=\"NT\" "
         "fieldtype=\"boolean\"/></FIELDS></METADATA><ROWDATA><ROW InstanceID=\"1\"/></ROWDATA></DATAPACKET>",
         "no nested table field"},
        {"missing field",
         QByteArray(goodXml).replace("<FIELD attrname=\"UserPWD\" fieldtype=\"string.uni\" WIDTH=\"510\"/>", ""),
         "no field UserPWD"},
        {"missing nested field",
         QByteArray(goodXml).replace("<FIELD attrname=\"DataBaseName\" fieldtype=\"string.uni\" WIDTH=\"510\"/>", ""),
         "no field DataBaseName"},
        {"duplicate instance",
         meta + "<ROWDATA><ROW InstanceID=\"4\"/><ROW InstanceID=\"4\" InstanceName=\"b\"/></ROWDATA></DATAPACKET>",
         "same InstanceID 4"},
        {"duplicate database in binary", binDupDb, "same DataBaseID 3"},
        {"not a number",
         meta + "<ROWDATA><ROW InstanceID=\"four\"/></ROWDATA></DATAPACKET>", "not a 32-bit whole number"},
        {"number too big",
         meta + "<ROWDATA><ROW InstanceID=\"4294967296\"/></ROWDATA></DATAPACKET>", "not a 32-bit whole number"},
        {"not a boolean", meta + "<ROWDATA><ROW InstanceID=\"1\" NT=\"yes\"/></ROWDATA></DATAPACKET>",
         "neither TRUE nor FALSE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString file = TempFile(QStringLiteral("bad.dat"));
        WriteAll(file, c.Content);
        QString message;
        try {
            Dm().ImportDBList(file);
        } catch (const EOrvexaError& e) {
            message = e.Message();
        }
        EXPECT_TRUE(message.startsWith("Cannot import the database list from \"" + file + "\": "))
            << message.toStdString();
        EXPECT_TRUE(message.contains(QLatin1String(c.Reason))) << message.toStdString();
        EXPECT_EQ(Dm().GetDBListData(), before);
    }
    // A file that is not there.
    EXPECT_THROW(Dm().ImportDBList(TempFile("missing.xml")), EOrvexaError);
    EXPECT_EQ(Dm().GetDBListData(), before);
    EXPECT_TRUE(FBoxes.Shown.isEmpty());
}

// The binary form holds passwords in plain text. However it is damaged, what
// the reader says about it names the fault and where it is, never bytes of
// the file: a name or a number read from the wrong place may be a password.
TEST_F(StoreExchange, DamagedBinaryFilesAreDescribedWithoutTheirBytes)
{
    const QString password = QStringLiteral("Geheim=Zx9!Qu4rtz");
    const QByteArray good = WriteDBListBinary(
        {{MakeInstance(1, "SRV", "sa", password, false, {{1, "Sales"}}), MakeInstance(2, "B", "u", password, false)}});
    // Every four characters of the password, as UTF-16 with its zero bytes
    // dropped (how such bytes show in a message).
    const auto leaks = [&](QString message) {
        message.remove(QChar(0));
        for (qsizetype i = 0; i + 4 <= password.size(); ++i)
            if (message.contains(password.mid(i, 4)))
                return true;
        return false;
    };
    QList<QByteArray> damaged;
    for (quint32 at = 24; at < quint32(good.size()); ++at) {  // content that starts anywhere
        QByteArray b = good;
        qToLittleEndian(at, b.data() + 8);
        damaged << b;
    }
    for (int len = 1; len < 256; ++len) {  // a first field name of any length
        QByteArray b = good;
        b[24] = char(len);
        damaged << b;
    }
    for (qsizetype at = 24; at < good.size(); ++at) {  // one byte changed anywhere
        QByteArray b = good;
        b[at] = char(b[at] ^ 0xA5);
        damaged << b;
    }
    int refused = 0;
    for (const QByteArray& b : damaged) {
        try {
            ReadDBList(b);
        } catch (const EOrvexaError& e) {
            ++refused;
            EXPECT_FALSE(leaks(e.Message())) << e.Message().toStdString();
        }
    }
    EXPECT_GT(refused, damaged.size() / 2);

    // Descriptors are named by their place and offset.
    QByteArray badSize = good;
    qToLittleEndian(quint32(0x004A0003), badSize.data() + 24 + 1 + 10);  // InstanceID's type: text, 3-byte prefix
    try {
        ReadDBList(badSize);
        ADD_FAILURE() << "a text with a 3-byte length prefix was read";
    } catch (const EOrvexaError& e) {
        EXPECT_EQ(e.Message(), "the descriptor of field 1 of the instance table (at byte 24) gives a value size that "
                               "the binary form does not allow.");
    }
}

// A text with half of a surrogate pair is no text: the file is refused, with
// the byte offset of the bad code unit, and nothing is imported.
TEST_F(StoreExchange, BinaryTextWithALoneSurrogateIsRefused)
{
    const TDBListPacket before = {{MakeInstance(1, "kept", "", "", true, {{1, "db"}})}};
    ASSERT_TRUE(Dm().UpdateDBListData(before));
    const QChar high(0xD83D), low(0xDE00);
    const struct {
        const char* Name;
        QString Password;
        int BadUnit;  // index of the lone code unit
    } cases[] = {
        {"high surrogate at the end", QStringLiteral("pw") + high, 2},
        {"high surrogate before a letter", QStringLiteral("p") + high + QStringLiteral("w"), 1},
        {"low surrogate alone", QString(low) + QStringLiteral("pw"), 0},
        {"two highs", QStringLiteral("p") + high + high + low, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const QByteArray bin = WriteDBListBinary({{MakeInstance(1, "SRV", "sa", c.Password, false, {{1, "d"}})}});
        QByteArray units(reinterpret_cast<const char*>(c.Password.utf16()), c.Password.size() * 2);
        const qsizetype textAt = bin.indexOf(units);
        ASSERT_GT(textAt, 0);
        const QString file = TempFile(QStringLiteral("surrogate.dat"));
        WriteAll(file, bin);
        QString message;
        try {
            Dm().ImportDBList(file);
        } catch (const EOrvexaError& e) {
            message = e.Message();
        }
        EXPECT_TRUE(message.endsWith(QStringLiteral(": the UserPWD holds half of a UTF-16 surrogate pair at byte %1, "
                                                    "which is no character; the file is damaged.")
                                         .arg(textAt + 2 * c.BadUnit)))
            << message.toStdString();
        EXPECT_EQ(Dm().GetDBListData(), before);
    }
    // A whole pair is a character like any other.
    const TDBListPacket emoji = {{MakeInstance(1, "SRV", "sa", QStringLiteral("p") + high + low, false, {{1, "d"}})}};
    EXPECT_EQ(ReadDBList(WriteDBListBinary(emoji)), emoji);
}

TEST_F(StoreExchange, StoreErrorDuringImportIsShownAndRolledBack)
{
    const TDBListPacket before = {{MakeInstance(1, "kept", "", "", true, {{1, "db"}})}};
    ASSERT_TRUE(Dm().UpdateDBListData(before));
    SaveDBListFile(TempFile("in.xml"), Awkward());
    auto other = OpenDirect();
    other->Begin();
    // The other writer keeps its lock past the busy time-out (10 s): only
    // then is the lock reported.
    EXPECT_FALSE(Dm().ImportDBList(TempFile("in.xml")));
    other->Rollback();
    ASSERT_EQ(FBoxes.Shown.size(), 1);
    EXPECT_EQ(FBoxes.Shown[0].Text, "database is locked");
    EXPECT_EQ(FBoxes.Shown[0].Caption, "Error");
    EXPECT_EQ(FBoxes.Shown[0].Icon, TMsgIcon::Error);
    EXPECT_EQ(Dm().GetDBListData(), before);
}

// Another process writing the store holds its lock for a moment: the import
// waits for it and then succeeds.
TEST_F(StoreExchange, ImportWaitsForAnotherWriterToFinish)
{
    SaveDBListFile(TempFile("in.xml"), Awkward());
    auto other = OpenDirect();
    other->Begin();
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        other->Rollback();
    });
    bool imported = false;
    QString error;
    try {
        imported = Dm().ImportDBList(TempFile("in.xml"));
    } catch (const EOrvexaError& e) {
        error = e.Message();
    }
    release.join();
    EXPECT_TRUE(imported) << error.toStdString();
    EXPECT_EQ(Dm().GetDBListData(), Awkward());
    EXPECT_TRUE(FBoxes.Shown.isEmpty());
}

TEST_F(StoreExchange, FailedExportLeavesNoFile)
{
    ASSERT_TRUE(Dm().UpdateDBListData({{MakeInstance(1, QStringLiteral("bell\x07"), "", "", true, {{1, "d"}})}}));
    const QString xml = TempFile("out.xml");
    try {
        Dm().ExportDBList(xml);
        FAIL() << "exported a character the XML form cannot carry";
    } catch (const EOrvexaError& e) {
        EXPECT_TRUE(e.Message().contains(xml)) << e.Message().toStdString();
        EXPECT_TRUE(e.Message().contains("U+0007")) << e.Message().toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(xml));
    // An existing file is kept when the export fails.
    WriteAll(xml, "previous");
    EXPECT_THROW(Dm().ExportDBList(xml), EOrvexaError);
    EXPECT_EQ(ReadAll(xml), "previous");
    // The binary form carries it.
    Dm().ExportDBList(TempFile("out.dat"));
    Dm().ClearDBList();
    ASSERT_TRUE(Dm().ImportDBList(TempFile("out.dat")));
    EXPECT_EQ(Dm().GetDBList().value(0).InstanceName, QStringLiteral("bell\x07"));
    // A folder that does not exist.
    EXPECT_THROW(Dm().ExportDBList(TempFile("no/such/folder/list.dat")), EOrvexaError);
}

} // namespace
