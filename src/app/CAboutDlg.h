#pragma once

#include "base/CUString.h"

#include <QDialog>

class QLabel;

// The About box: the version and two links, the web page of the releases and the
// contact e-mail address. A click anywhere on a link's label, or Enter on a link that
// has the focus, opens it with the desktop's handler; the box stays open.
class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    static constexpr double Version = 1.04;
    // "1.04" in every locale: printf's "%2.2f" follows LC_NUMERIC, which the application
    // takes from the environment ("1,04" under de_DE).
    static CUString VersionText();
    static const char* const WebAddress;
    static const char* const EmailAddress;

    // The link label that holds `point` (the box's coordinates), or null; the web
    // link is tested first.
    QLabel* LinkAt(const QPoint& point) const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnInitDialog();
    // Opens the web link or the e-mail link with the desktop's handler; null: nothing.
    void OpenLink(QLabel* link);

    QLabel* m_emailLink = nullptr;
    QLabel* m_webLink = nullptr;
};
