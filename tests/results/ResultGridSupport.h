// Small result sets and the application object for the tests of the result
// grid and the result pages.
#pragma once

#include "TestApp.h"
#include "untResultTable.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// A text cell or Null.
using TCell = std::optional<QString>;
inline const TCell Null = std::nullopt;

// A result set of text columns with these names and rows.
inline TResultSnapshot TextResult(const QStringList& names, const std::vector<std::vector<TCell>>& rows)
{
    QList<TResultColumnDef> columns;
    for (const QString& name : names)
        columns.append({name, ftWideString, 4000, 0, false});
    TResultTable table;
    table.DefineColumns(columns);
    for (const auto& row : rows) {
        for (const TCell& cell : row) {
            if (cell)
                table.AppendText(*cell);
            else
                table.AppendNull();
        }
        table.Post();
    }
    return table.Snapshot();
}

// A result set of one integer column "n" with the values 1 .. rows.
inline TResultSnapshot CountingResult(qint64 rows, const QString& name = QStringLiteral("n"))
{
    TResultTable table;
    table.DefineColumns({{name, ftInteger, 0, 0, false}});
    for (qint64 i = 1; i <= rows; ++i) {
        table.AppendInteger(i);
        table.Post();
    }
    return table.Snapshot();
}
