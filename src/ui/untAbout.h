// The about box: the product's name, version and description, and the
// maker's web site and support mail address as links that the platform
// opens. The address has a Copy popup that puts exactly the address on the
// clipboard. Esc closes the box.
//
// Use (created once, reused for every showing):
//   frmAboutBox->Execute();   // modal
//
// GUI thread only.
#pragma once

#include <QDialog>
#include <QLabel>

class QAction;
class QMenu;
class QWidget;

// A label that acts as a link: blue, underlined, hand cursor; a click, Enter
// or Space runs Clicked. It takes the keyboard focus, so the links can be
// reached with Tab.
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);

signals:
    void Clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

class TfrmAboutBox : public QDialog {
    Q_OBJECT
public:
    // The version the box shows.
    static const char* const Version;

    explicit TfrmAboutBox(QWidget* parent = nullptr);
    ~TfrmAboutBox() override;

    // Shows the box modally.
    void Execute();

    QWidget* TopPanel;
    QLabel* Image1;
    QLabel* lbProductName;
    QLabel* lbVersion;
    QWidget* ContentPanel;
    QLabel* lbDescriptionHint;
    QLabel* lbDescription;
    QLabel* lbVersionHint;
    QLabel* lbVersionText;
    QLabel* lbWebSite;
    TLinkLabel* lbURL;
    QLabel* lbEmailHint;
    TLinkLabel* lbEmail;
    QMenu* pmCopy;
    QAction* miCopy;

    void lbURLClick();
    void lbEmailClick();
    void miCopyClick();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;  // FormKeyDown

private:
    void FormCreate();
};
