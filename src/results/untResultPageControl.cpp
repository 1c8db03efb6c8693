#include "untResultPageControl.h"

#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTabBar>
#include <QVBoxLayout>

#include <vector>

namespace {

// A layout that makes its one child fill the tab.
QVBoxLayout* FillLayout(QWidget* owner)
{
    auto* layout = new QVBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    return layout;
}

// The widget a page is placed in (see the constructor's contract).
QWidget* PlacementOf(QObject* AOwner, QWidget* AParent)
{
    if (AParent)
        return AParent;
    if (auto* widget = qobject_cast<QWidget*>(AOwner))
        return widget;
    throw EOrvexaError(QStringLiteral("Parameter 'Parent' can't  be empty."));
}

// A tab bar that measures each tab once. Qt's tab bar measures every tab
// again (fonts, style) whenever one is added, which makes thousands of
// result tabs cost seconds; a tab's size changes only with its caption, the
// font or the style.
class TResultTabBar final : public QTabBar {
public:
    using QTabBar::QTabBar;

protected:
    QSize tabSizeHint(int index) const override
    {
        if (index < 0 || index >= count())
            return QTabBar::tabSizeHint(index);
        if (FSizes.size() <= size_t(index))
            FSizes.resize(size_t(count()));
        TMeasured& m = FSizes[size_t(index)];
        const QString text = tabText(index);
        if (!m.Size.isValid() || m.Text != text) {
            m.Size = QTabBar::tabSizeHint(index);
            m.Text = text;
        }
        return m.Size;
    }

    void tabInserted(int index) override
    {
        if (size_t(index) < FSizes.size())
            FSizes.insert(FSizes.begin() + index, TMeasured{});
        QTabBar::tabInserted(index);
    }

    void tabRemoved(int index) override
    {
        if (size_t(index) < FSizes.size())
            FSizes.erase(FSizes.begin() + index);
        QTabBar::tabRemoved(index);
    }

    void changeEvent(QEvent* event) override
    {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            FSizes.clear();
        QTabBar::changeEvent(event);
    }

private:
    struct TMeasured {
        QString Text;
        QSize Size;  // invalid: not measured yet
    };
    mutable std::vector<TMeasured> FSizes;
};

}  // namespace

// ---------------------------------------------------------------------------

TMsgTabSheet::TMsgTabSheet(QWidget* AOwner) : QWidget(AOwner)
{
    MsgLog = new QPlainTextEdit(this);
    MsgLog->setReadOnly(true);
    MsgLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    MsgLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    MsgLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MsgLog->setUndoRedoEnabled(false);
    MsgLog->setAccessibleName(QStringLiteral("Messages"));
    FillLayout(this)->addWidget(MsgLog);
}

void TMsgTabSheet::AddMsgs(const QStringList& Msgs)
{
    if (Msgs.isEmpty())
        return;
    // One append for the whole list: the text box lays out once. Line
    // breaks of every kind become line ends of the box.
    QString text = Msgs.join(QLatin1Char('\n'));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    MsgLog->appendPlainText(text);
}

// ---------------------------------------------------------------------------

TResultTabSheet::TResultTabSheet(QWidget* AOwner) : QWidget(AOwner)
{
    FillLayout(this);
}

void TResultTabSheet::FillData(const TResultSnapshot& Data)
{
    FData = Data;
    if (FGrid)
        FGrid->FillData(FData);
}

TResultStringGrid* TResultTabSheet::ResultGrid()
{
    if (!FGrid) {
        FGrid = new TResultStringGrid(this);
        FGrid->setAccessibleName(FGridName);
        FGrid->SetPopupMenu(FGridMenu);
        FGrid->FillData(FData);
        layout()->addWidget(FGrid);
    }
    return FGrid;
}

void TResultTabSheet::SetGridName(const QString& name)
{
    FGridName = name;
    if (FGrid)
        FGrid->setAccessibleName(name);
}

void TResultTabSheet::SetGridMenu(QMenu* menu)
{
    FGridMenu = menu;
    if (FGrid)
        FGrid->SetPopupMenu(menu);
}

void TResultTabSheet::showEvent(QShowEvent* event)
{
    ResultGrid();
    QWidget::showEvent(event);
}

// ---------------------------------------------------------------------------

TResultPageControl::TResultPageControl(QObject* AOwner, QWidget* AParent)
    : QTabWidget(PlacementOf(AOwner, AParent))
{
    setTabBar(new TResultTabBar(this));
    setVisible(false);
    tabBar()->setUsesScrollButtons(true);
    tabBar()->setElideMode(Qt::ElideNone);
    FMsgTab = new TMsgTabSheet(this);
    addTab(FMsgTab, QStringLiteral("Message"));
}

TResultPageControl::~TResultPageControl() = default;

void TResultPageControl::AddResult(const TResultSnapshot& Data)
{
    const TResultSnapshot data = Data;
    auto* sheet = new TResultTabSheet(this);
    sheet->FillData(data);
    const QString caption = QStringLiteral("Result") + QString::number(count());
    sheet->SetGridName(caption);
    if (FGridMenu)
        sheet->SetGridMenu(FGridMenu);
    addTab(sheet, caption);
}

void TResultPageControl::AddMsgs(const QStringList& Msgs)
{
    FMsgTab->AddMsgs(Msgs);
}

TResultTabSheet* TResultPageControl::ResultTab(int k) const
{
    if (k < 1 || k >= count())
        return nullptr;
    return static_cast<TResultTabSheet*>(widget(k));
}

TVariantArr TResultPageControl::GetCurrentDBDataArr() const
{
    TVariantArr result;
    if (count() > 1) {
        result.reserve(count() - 1);
        for (int k = 1; k < count(); ++k)
            result.append(QVariant::fromValue(ResultTab(k)->GetData()));
    } else {
        result.append(QVariant());
    }
    return result;
}

TVariantArr TResultPageControl::GetCurrentTabDataArr() const
{
    if (TResultTabSheet* tab = ResultTab(currentIndex()))
        return {QVariant::fromValue(tab->GetData())};
    return {QVariant()};
}

int TResultPageControl::GetCurrentTabIndex() const
{
    return currentIndex();
}
