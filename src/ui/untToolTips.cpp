#include "untToolTips.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QToolButton>
#include <QToolTip>
#include <QWidget>

namespace {

class TToolTipFilter : public QObject {
public:
    TToolTipFilter(QObject* owner, int milliseconds) : QObject(owner), FDuration(milliseconds) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::ToolTip)
            return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        // Item views give each item its own tip: leave them to Qt.
        if (!widget || qobject_cast<QAbstractItemView*>(widget->parentWidget()))
            return false;
        QString text = widget->toolTip();
        if (auto* button = qobject_cast<QToolButton*>(widget); button && button->defaultAction())
            text = button->defaultAction()->toolTip();
        if (text.isEmpty())
            return false;
        auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), text, widget, QRect(), FDuration);
        return true;
    }

private:
    int FDuration;
};

} // namespace

void SetToolTipDuration(QObject* owner, int milliseconds)
{
    qApp->installEventFilter(new TToolTipFilter(owner, milliseconds));
}
