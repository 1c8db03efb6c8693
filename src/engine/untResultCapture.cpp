#include "untResultCapture.h"

#include <QSet>

#include <algorithm>
#include <limits>

TFieldType MapColumnType(TDataType type)
{
    switch (type) {
    case adSmallInt:
    case adTinyInt:
    case adBoolean: return ftSmallint;
    case adInteger:
    case adError:
    case adUnsignedInt: return ftInteger;
    case adUnsignedTinyInt:
    case adUnsignedSmallInt: return ftWord;
    case adBigInt:
    case adUnsignedBigInt: return ftLargeint;
    case adSingle:
    case adDouble: return ftFloat;
    case adCurrency: return ftBCD;
    case adDecimal:
    case adNumeric:
    case adVarNumeric: return ftBCD;  // or ftFMTBcd, by precision and scale
    case adDate:
    case adFileTime:
    case adDBTimeStamp:
    case adDBFileTime: return ftDateTime;
    case adDBDate: return ftDate;
    case adDBTime: return ftTime;
    case adVarChar: return ftString;
    case adChar: return ftFixedChar;
    case adBSTR:
    case adVarWChar: return ftWideString;
    case adWChar: return ftFixedWideChar;
    case adLongVarChar: return ftMemo;
    case adLongVarWChar: return ftWideMemo;
    case adBinary: return ftBytes;
    case adVarBinary: return ftVarBytes;
    case adLongVarBinary: return ftBlob;
    case adGUID: return ftGuid;
    case adVariant:
    case adPropVariant: return ftVariant;
    case adIUnknown: return ftInterface;
    case adIDispatch: return ftIDispatch;
    case adChapter: return ftDataSet;
    default: return ftUnknown;
    }
}

TResultColumnDef ResultColumnFor(const TDBField& field)
{
    TResultColumnDef def;
    def.Type = MapColumnType(field.Type);
    if (def.Type == ftUnknown)
        return def;
    def.IsTruth = field.Type == adBoolean;

    // A numeric without decimals that fits nine digits is an integer.
    if (field.Type == adNumeric && field.NumericScale == 0 && field.Precision < 10) {
        def.Type = ftInteger;
        return def;
    }
    switch (field.Type) {
    case adDecimal:
    case adNumeric:
    case adVarNumeric:
        if (!(field.NumericScale <= 4 && field.Precision <= 19))
            def.Type = ftFMTBcd;
        break;
    default: break;
    }
    if (def.Type == ftBCD || def.Type == ftFMTBcd) {
        def.Precision = field.Precision;
        // A scale byte of 128 or more (negative read as signed) means "none given".
        def.Size = (field.NumericScale >= 128 || field.NumericScale < 0) ? 4 : field.NumericScale;
        return def;
    }
    switch (def.Type) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar:
    case ftBytes:
    case ftVarBytes: def.Size = int(std::clamp<qint64>(field.DefinedSize, 0, std::numeric_limits<int>::max())); break;
    case ftGuid: def.Size = 38; break;
    default: break;
    }
    return def;
}

QList<TResultColumnDef> BuildResultColumns(const QList<TDBField>& fields, std::vector<int>* sourceFields)
{
    QList<TResultColumnDef> columns;
    QSet<QString> used;  // upper-cased names in use
    if (sourceFields)
        sourceFields->clear();
    for (qsizetype i = 0; i < fields.size(); ++i) {
        TResultColumnDef def = ResultColumnFor(fields[i]);
        if (def.Type == ftUnknown)
            continue;
        const QString base = fields[i].Name;
        QString name = base;
        for (int n = 1; name.isEmpty() || used.contains(name.toUpper()); ++n)
            name = base.isEmpty() ? QStringLiteral("COLUMN%1").arg(n) : QStringLiteral("%1_%2").arg(base).arg(n);
        used.insert(name.toUpper());
        def.Name = name;
        columns << def;
        if (sourceFields)
            sourceFields->push_back(int(i));
    }
    return columns;
}

// ---------------------------------------------------------------------------

namespace {

enum TReader : int { rdInteger, rdTruth, rdFloat, rdDecimal, rdDateTime, rdDate, rdTime, rdText, rdBytes, rdNull };

TReader ReaderFor(const TResultColumnDef& def, const TDBField& field)
{
    if (def.IsTruth)
        return rdTruth;
    switch (def.Type) {
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftLargeint:
        // numeric(p<10, 0) arrives as decimal text; its integer value is exact.
        return rdInteger;
    case ftFloat: return rdFloat;
    case ftBCD:
    case ftFMTBcd: return rdDecimal;
    case ftDateTime: return rdDateTime;
    case ftDate: return rdDate;
    case ftTime: return rdTime;
    case ftBytes:
    case ftVarBytes:
    case ftBlob: return rdBytes;
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar:
    case ftMemo:
    case ftWideMemo:
    case ftGuid:
    case ftVariant: return rdText;
    default: break;
    }
    Q_UNUSED(field);
    return rdNull;
}

} // namespace

void TResultCapture::CreateResultFields(const TDBRecordset& recordset, TResultTable& table)
{
    table.Close();
    QList<TDBField> fields;
    fields.reserve(recordset.FieldCount());
    for (int i = 0; i < recordset.FieldCount(); ++i)
        fields << recordset.Field(i);
    std::vector<int> sources;
    const QList<TResultColumnDef> columns = BuildResultColumns(fields, &sources);
    FSources.clear();
    for (qsizetype i = 0; i < columns.size(); ++i)
        FSources.push_back({sources[size_t(i)], ReaderFor(columns[i], fields[sources[size_t(i)]])});
    table.DefineColumns(columns);
}

void TResultCapture::FillResult(TDBRecordset& recordset, TResultTable& table)
{
    while (!recordset.Eof()) {
        for (const TSource& c : FSources) {
            if (recordset.IsNull(c.Field)) {
                table.AppendNull();
                continue;
            }
            switch (c.Reader) {
            case rdInteger: table.AppendInteger(recordset.AsInteger(c.Field)); break;
            case rdTruth: table.AppendInteger(qAbs(recordset.AsInteger(c.Field))); break;
            case rdFloat: table.AppendFloat(recordset.AsFloat(c.Field)); break;
            case rdDecimal: table.AppendDecimal(recordset.AsDecimalText(c.Field)); break;
            case rdDateTime:
            case rdDate: {
                const TDBTimeStamp t = recordset.AsTimeStamp(c.Field);
                table.AppendTicks(c.Reader == rdDate ? TicksFromParts(t.Year, t.Month, t.Day, 0, 0, 0, 0)
                                                         : TicksFromParts(t.Year, t.Month, t.Day, t.Hour, t.Minute,
                                                                          t.Second, t.Nanosecond));
                break;
            }
            case rdTime: {
                const TDBTimeStamp t = recordset.AsTimeStamp(c.Field);
                table.AppendTicks((qint64(t.Hour) * 3600 + t.Minute * 60 + t.Second) * TicksPerSecond
                                      + t.Nanosecond / 100);
                break;
            }
            case rdText: table.AppendText(recordset.AsString(c.Field)); break;
            case rdBytes: table.AppendBytes(recordset.AsBytes(c.Field)); break;
            default: table.AppendNull(); break;
            }
        }
        table.Post();
        recordset.MoveNext();
    }
}
