// The execution log that the desktop's log pane shows, line by line, for the
// run the engine's and the runner's tests both make: 01.sql and 02.sql on two
// databases of one instance, each file in a transaction, 02.sql failing on
// the second database with `error`.
#pragma once

#include "untCommon.h"

#include <QString>
#include <QStringList>

inline QStringList TwoDatabaseRunLog(const QString& instance, const QString& db1, const QString& db2,
                                     const QString& error, bool continueOnError)
{
    const auto banner = [](const char* text) { return CenterTitle(QString::fromLatin1(text)); };
    const QString tab = QStringLiteral("    ");
    QStringList log = {
        QString(),
        banner("Begin to split SQL statments"),
        QStringLiteral("01.sql is split successfully."),
        QStringLiteral("02.sql is split successfully."),
        banner("Split SQL statments successfully"),
        QString(),
        banner("Begin to execute SQL statments"),
        QString(),
        QStringLiteral("[%1].[%2] begin to execute ...").arg(instance, db1),
        tab + QStringLiteral("01.sql was executed successfully."),
        tab + QStringLiteral("02.sql was executed successfully."),
        QString(),
        QStringLiteral("[%1].[%2] begin to execute ...").arg(instance, db2),
        tab + QStringLiteral("01.sql was executed successfully."),
        tab + QStringLiteral("02.sql Error occurred and transation rollback."),
        QString(),
        tab + error,
        QString(),
        banner("Execution completed but errors occured"),
    };
    // Without ContinueOnError the error ends the run there; with it, the
    // error list follows.
    if (continueOnError)
        log += {
            QString(),
            banner("Error list begin"),
            QString(),
            QStringLiteral("Instance:") + instance,
            QStringLiteral("Database:") + db2,
            QStringLiteral("SQL File:02.sql"),
            QStringLiteral("Error Message:") + error,
            QString(),
            banner("Error list end"),
        };
    return log;
}
