#include "untCsvWriter.h"

#include "untCommon.h"

#include <QIODevice>

namespace {

// A value quoted when it holds a separator, a quote or a line break, or is
// empty: only a NULL is an empty unquoted field. (Of all kinds only text can
// show empty without being NULL.)
void AppendCsvField(QString& line, const QString& value)
{
    const bool quote = value.isEmpty() || value.contains(QLatin1Char(','))
                    || value.contains(QLatin1Char('"')) || value.contains(QLatin1Char('\r'))
                    || value.contains(QLatin1Char('\n'));
    if (!quote) {
        line += value;
        return;
    }
    line += QLatin1Char('"');
    for (const QChar c : value) {
        if (c == QLatin1Char('"'))
            line += QLatin1Char('"');
        line += c;
    }
    line += QLatin1Char('"');
}

void WriteAll(QIODevice& out, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    if (out.write(bytes) != bytes.size())
        throw EOrvexaError(out.errorString());
}

} // namespace

void WriteCsv(const TResultView& result, QIODevice& out)
{
    const int columns = result.ColumnCount();
    QString line;
    for (int c = 0; c < columns; ++c) {
        if (c > 0)
            line += QLatin1Char(',');
        AppendCsvField(line, result.Column(c).Name);
    }
    line += QLatin1String("\r\n");
    WriteAll(out, line);

    const qint64 rows = result.RowCount();
    QString block;
    for (qint64 r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            if (c > 0)
                block += QLatin1Char(',');
            if (!result.IsNull(r, c))
                AppendCsvField(block, result.DisplayText(r, c));
        }
        block += QLatin1String("\r\n");
        if (block.size() > 256 * 1024) {
            WriteAll(out, block);
            block.clear();
        }
    }
    WriteAll(out, block);
}
