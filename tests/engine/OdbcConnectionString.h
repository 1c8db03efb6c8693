// ODBC connection strings read back, for tests that check what the access
// layer builds and for reading ORVEXA_TEST_SQLSERVER.
#pragma once

#include <QMap>
#include <QString>

// Splits a connection string the way ODBC reads it: key=value; with values
// in braces holding anything, "}}" standing for '}'. With firstClose, the way
// FreeTDS before 1.4 reads it: a braced value ends at the first "};" and
// nothing inside is unescaped.
inline QMap<QString, QString> ParseOdbc(const QString& s, bool firstClose = false)
{
    QMap<QString, QString> out;
    qsizetype i = 0;
    while (i < s.size()) {
        const qsizetype eq = s.indexOf(QLatin1Char('='), i);
        if (eq < 0)
            break;
        const QString key = s.mid(i, eq - i).trimmed().toUpper();
        QString value;
        i = eq + 1;
        if (firstClose && i < s.size() && s.at(i) == QLatin1Char('{')) {
            const qsizetype end = s.indexOf(QLatin1String("};"), i + 1);
            if (end < 0)
                return {};
            value = s.mid(i + 1, end - i - 1);
            i = end + 1;
        } else if (i < s.size() && s.at(i) == QLatin1Char('{')) {
            ++i;
            for (;;) {
                if (i >= s.size())
                    return {};  // unterminated: not a valid string
                if (s.at(i) == QLatin1Char('}')) {
                    if (i + 1 < s.size() && s.at(i + 1) == QLatin1Char('}')) {
                        value += QLatin1Char('}');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += s.at(i++);
            }
            if (i < s.size() && s.at(i) != QLatin1Char(';'))
                return {};  // text after a closing brace
        } else {
            const qsizetype semi = s.indexOf(QLatin1Char(';'), i);
            value = s.mid(i, semi < 0 ? -1 : semi - i);
            i = semi < 0 ? s.size() : semi;
        }
        out.insert(key, value);
        if (i < s.size() && s.at(i) == QLatin1Char(';'))
            ++i;
    }
    return out;
}

