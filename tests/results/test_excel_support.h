// Reading written workbooks back for the export tests, through openpyxl in
// Debian's Python (/usr/bin/python3; the first python3 on PATH may lack it),
// and small builders of result snapshots.
#pragma once

#include "untResultTable.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

// One sheet as read back. A cell is "" (empty), "s:<text>", "n:<number as
// Python writes it>" or "d:<ISO date-time>", "t:<ISO time>".
struct TSheetReadBack {
    QString Name;
    QString FreezePanes;        // "A2" when the title row is kept in view
    QList<bool> TitleBold;      // font of each cell of row 1
    QList<QStringList> Rows;    // every row, row 1 first
    QList<QStringList> Formats; // number format of each cell
};

inline const char* ReadBackScript = R"PY(
import sys, json, datetime, openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
out = []
for ws in wb.worksheets:
    rows, formats = [], []
    for row in ws.iter_rows():
        cells, fmts = [], []
        for c in row:
            v = c.value
            if v is None: cells.append("")
            elif isinstance(v, datetime.datetime): cells.append("d:" + v.isoformat())
            elif isinstance(v, datetime.time): cells.append("t:" + v.isoformat())
            elif isinstance(v, (int, float)): cells.append("n:" + repr(v))
            else: cells.append("s:" + str(v))
            fmts.append(c.number_format)
        rows.append(cells)
        formats.append(fmts)
    out.append({"name": ws.title, "freeze": ws.freeze_panes or "",
                "bold": [bool(c.font.b) for c in ws[1]], "rows": rows, "formats": formats})
print(json.dumps(out))
)PY";

inline QStringList ToStrings(const QJsonArray& a)
{
    QStringList list;
    for (const QJsonValue& v : a)
        list.append(v.toString());
    return list;
}

// The workbook's sheets, in order; fails the test when it cannot be read.
inline QList<TSheetReadBack> ReadWorkbook(const QString& path)
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromUtf8(ReadBackScript), path});
    QList<TSheetReadBack> sheets;
    if (!python.waitForFinished(300000) || python.exitCode() != 0) {
        ADD_FAILURE() << "openpyxl cannot read " << path.toStdString() << ": "
                      << python.readAllStandardError().toStdString();
        return sheets;
    }
    const QJsonArray all = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    for (const QJsonValue& s : all) {
        const QJsonObject o = s.toObject();
        TSheetReadBack sheet;
        sheet.Name = o.value(QStringLiteral("name")).toString();
        sheet.FreezePanes = o.value(QStringLiteral("freeze")).toString();
        for (const QJsonValue& b : o.value(QStringLiteral("bold")).toArray())
            sheet.TitleBold.append(b.toBool());
        for (const QJsonValue& r : o.value(QStringLiteral("rows")).toArray())
            sheet.Rows.append(ToStrings(r.toArray()));
        for (const QJsonValue& r : o.value(QStringLiteral("formats")).toArray())
            sheet.Formats.append(ToStrings(r.toArray()));
        sheets.append(sheet);
    }
    return sheets;
}

inline QStringList SheetNames(const QList<TSheetReadBack>& sheets)
{
    QStringList names;
    for (const TSheetReadBack& s : sheets)
        names.append(s.Name);
    return names;
}

// A snapshot from column definitions and a row filler.
inline TResultSnapshot MakeSnapshot(const QList<TResultColumnDef>& columns, qint64 rows,
                                    const std::function<void(TResultTable&, qint64)>& fillRow)
{
    TResultTable table;
    table.DefineColumns(columns);
    for (qint64 r = 0; r < rows; ++r) {
        fillRow(table, r);
        table.Post();
    }
    return table.Snapshot();
}

// A two-column result (id int, name nvarchar) with `rows` records.
inline TResultSnapshot SmallResult(qint64 rows, const QString& prefix = QStringLiteral("row"))
{
    return MakeSnapshot({{QStringLiteral("id"), ftInteger}, {QStringLiteral("name"), ftWideString, 40}}, rows,
                        [&](TResultTable& t, qint64 r) {
                            t.AppendInteger(r + 1);
                            t.AppendText(prefix + QString::number(r + 1));
                        });
}

// The files in a folder, sorted.
inline QStringList FilesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}
