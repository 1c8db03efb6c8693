// The message boxes that the data module shows go through this interface, so
// the module runs without widgets: the desktop application implements it with
// real message boxes owned by its main window, orvexa-cli prints, and tests
// record what was shown and give the answer they want.
#pragma once

#include <QFlags>
#include <QList>
#include <QString>

enum class TMsgIcon { Information, Question, Warning, Error };

enum class TMsgButton : unsigned {
    None = 0,
    OK = 0x01,
    Cancel = 0x02,
    Yes = 0x04,
    No = 0x08,
};
Q_DECLARE_FLAGS(TMsgButtons, TMsgButton)
Q_DECLARE_OPERATORS_FOR_FLAGS(TMsgButtons)

// The button the user pressed; None when the box was closed without one.
using TMsgAnswer = TMsgButton;

class TMessageBox {
public:
    virtual ~TMessageBox() = default;
    // Shows the box modally and returns the button pressed.
    virtual TMsgAnswer Show(const QString& text, const QString& caption, TMsgIcon icon,
                            TMsgButtons buttons) = 0;
};

// Keeps every box shown and answers each with Answer (tests, and callers that
// report the messages themselves).
class TRecordingMessageBox : public TMessageBox {
public:
    struct TShown {
        QString Text;
        QString Caption;
        TMsgIcon Icon;
        TMsgButtons Buttons;
    };

    TMsgAnswer Answer = TMsgButton::OK;
    QList<TShown> Shown;

    TMsgAnswer Show(const QString& text, const QString& caption, TMsgIcon icon, TMsgButtons buttons) override
    {
        Shown.append({text, caption, icon, buttons});
        return Answer;
    }
};
