#include "app/CAboutDlg.h"

#include "app/Resource.h"
#include "base/CUString.h"
#include "window/CDialogUnits.h"
#include "window/ControlId.h"
#include "window/ShellOpen.h"
#include "window/WindowText.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include <charconv>

const char* const CAboutDlg::WebAddress = "https://kivora.example.net/";
const char* const CAboutDlg::EmailAddress = "support@kivora.example.net";

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("About KIVORA"));
    CDialogUnits units(font());

    auto addLabel = [&](int id, const char* text, int x, int y, int w, int h) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        if (id)
            SetControlId(label, id);
        units.Place(label, x, y, w, h);
        return label;
    };

    addLabel(0, "KIVORA Version", 17, 13, 54, 8);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    SetControlId(ok, 1);
    units.Place(ok, 154, 7, 50, 14);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    addLabel(0, "Questions or Comments:", 17, 33, 77, 8);
    m_webLink = addLabel(IDC_WEB_LINK, "url", 17, 65, 186, 8);
    addLabel(IDC_VERSION, "ver", 73, 13, 16, 8);
    addLabel(0, "Find the latest release and info on KIVORA at:", 17, 54, 148, 8);
    m_emailLink = addLabel(IDC_EMAIL_LINK, "email", 98, 33, 100, 8);

    setFixedSize(units.Size(211, 94));
    OnInitDialog();
}

CUString CAboutDlg::VersionText()
{
    char text[16];
    auto end = std::to_chars(text, text + sizeof text, Version, std::chars_format::fixed, 2).ptr;
    return CUString(std::string(text, end));
}

void CAboutDlg::OnInitDialog()
{
    SetWindowFormattedText(FindControl(this, IDC_VERSION), "%s", VersionText().c_str());
    SetWindowFormattedText(m_webLink, "%s", WebAddress);
    SetWindowFormattedText(m_emailLink, "%s", EmailAddress);

    QFont linkFont = m_webLink->font();
    linkFont.setUnderline(true);
    linkFont.setBold(true);
    // The palette's link colour: fixed blue is unreadable on a dark palette.
    QPalette linkColours = m_webLink->palette();
    linkColours.setColor(QPalette::WindowText, linkColours.color(QPalette::Link));
    for (QLabel* link : {m_webLink, m_emailLink}) {
        link->setFont(linkFont);
        link->setPalette(linkColours);
        // The label spans its whole rectangle, also beyond the end of its text.
        link->setCursor(Qt::PointingHandCursor);
        // Tab reaches the links and Enter opens them (eventFilter).
        link->setFocusPolicy(Qt::TabFocus);
        link->installEventFilter(this);
    }
    CDialogUnits(font()).FitLabels(this);
}

QLabel* CAboutDlg::LinkAt(const QPoint& point) const
{
    if (m_webLink->geometry().contains(point))
        return m_webLink;
    if (m_emailLink->geometry().contains(point))
        return m_emailLink;
    return nullptr;
}

void CAboutDlg::mousePressEvent(QMouseEvent* event)
{
    QDialog::mousePressEvent(event);
    if (event->button() == Qt::LeftButton)
        OpenLink(LinkAt(event->position().toPoint()));
}

bool CAboutDlg::eventFilter(QObject* watched, QEvent* event)
{
    auto* link = qobject_cast<QLabel*>(watched);
    if (link != m_webLink && link != m_emailLink)
        return QDialog::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
            OpenLink(link);
            return true; // not the default button's Enter
        }
    } else if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
        // A label draws no focus of its own: the link Enter opens is shown as selected
        // text (a frame would take room from the text).
        const bool focused = link->hasFocus();
        link->setAutoFillBackground(focused);
        link->setBackgroundRole(focused ? QPalette::Highlight : QPalette::Window);
        link->setForegroundRole(focused ? QPalette::HighlightedText : QPalette::WindowText);
    }
    return QDialog::eventFilter(watched, event);
}

void CAboutDlg::OpenLink(QLabel* link)
{
    if (link == m_webLink) {
        ShellOpen(WebAddress);
    } else if (link == m_emailLink) {
        CUString mail;
        mail.Format("mailto:%s", EmailAddress);
        ShellOpen(mail.c_str());
    }
}

void CAboutDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Centred over the main window, or over the screen while it is minimised.
    QWidget* owner = QApplication::activeWindow();
    if (owner == this || (owner && owner->isMinimized()))
        owner = nullptr;
    QRect area =
        owner ? owner->frameGeometry() : (screen() ? screen()->availableGeometry() : QRect());
    if (area.isValid())
        move(area.center() - rect().center());
}
