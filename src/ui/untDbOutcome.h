// How one database of a run ended, read from the execution log lines the run
// wrote for it (from its "begin to execute" line on). The result list shows
// it as an icon and the first error as a tool tip.
#pragma once

#include <QString>
#include <QStringList>

enum class TDBOutcome { Running, Succeeded, RolledBack, Failed, Stopped };

struct TDbOutcome {
    TDBOutcome Outcome = TDBOutcome::Succeeded;
    QString FirstError;  // the first error line, trimmed; empty when none
};

// lines: the log lines of one database, in order (later lines of the run,
// such as its error list, may follow). runEnded: the run ended with this
// database (stFail), so a cancellation there means it was stopped.
TDbOutcome ParseDbOutcome(const QStringList& lines, bool runEnded);
