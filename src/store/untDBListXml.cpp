// The XML form of the exchange file.
//
// Written: the declaration, two blanks, and one DATAPACKET element on one
// line: METADATA with the FIELDS of the instance table (the nested field
// fdtDatabases holding its own FIELDS and an empty PARAMS) and an empty PARAMS,
// then ROWDATA with one ROW per instance and, inside it, an fdtDatabases element
// with one ROWfdtDatabases per database. Every field is written, empty texts as
// empty attributes. Characters outside printable ASCII are written as decimal
// character references, so the file is plain ASCII whatever the names hold.
//
// Read: whatever the format allows. Attributes in any order and any letter
// case, missing attributes (0, empty text, false), unknown attributes, FIELD
// flags and elements, character references and any encoding that the
// declaration names. The nested field is the first FIELD whose fieldtype is
// "nested", whatever its name; its rows are the elements named "ROW" followed
// by that name.
//
// RowState, when present, is the change-log state of a row, a set of bits:
// 1 original values of a row changed later, 2 deleted, 4 inserted, 8 modified,
// 64 details changed. A deleted row is left out; a modified row that follows
// the row of its original values takes the original's value for every
// attribute it does not carry itself, and replaces it. Rows without RowState
// are unchanged rows, as this system writes them.
#include "untDBListFileInternal.h"

#include "untCommon.h"

#include <QHash>
#include <QXmlStreamReader>

namespace {

using namespace ListPacketFields;

// ------------------------------------------------------------------ writing

void AppendEscaped(QByteArray& out, const QString& text, const char* fieldName)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        switch (c) {
        case u'<': out += "&lt;"; continue;
        case u'>': out += "&gt;"; continue;
        case u'&': out += "&amp;"; continue;
        case u'"': out += "&quot;"; continue;
        case u'\'': out += "&apos;"; continue;
        case u'\r': out += "&#013;"; continue;
        case u'\n': out += "&#010;"; continue;
        case u'\t': out += "&#009;"; continue;
        case u'\\': out += "&#092;"; continue;
        default: break;
        }
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
            continue;
        }
        char32_t code = c;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
            code = QChar::surrogateToUcs4(c, text[i + 1].unicode());
            ++i;
        } else if (c < 0x20 || QChar::isSurrogate(c) || c == 0xFFFE || c == 0xFFFF) {
            throw EOrvexaError(QStringLiteral("the %1 holds the character U+%2, which the XML form "
                                              "cannot carry; export to the binary form instead.")
                                   .arg(QLatin1String(fieldName),
                                        QString::number(uint(c), 16).toUpper().rightJustified(4, QLatin1Char('0'))));
        }
        out += "&#" + QByteArray::number(uint(code)) + ';';
    }
}

void AppendAttr(QByteArray& out, const char* name, const QString& value)
{
    out += ' ';
    out += name;
    out += "=\"";
    AppendEscaped(out, value, name);
    out += '"';
}

void AppendAttr(QByteArray& out, const char* name, qint32 value)
{
    out += ' ';
    out += name;
    out += "=\"" + QByteArray::number(value) + '"';
}

void AppendAttr(QByteArray& out, const char* name, bool value)
{
    out += ' ';
    out += name;
    out += value ? "=\"TRUE\"" : "=\"FALSE\"";
}

void AppendInstanceRow(QByteArray& out, const TPacketInstance& inst);

void AppendField(QByteArray& out, const char* name, const char* type, bool text)
{
    out += "<FIELD attrname=\"";
    out += name;
    out += "\" fieldtype=\"";
    out += type;
    out += '"';
    if (text)
        out += " WIDTH=\"510\"";
    out += "/>";
}

// ------------------------------------------------------------------ reading

struct TXmlField {
    QString Name;
    QString Type;
    QList<TXmlField> Children;
};

struct TXmlRow {
    QHash<QString, QString> Values;  // attribute name in lower case -> value
    int RowState = 0;
    QList<TXmlRow> Nested;
};

constexpr int rsOriginal = 1;
constexpr int rsDeleted = 2;
constexpr int rsModified = 8;

class TXmlListReader {
public:
    explicit TXmlListReader(const QByteArray& content) : FXml(content) {}

    TDBListPacket Read();

private:
    QList<TXmlField> ReadFields();
    void ReadMetadata();
    void ReadRowData();
    TXmlRow ReadRow(bool nestedAllowed);
    [[noreturn]] void Fail(const QString& what) const;
    [[noreturn]] void FailXml() const;

    QXmlStreamReader FXml;
    bool FHaveMetadata = false;
    bool FHaveRowData = false;
    QList<TXmlField> FFields;
    QString FNestedName;
    QList<TXmlRow> FRows;
};

void TXmlListReader::Fail(const QString& what) const
{
    throw EOrvexaError(what);
}

// Qt's parser texts end with a full stop; the messages here go on after them.
QString ParserText(const QXmlStreamReader& xml)
{
    QString text = xml.errorString();
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

void TXmlListReader::FailXml() const
{
    const QString kind = FXml.error() == QXmlStreamReader::PrematureEndOfDocumentError
                           ? QStringLiteral("the file ends early (truncated)")
                           : QStringLiteral("the XML is malformed");
    Fail(QStringLiteral("%1: %2 at line %3, column %4.")
             .arg(kind, ParserText(FXml))
             .arg(FXml.lineNumber())
             .arg(FXml.columnNumber()));
}

QList<TXmlField> TXmlListReader::ReadFields()
{
    QList<TXmlField> fields;
    while (FXml.readNextStartElement()) {
        if (FXml.name() != QLatin1String("FIELD")) {
            FXml.skipCurrentElement();
            continue;
        }
        TXmlField field;
        const QXmlStreamAttributes attrs = FXml.attributes();
        for (const QXmlStreamAttribute& a : attrs) {
            if (a.name().compare(QLatin1String("attrname"), Qt::CaseInsensitive) == 0)
                field.Name = a.value().toString();
            else if (a.name().compare(QLatin1String("fieldtype"), Qt::CaseInsensitive) == 0)
                field.Type = a.value().toString();
        }
        while (FXml.readNextStartElement()) {
            if (FXml.name() == QLatin1String("FIELDS"))
                field.Children = ReadFields();
            else
                FXml.skipCurrentElement();
        }
        fields.append(field);
    }
    return fields;
}

void TXmlListReader::ReadMetadata()
{
    while (FXml.readNextStartElement()) {
        if (FXml.name() == QLatin1String("FIELDS"))
            FFields = ReadFields();
        else
            FXml.skipCurrentElement();
    }
    FHaveMetadata = true;
    for (const TXmlField& f : std::as_const(FFields)) {
        if (f.Type.compare(QLatin1String("nested"), Qt::CaseInsensitive) == 0) {
            FNestedName = f.Name;
            break;
        }
    }
}

TXmlRow TXmlListReader::ReadRow(bool nestedAllowed)
{
    TXmlRow row;
    const QXmlStreamAttributes attrs = FXml.attributes();
    for (const QXmlStreamAttribute& a : attrs) {
        const QString name = a.name().toString().toLower();
        if (name == QLatin1String("rowstate")) {
            bool ok = false;
            row.RowState = a.value().toString().trimmed().toInt(&ok);
            if (!ok)
                Fail(QStringLiteral("a row has the RowState \"%1\", which is not a number.").arg(a.value()));
        } else {
            row.Values.insert(name, a.value().toString());
        }
    }
    const QString nestedRowName = QStringLiteral("ROW") + FNestedName;
    while (FXml.readNextStartElement()) {
        if (nestedAllowed && !FNestedName.isEmpty()
            && FXml.name().compare(FNestedName, Qt::CaseInsensitive) == 0) {
            while (FXml.readNextStartElement()) {
                if (FXml.name().compare(nestedRowName, Qt::CaseInsensitive) == 0)
                    row.Nested.append(ReadRow(false));
                else
                    FXml.skipCurrentElement();
            }
        } else {
            FXml.skipCurrentElement();
        }
    }
    return row;
}

void TXmlListReader::ReadRowData()
{
    if (!FHaveMetadata)
        Fail(QStringLiteral("ROWDATA comes before METADATA, so its fields are unknown."));
    while (FXml.readNextStartElement()) {
        if (FXml.name() == QLatin1String("ROW"))
            FRows.append(ReadRow(true));
        else
            FXml.skipCurrentElement();
    }
    FHaveRowData = true;
}

// Applies the change-log states described at the top of this file.
QList<TXmlRow> ResolveRowStates(const QList<TXmlRow>& rows)
{
    QList<TXmlRow> out;
    out.reserve(rows.size());
    for (qsizetype i = 0; i < rows.size(); ++i) {
        TXmlRow row = rows[i];
        if ((row.RowState & rsOriginal) && !(row.RowState & rsDeleted) && i + 1 < rows.size()
            && (rows[i + 1].RowState & rsModified)) {
            TXmlRow changed = rows[++i];
            for (auto it = row.Values.cbegin(); it != row.Values.cend(); ++it)
                if (!changed.Values.contains(it.key()))
                    changed.Values.insert(it.key(), it.value());
            if (changed.Nested.isEmpty())
                changed.Nested = row.Nested;
            row = changed;
        }
        if (row.RowState & rsDeleted)
            continue;
        row.Nested = ResolveRowStates(row.Nested);
        out.append(row);
    }
    return out;
}

const TXmlField* FindField(const QList<TXmlField>& fields, const char* name)
{
    for (const TXmlField& f : fields)
        if (f.Name.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return &f;
    return nullptr;
}

QString RowValue(const TXmlRow& row, const char* name)
{
    return row.Values.value(QString::fromLatin1(name).toLower());
}

TDBListPacket TXmlListReader::Read()
{
    if (!FXml.readNextStartElement()) {
        if (FXml.hasError())
            Fail(QStringLiteral("it is neither a binary database list nor XML (%1 at line %2, column %3).")
                     .arg(ParserText(FXml))
                     .arg(FXml.lineNumber())
                     .arg(FXml.columnNumber()));
        Fail(QStringLiteral("it holds no XML element."));
    }
    if (FXml.name() != QLatin1String("DATAPACKET"))
        Fail(QStringLiteral("it is not a database list: its root element is <%1>, not <DATAPACKET>.")
                 .arg(FXml.name()));
    while (FXml.readNextStartElement()) {
        if (FXml.name() == QLatin1String("METADATA"))
            ReadMetadata();
        else if (FXml.name() == QLatin1String("ROWDATA"))
            ReadRowData();
        else
            FXml.skipCurrentElement();
    }
    // Anything after the root element must still be well-formed.
    while (!FXml.atEnd() && !FXml.hasError())
        FXml.readNext();
    if (FXml.hasError())
        FailXml();
    if (!FHaveMetadata)
        Fail(QStringLiteral("it is not a database list: DATAPACKET has no METADATA."));
    if (!FHaveRowData)
        Fail(QStringLiteral("it is not a database list: DATAPACKET has no ROWDATA."));

    for (const char* name : {InstanceID, InstanceName, UserName, UserPWD, NT})
        if (!FindField(FFields, name))
            Fail(QStringLiteral("the instance table has no field %1.").arg(QLatin1String(name)));
    if (FNestedName.isEmpty())
        Fail(QStringLiteral("the instance table has no nested table field (%1), so it holds no databases.")
                 .arg(QLatin1String(Databases)));
    const TXmlField* nested = nullptr;
    for (const TXmlField& f : std::as_const(FFields))
        if (f.Name == FNestedName)
            nested = &f;
    for (const char* name : {DatabaseID, DatabaseName})
        if (!FindField(nested->Children, name))
            Fail(QStringLiteral("the nested table %1 has no field %2.").arg(FNestedName, QLatin1String(name)));

    TDBListPacket packet;
    const QList<TXmlRow> rows = ResolveRowStates(FRows);
    int rowNo = 0;
    for (const TXmlRow& row : rows) {
        ++rowNo;
        const QString where = QStringLiteral("instance row %1").arg(rowNo);
        TPacketInstance inst;
        inst.InstanceID = DBListParseInt(RowValue(row, InstanceID), where, QLatin1String(InstanceID));
        inst.InstanceName = RowValue(row, InstanceName);
        inst.UserName = RowValue(row, UserName);
        inst.UserPWD = RowValue(row, UserPWD);
        inst.NT = DBListParseBool(RowValue(row, NT), where, QLatin1String(NT));
        int dbNo = 0;
        for (const TXmlRow& dbRow : row.Nested) {
            ++dbNo;
            const QString dbWhere = QStringLiteral("database row %1 of instance row %2").arg(dbNo).arg(rowNo);
            TPacketDatabase db;
            db.DatabaseID = DBListParseInt(RowValue(dbRow, DatabaseID), dbWhere, QLatin1String(DatabaseID));
            db.InstanceID = inst.InstanceID;
            db.DatabaseName = RowValue(dbRow, DatabaseName);
            inst.Databases.append(db);
        }
        packet.Instances.append(inst);
    }
    return packet;
}

} // namespace

qint32 DBListParseInt(const QString& text, const QString& where, const QString& field)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return 0;
    bool ok = false;
    const qint32 value = t.toInt(&ok, 10);
    if (!ok)
        throw EOrvexaError(QStringLiteral("%1: the %2 \"%3\" is not a 32-bit whole number.").arg(where, field, text));
    return value;
}

bool DBListParseBool(const QString& text, const QString& where, const QString& field)
{
    const QString t = text.trimmed();
    if (t.isEmpty() || t.compare(QLatin1String("FALSE"), Qt::CaseInsensitive) == 0)
        return false;
    if (t.compare(QLatin1String("TRUE"), Qt::CaseInsensitive) == 0)
        return true;
    throw EOrvexaError(QStringLiteral("%1: the %2 \"%3\" is neither TRUE nor FALSE.").arg(where, field, text));
}

QByteArray WriteDBListXml(const TDBListPacket& packet)
{
    QByteArray out;
    out.reserve(512 + packet.Instances.size() * 256);
    out += "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
    AppendField(out, InstanceID, "i4", false);
    AppendField(out, InstanceName, "string.uni", true);
    AppendField(out, UserName, "string.uni", true);
    AppendField(out, UserPWD, "string.uni", true);
    AppendField(out, NT, "boolean", false);
    out += "<FIELD attrname=\"";
    out += Databases;
    out += "\" fieldtype=\"nested\"><FIELDS>";
    AppendField(out, DatabaseID, "i4", false);
    AppendField(out, InstanceID, "i4", false);
    AppendField(out, DatabaseName, "string.uni", true);
    out += "</FIELDS><PARAMS/></FIELD></FIELDS><PARAMS/></METADATA><ROWDATA>";
    int rowNo = 0;
    for (const TPacketInstance& inst : packet.Instances) {
        ++rowNo;
        try {
            AppendInstanceRow(out, inst);
        } catch (const EOrvexaError& e) {
            throw EOrvexaError(QStringLiteral("Instance row %1 (%2): %3").arg(rowNo).arg(inst.InstanceName, e.Message()));
        }
    }
    out += "</ROWDATA></DATAPACKET>";
    return out;
}

namespace {

void AppendInstanceRow(QByteArray& out, const TPacketInstance& inst)
{
    {
        out += "<ROW";
        AppendAttr(out, InstanceID, inst.InstanceID);
        AppendAttr(out, InstanceName, inst.InstanceName);
        AppendAttr(out, UserName, inst.UserName);
        AppendAttr(out, UserPWD, inst.UserPWD);
        AppendAttr(out, NT, inst.NT);
        if (inst.Databases.isEmpty()) {
            out += "/>";
            return;
        }
        out += "><";
        out += Databases;
        out += '>';
        for (const TPacketDatabase& db : inst.Databases) {
            out += "<ROW";
            out += Databases;
            AppendAttr(out, DatabaseID, db.DatabaseID);
            AppendAttr(out, InstanceID, inst.InstanceID);
            AppendAttr(out, DatabaseName, db.DatabaseName);
            out += "/>";
        }
        out += "</";
        out += Databases;
        out += "></ROW>";
    }
}

} // namespace

TDBListPacket ReadDBListXml(const QByteArray& content)
{
    TXmlListReader reader(content);
    return reader.Read();
}
