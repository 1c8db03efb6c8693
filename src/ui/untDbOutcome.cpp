#include "untDbOutcome.h"

TDbOutcome ParseDbOutcome(const QStringList& lines, bool runEnded)
{
    TDbOutcome result;
    const QString indent = QStringLiteral("    ");
    bool fileFailed = false;
    for (const QString& line : lines) {
        if (line.endsWith(QStringLiteral(" Error occurred and transation rollback."))) {
            result.Outcome = TDBOutcome::RolledBack;
            fileFailed = true;
            continue;
        }
        if (line.endsWith(QStringLiteral(" Error occurred."))) {
            result.Outcome = TDBOutcome::Failed;
            fileFailed = true;
            continue;
        }
        if (line.startsWith(QStringLiteral("User has canceled current operation."), Qt::CaseSensitive)
            || line.trimmed().startsWith(QStringLiteral("User has canceled current operation."))) {
            if (runEnded)
                result.Outcome = TDBOutcome::Stopped;
            break;
        }
        // Banners (the summary) end what belongs to the database.
        if (line.startsWith(QLatin1Char('=')))
            break;
        if (!line.startsWith(indent) || line.endsWith(QStringLiteral(" was executed successfully.")))
            continue;
        // An indented line that is not a file's outcome is an error message.
        if (result.FirstError.isEmpty())
            result.FirstError = line.trimmed();
        if (!fileFailed)
            result.Outcome = TDBOutcome::Failed;
    }
    return result;
}
