// The local store and the connection data, as the commands of orvexa-cli use
// them.
#pragma once

#include "untDmMain.h"
#include "untMessageBox.h"

#include <QCommandLineParser>

// Message boxes of the data module, printed on stderr as "Caption: text".
// Questions get the answer set in Answer.
class TStderrMessageBox : public TMessageBox {
public:
    TMsgAnswer Answer = TMsgButton::Yes;
    TMsgAnswer Show(const QString& text, const QString& caption, TMsgIcon icon, TMsgButtons buttons) override;
};

// Opens (or creates) the local store. On failure prints the reason and
// returns false.
bool OpenStore(TdmMain& dm);

// The password for --user NAME: ORVEXA_PASSWORD, else asked on the terminal
// without echo. Throws EOrvexaError when neither is there.
QString PasswordFor(const QString& userName);

// The connection data from --instance and --user: Windows authentication
// without --user.
TInstanceInfo InstanceFromOptions(const QCommandLineParser& parser, const QCommandLineOption& instance,
                                  const QCommandLineOption& user);
