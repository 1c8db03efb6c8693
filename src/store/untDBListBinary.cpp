// The binary form of the exchange file. All numbers are little-endian.
//
// Header, 24 bytes:
//   0  u32  magic number 0xBDE01996 (bytes 96 19 E0 BD)
//   4  u16  major version, 1          6  u16  minor version, 0
//   8  u32  header size, 24: the field descriptors start at this offset
//  12  u16  number of fields of the instance table
//  14  u32  number of instance rows
//  18  u32  packet flags, 0 (no flag is defined; readers ignore them)
//  22  u16  reserved, 0
//
// Field descriptor, one per field in field order:
//   u8 name length in bytes, the name (UTF-8, no terminator), u32 field type,
//   u16 field flags (bit 0 hidden, 1 readonly, 2 required, 3 linkfield;
//   written as 0 and ignored when read).
//   Field type: bits 16-21 the type code (1 signed integer, 3 boolean,
//   10 UTF-16 text, 14 nested table), bit 22 set for a varying-length type,
//   bits 0-15 the size of a fixed-size value or, for a varying-length type,
//   the size of its length prefix. Written: integers 1/4, booleans 3/2, texts
//   10/varying/2, the nested table 14/varying/4.
//   A nested table's descriptor is followed at once by a u16 count of its own
//   fields and their descriptors, in the same encoding.
//
// Rows, after the last descriptor, as many as the header counts:
//   a null bitmap of ceil(fields / 8) bytes, bit (i % 8) of byte (i / 8) set
//   when field i is null (then nothing else is stored for it), followed by the
//   values of the fields that are not null, in field order:
//     integer  its fixed size, signed (1, 2, 4 or 8 bytes read; 4 written)
//     boolean  its fixed size; any byte not 0 means true
//     text     a length prefix (1, 2 or 4 bytes) giving the length in bytes,
//              then that many bytes of UTF-16LE
//     nested   a length prefix giving the number of nested rows, then the
//              nested rows in this same row encoding
//   Fields of other type codes are skipped by their fixed size or their length
//   prefix. The file ends right after the last row.
//
// The file holds passwords in plain text, and in a damaged file any byte may
// stand where a name or a number is expected: an error names the fault, the
// row and the byte offset, and the fields by this program's own names or by
// their place, never by anything read from the file.
#include "untDBListFileInternal.h"

#include "untCommon.h"

#include <QtEndian>

namespace {

using namespace ListPacketFields;

constexpr quint32 Magic = 0xBDE01996u;
constexpr quint32 HeaderSize = 24;
constexpr quint32 CodeInteger = 1;
constexpr quint32 CodeBoolean = 3;
constexpr quint32 CodeText = 10;
constexpr quint32 CodeNested = 14;
constexpr quint32 VaryingBit = 1u << 22;

constexpr quint32 FieldType(quint32 code, bool varying, quint32 size)
{
    return (code << 16) | (varying ? VaryingBit : 0u) | size;
}

constexpr quint32 TypeInteger = FieldType(CodeInteger, false, 4);
constexpr quint32 TypeBoolean = FieldType(CodeBoolean, false, 2);
constexpr quint32 TypeText = FieldType(CodeText, true, 2);
constexpr quint32 TypeNested = FieldType(CodeNested, true, 4);

// ------------------------------------------------------------------ writing

class TBinWriter {
public:
    QByteArray Data;

    void U8(quint8 v) { Data.append(char(v)); }
    void U16(quint16 v)
    {
        char b[2];
        qToLittleEndian(v, b);
        Data.append(b, 2);
    }
    void U32(quint32 v)
    {
        char b[4];
        qToLittleEndian(v, b);
        Data.append(b, 4);
    }
    void Descriptor(const char* name, quint32 type)
    {
        const QByteArray n(name);
        U8(quint8(n.size()));
        Data.append(n);
        U32(type);
        U16(0);
    }
    void Text(const QString& text, const char* field)
    {
        if (text.size() > 32767)
            throw EOrvexaError(QStringLiteral("The %1 is %2 characters long; the binary form holds at most 32767.")
                                   .arg(QLatin1String(field))
                                   .arg(text.size()));
        U16(quint16(text.size() * 2));
        for (QChar c : text)
            U16(c.unicode());
    }
};

// ------------------------------------------------------------------ reading

struct TBinField {
    QString Name;
    QString Label;  // how messages name it: "field 3", or this program's name for it once matched
    qint64 At = 0;  // offset of its descriptor
    quint32 Code = 0;
    bool Varying = false;
    quint32 Size = 0;
    QList<TBinField> Children;
};

class TBinReader {
public:
    explicit TBinReader(const QByteArray& data) : FData(data) {}

    TDBListPacket Read();

private:
    [[noreturn]] void Truncated() const
    {
        throw EOrvexaError(QStringLiteral("the file ends early (truncated) at byte %1 of the binary form.").arg(FPos));
    }
    void Need(qint64 n) const
    {
        if (n < 0 || FPos + n > FData.size())
            Truncated();
    }
    quint64 UInt(quint32 size)
    {
        Need(size);
        quint64 v = 0;
        for (quint32 i = 0; i < size; ++i)
            v |= quint64(quint8(FData[FPos + i])) << (8 * i);
        FPos += size;
        return v;
    }
    qint64 SInt(quint32 size)
    {
        const quint64 v = UInt(size);
        if (size >= 8)
            return qint64(v);
        const quint64 sign = quint64(1) << (8 * size - 1);
        return qint64((v ^ sign) - sign);
    }

    QList<TBinField> ReadDescriptors(int count, int depth, const QString& table);
    // Reads one row of `fields`; calls back for each value that matters.
    struct TRowValues {
        QList<qint64> Ints;
        QList<bool> Bools;
        QList<QString> Texts;
        QList<QList<TRowValues>> Nested;
    };
    TRowValues ReadRow(const QList<TBinField>& fields, const QString& where);

    const QByteArray& FData;
    qint64 FPos = 0;
};

QList<TBinField> TBinReader::ReadDescriptors(int count, int depth, const QString& table)
{
    QList<TBinField> fields;
    for (int i = 0; i < count; ++i) {
        TBinField f;
        f.At = FPos;
        f.Label = QStringLiteral("field %1 of the %2").arg(i + 1).arg(table);
        const QString where = QStringLiteral("the descriptor of %1 (at byte %2)").arg(f.Label).arg(f.At);
        const quint32 len = quint32(UInt(1));
        if (len == 0)
            throw EOrvexaError(where + QStringLiteral(" has an empty name."));
        Need(len);
        f.Name = QString::fromUtf8(FData.constData() + FPos, len);
        FPos += len;
        const quint32 type = quint32(UInt(4));
        UInt(2);  // field flags: nothing here depends on them
        f.Code = (type >> 16) & 0x3F;
        f.Varying = (type & VaryingBit) != 0;
        f.Size = type & 0xFFFF;
        if (f.Code == CodeNested) {
            if (depth > 0)
                throw EOrvexaError(where + QStringLiteral(" makes a nested table inside a nested table."));
            f.Children = ReadDescriptors(int(UInt(2)), depth + 1, QStringLiteral("nested table"));
        }
        if (f.Varying ? !(f.Size == 1 || f.Size == 2 || f.Size == 4) : f.Size > 8 && f.Code != CodeNested)
            throw EOrvexaError(where + QStringLiteral(" gives a value size that the binary form does not allow."));
        if ((f.Code == CodeInteger && (f.Varying || f.Size == 0)) || (f.Code == CodeBoolean && (f.Varying || f.Size == 0))
            || (f.Code == CodeText && !f.Varying) || (f.Code == CodeNested && !f.Varying))
            throw EOrvexaError(where + QStringLiteral(" has a malformed field type."));
        fields.append(f);
    }
    return fields;
}

TBinReader::TRowValues TBinReader::ReadRow(const QList<TBinField>& fields, const QString& where)
{
    TRowValues row;
    const qsizetype n = fields.size();
    row.Ints.resize(n);
    row.Bools.resize(n);
    row.Texts.resize(n);
    row.Nested.resize(n);
    const quint32 bitmapBytes = quint32((n + 7) / 8);
    Need(bitmapBytes);
    const qint64 bitmapAt = FPos;
    FPos += bitmapBytes;
    for (qsizetype i = 0; i < n; ++i) {
        if (quint8(FData[bitmapAt + i / 8]) & (1u << (i % 8)))
            continue;
        const TBinField& f = fields[i];
        switch (f.Code) {
        case CodeInteger:
            row.Ints[i] = SInt(f.Size);
            break;
        case CodeBoolean:
            row.Bools[i] = UInt(f.Size) != 0;
            break;
        case CodeText: {
            const qint64 at = FPos;
            const quint64 bytes = UInt(f.Size);
            if (bytes % 2 != 0)
                throw EOrvexaError(QStringLiteral("%1: the %2 (at byte %3) has an odd length, which is not UTF-16.")
                                       .arg(where, f.Label)
                                       .arg(at));
            Need(qint64(bytes));
            const qint64 first = FPos;
            QString text(qsizetype(bytes / 2), Qt::Uninitialized);
            for (quint64 k = 0; k < bytes / 2; ++k)
                text[qsizetype(k)] = QChar(qFromLittleEndian<quint16>(FData.constData() + FPos + 2 * k));
            FPos += qint64(bytes);
            // Half of a surrogate pair is no character: the store (UTF-8)
            // would keep a "?" in its place, and a password would silently
            // change. The file is refused instead.
            for (qsizetype k = 0; k < text.size(); ++k) {
                const QChar c = text[k];
                if (c.isHighSurrogate() && k + 1 < text.size() && text[k + 1].isLowSurrogate()) {
                    ++k;
                    continue;
                }
                if (c.isSurrogate())
                    throw EOrvexaError(QStringLiteral("%1: the %2 holds half of a UTF-16 surrogate pair at byte %3, "
                                                      "which is no character; the file is damaged.")
                                           .arg(where, f.Label)
                                           .arg(first + 2 * k));
            }
            row.Texts[i] = text;
            break;
        }
        case CodeNested: {
            const quint64 count = UInt(f.Size);
            // Each nested row takes at least its null bitmap: a count beyond
            // what is left of the file is a damaged file, not a huge list.
            if (count > quint64(FData.size() - FPos))
                Truncated();
            for (quint64 k = 0; k < count; ++k)
                row.Nested[i].append(ReadRow(f.Children, where));
            break;
        }
        default:
            if (f.Varying) {
                const quint64 bytes = UInt(f.Size);
                Need(qint64(bytes));
                FPos += qint64(bytes);
            } else {
                Need(f.Size);
                FPos += f.Size;
            }
        }
    }
    return row;
}

const char* TypeCodeName(quint32 code)
{
    switch (code) {
    case CodeInteger:
        return "an integer";
    case CodeBoolean:
        return "a boolean";
    case CodeText:
        return "a text";
    default:
        return "a nested table";
    }
}

// Finds the field of that name (ignoring letter case) and names it by this
// program's name from then on.
qsizetype FindBinField(QList<TBinField>& fields, const char* name, quint32 code, const QString& table)
{
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (fields[i].Name.compare(QLatin1String(name), Qt::CaseInsensitive) != 0)
            continue;
        if (fields[i].Code != code)
            throw EOrvexaError(QStringLiteral("the field %1 of the %2 (descriptor at byte %3) is not %4.")
                                   .arg(QLatin1String(name), table)
                                   .arg(fields[i].At)
                                   .arg(QLatin1String(TypeCodeName(code))));
        fields[i].Label = QLatin1String(name);
        return i;
    }
    throw EOrvexaError(QStringLiteral("the %1 has no field %2.").arg(table, QLatin1String(name)));
}

TDBListPacket TBinReader::Read()
{
    if (UInt(4) != Magic)
        throw EOrvexaError(QStringLiteral("it does not start with the binary magic number."));
    UInt(2);  // major and minor version: checked by the caller
    UInt(2);
    const quint64 headerSize = UInt(4);
    const int fieldCount = int(UInt(2));
    const quint64 rowCount = UInt(4);
    UInt(4);  // packet flags
    UInt(2);  // reserved
    if (headerSize < HeaderSize)
        throw EOrvexaError(QStringLiteral("the binary header gives its size as %1 bytes, less than 24.").arg(headerSize));
    FPos = qint64(headerSize);
    Need(0);
    if (fieldCount == 0)
        throw EOrvexaError(QStringLiteral("the instance table of the binary form has no fields."));
    QList<TBinField> fields = ReadDescriptors(fieldCount, 0, QStringLiteral("instance table"));

    const QString table = QStringLiteral("instance table");
    const qsizetype fId = FindBinField(fields, InstanceID, CodeInteger, table);
    const qsizetype fName = FindBinField(fields, InstanceName, CodeText, table);
    const qsizetype fUser = FindBinField(fields, UserName, CodeText, table);
    const qsizetype fPwd = FindBinField(fields, UserPWD, CodeText, table);
    const qsizetype fNT = FindBinField(fields, NT, CodeBoolean, table);
    qsizetype fDbs = -1;
    for (qsizetype i = 0; i < fields.size() && fDbs < 0; ++i)
        if (fields[i].Code == CodeNested)
            fDbs = i;
    if (fDbs < 0)
        throw EOrvexaError(QStringLiteral("the instance table has no nested table field (%1), so it holds no databases.")
                               .arg(QLatin1String(Databases)));
    const QString nestedTable = QStringLiteral("nested table (field %1 of the instance table)").arg(fDbs + 1);
    const qsizetype fDbId = FindBinField(fields[fDbs].Children, DatabaseID, CodeInteger, nestedTable);
    const qsizetype fDbName = FindBinField(fields[fDbs].Children, DatabaseName, CodeText, nestedTable);

    if (rowCount > quint64(FData.size() - FPos))
        Truncated();
    TDBListPacket packet;
    for (quint64 r = 0; r < rowCount; ++r) {
        const QString where = QStringLiteral("instance row %1 (at byte %2)").arg(r + 1).arg(FPos);
        const TRowValues row = ReadRow(fields, where);
        TPacketInstance inst;
        if (row.Ints[fId] < INT32_MIN || row.Ints[fId] > INT32_MAX)
            throw EOrvexaError(QStringLiteral("%1: the InstanceID is not a 32-bit number.").arg(where));
        inst.InstanceID = qint32(row.Ints[fId]);
        inst.InstanceName = row.Texts[fName];
        inst.UserName = row.Texts[fUser];
        inst.UserPWD = row.Texts[fPwd];
        inst.NT = row.Bools[fNT];
        int dbNo = 0;
        for (const TRowValues& dbRow : row.Nested[fDbs]) {
            ++dbNo;
            TPacketDatabase db;
            if (dbRow.Ints[fDbId] < INT32_MIN || dbRow.Ints[fDbId] > INT32_MAX)
                throw EOrvexaError(QStringLiteral("database row %1 of %2: the DataBaseID is not a 32-bit number.")
                                       .arg(dbNo)
                                       .arg(where));
            db.DatabaseID = qint32(dbRow.Ints[fDbId]);
            db.InstanceID = inst.InstanceID;
            db.DatabaseName = dbRow.Texts[fDbName];
            inst.Databases.append(db);
        }
        packet.Instances.append(inst);
    }
    if (FPos != FData.size())
        throw EOrvexaError(QStringLiteral("the binary form has %1 bytes of unexpected data after its last row.")
                               .arg(FData.size() - FPos));
    return packet;
}

} // namespace

bool IsBinaryDBList(const QByteArray& content)
{
    if (content.size() < 8)
        return false;
    return qFromLittleEndian<quint32>(content.constData()) == Magic
        && qFromLittleEndian<quint16>(content.constData() + 4) <= 3;
}

QByteArray WriteDBListBinary(const TDBListPacket& packet)
{
    TBinWriter w;
    w.U32(Magic);
    w.U16(1);
    w.U16(0);
    w.U32(HeaderSize);
    w.U16(6);
    w.U32(quint32(packet.Instances.size()));
    w.U32(0);
    w.U16(0);
    w.Descriptor(InstanceID, TypeInteger);
    w.Descriptor(InstanceName, TypeText);
    w.Descriptor(UserName, TypeText);
    w.Descriptor(UserPWD, TypeText);
    w.Descriptor(NT, TypeBoolean);
    w.Descriptor(Databases, TypeNested);
    w.U16(3);
    w.Descriptor(DatabaseID, TypeInteger);
    w.Descriptor(InstanceID, TypeInteger);
    w.Descriptor(DatabaseName, TypeText);
    int rowNo = 0;
    for (const TPacketInstance& inst : packet.Instances) {
        ++rowNo;
        try {
            w.U8(0);  // null bitmap of the six fields: nothing is null
            w.U32(quint32(inst.InstanceID));
            w.Text(inst.InstanceName, InstanceName);
            w.Text(inst.UserName, UserName);
            w.Text(inst.UserPWD, UserPWD);
            w.U16(inst.NT ? 1 : 0);
            w.U32(quint32(inst.Databases.size()));
            for (const TPacketDatabase& db : inst.Databases) {
                w.U8(0);
                w.U32(quint32(db.DatabaseID));
                w.U32(quint32(inst.InstanceID));
                w.Text(db.DatabaseName, DatabaseName);
            }
        } catch (const EOrvexaError& e) {
            throw EOrvexaError(QStringLiteral("Instance row %1 (%2): %3").arg(rowNo).arg(inst.InstanceName, e.Message()));
        }
    }
    return w.Data;
}

TDBListPacket ReadDBListBinary(const QByteArray& content)
{
    TBinReader reader(content);
    return reader.Read();
}
