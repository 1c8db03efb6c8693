#include "untAbout.h"

#include "untIcons.h"

#include "untCommon.h"
#include "untDialogSupport.h"
#include "untShell.h"

#include <QApplication>
#include <QClipboard>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QShowEvent>
#include <QVBoxLayout>

const char* const TfrmAboutBox::Version = "1.5.2";

// ------------------------------------------------------------ TLinkLabel

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, Qt::blue);
    setPalette(p);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit Clicked();
    QLabel::mouseReleaseEvent(event);
}

void TLinkLabel::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space) {
        emit Clicked();
        return;
    }
    QLabel::keyPressEvent(event);
}

// ---------------------------------------------------------- TfrmAboutBox

namespace {

QLabel* NewHint(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    label->setAlignment(Qt::AlignRight | Qt::AlignTop);
    return label;
}

} // namespace

TfrmAboutBox::TfrmAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("About"));
    setObjectName(QStringLiteral("frmAboutBox"));

    // The top band in the form's own colour, the white content panel under it.
    setAutoFillBackground(true);
    QPalette band = palette();
    band.setColor(QPalette::Window, QColor(0, 102, 204));
    band.setColor(QPalette::WindowText, Qt::white);
    setPalette(band);

    TopPanel = new QWidget(this);
    Image1 = new QLabel(TopPanel);
    Image1->setFixedSize(64, 64);
    Image1->setScaledContents(true);
    lbProductName = new QLabel(QStringLiteral("ProductName"), TopPanel);
    lbVersion = new QLabel(QStringLiteral("Version"), TopPanel);
    QFont nameFont = lbProductName->font();
    nameFont.setPixelSize(27);
    lbProductName->setFont(nameFont);
    QFont versionFont = lbVersion->font();
    versionFont.setPixelSize(16);
    lbVersion->setFont(versionFont);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addStretch(1);
    titles->addWidget(lbProductName);
    titles->addWidget(lbVersion);
    titles->addStretch(1);
    auto* top = new QHBoxLayout(TopPanel);
    top->setContentsMargins(20, 16, 20, 16);
    top->setSpacing(18);
    top->addWidget(Image1);
    top->addLayout(titles, 1);

    ContentPanel = new QWidget(this);
    ContentPanel->setAutoFillBackground(true);
    QPalette white = ContentPanel->palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::WindowText, Qt::black);
    ContentPanel->setPalette(white);
    ContentPanel->setFixedHeight(219);

    lbDescriptionHint = NewHint(QStringLiteral("Description:"), ContentPanel);
    lbDescription = new QLabel(ContentPanel);
    lbDescription->setWordWrap(true);
    lbDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lbVersionHint = NewHint(QStringLiteral("Version:"), ContentPanel);
    lbVersionText = new QLabel(QStringLiteral("Version"), ContentPanel);
    lbWebSite = NewHint(QStringLiteral("Web site:"), ContentPanel);
    lbURL = new TLinkLabel(QString::fromLatin1(MakerWebSite), ContentPanel);
    lbEmailHint = NewHint(QStringLiteral("Support Email:"), ContentPanel);
    lbEmail = new TLinkLabel(QString::fromLatin1(MakerSupportMail), ContentPanel);
    lbURL->setAccessibleName(QStringLiteral("Web site"));
    lbEmail->setAccessibleName(QStringLiteral("Support Email"));

    pmCopy = new QMenu(this);
    miCopy = pmCopy->addAction(QStringLiteral("Copy"));
    lbEmail->setContextMenuPolicy(Qt::CustomContextMenu);

    auto* content = new QGridLayout(ContentPanel);
    content->setContentsMargins(24, 20, 30, 20);
    content->setHorizontalSpacing(12);
    content->setVerticalSpacing(12);
    content->setColumnStretch(1, 1);
    const std::pair<QLabel*, QLabel*> pairs[] = {{lbDescriptionHint, lbDescription},
                                                 {lbVersionHint, lbVersionText},
                                                 {lbWebSite, lbURL},
                                                 {lbEmailHint, lbEmail}};
    int row = 0;
    for (const auto& [hint, value] : pairs) {
        content->addWidget(hint, row, 0);
        // The description fills the column and wraps; the links are only as
        // wide as their text, so only the text is clickable.
        if (value == lbDescription)
            content->addWidget(value, row, 1);
        else
            content->addWidget(value, row, 1, Qt::AlignLeft | Qt::AlignTop);
        ++row;
    }
    content->setRowStretch(row, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(TopPanel, 1);
    layout->addWidget(ContentPanel);

    connect(lbURL, &TLinkLabel::Clicked, this, &TfrmAboutBox::lbURLClick);
    connect(lbEmail, &TLinkLabel::Clicked, this, &TfrmAboutBox::lbEmailClick);
    connect(lbEmail, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { pmCopy->popup(lbEmail->mapToGlobal(pos)); });
    connect(miCopy, &QAction::triggered, this, &TfrmAboutBox::miCopyClick);

    FormCreate();
    setFixedSize(QSize(511, 323).expandedTo(minimumSizeHint()));
}

TfrmAboutBox::~TfrmAboutBox() = default;

void TfrmAboutBox::FormCreate()
{
    lbProductName->setText(QStringLiteral("Orvexa"));
    lbVersion->setText(QLatin1String(Version));
    lbVersionText->setText(QLatin1String(Version));
    lbDescription->setText(QStringLiteral("Orvexa is a DBA tool for SQL Server, which executes multiple SQL files on "
                                          "multiple SQL Server databases by simply clicking mouse."));
}

void TfrmAboutBox::Execute()
{
    exec();
}

void TfrmAboutBox::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        // The application's icon, set at start-up.
        Image1->setPixmap(ApplicationIcon().pixmap(64, 64));
        CenterOnScreen(this);
    }
}

void TfrmAboutBox::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    // Every other key does nothing here; the links take their own keys.
    event->accept();
}

void TfrmAboutBox::lbURLClick()
{
    OpenWebSite();
}

void TfrmAboutBox::lbEmailClick()
{
    OpenSupportMail();
}

void TfrmAboutBox::miCopyClick()
{
    QApplication::clipboard()->setText(QString::fromLatin1(MakerSupportMail));
}
