#include "app/CMainDlg.h"

#include "app/CAboutDlg.h"
#include "app/Resource.h"
#include "app/StringTable.h"
#include "autoconfig/CAutoConfigDlg.h"
#include "base/CUSocket.h"
#include "forward/CForwardLink.h"
#include "forward/CForwardStats.h"
#include "users/CUserDlg.h"
#include "window/CDialogUnits.h"
#include "window/CSelectListCtrl.h"
#include "window/ControlId.h"
#include "window/Messages.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>

#include <cstdio>

namespace
{

// The window icon: shown in the title bar, the task bar and when minimised.
QIcon MakeMainIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(0x1f, 0x5f, 0xbf));
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(QRectF(0, 0, size, size), size / 5.0, size / 5.0);
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(size * 3 / 4);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QStringLiteral("K"));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QString ToQ(const CUString& text)
{
    return QString::fromLocal8Bit(text.c_str());
}

CUString FromQ(const QString& text)
{
    return CUString(text.toLocal8Bit().toStdString());
}

} // namespace

CMainDlg::CMainDlg(QWidget* parent, const char* settingsPath)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_icon(MakeMainIcon()), m_link(std::make_unique<CForwardLink>())
{
    // Four times a second at most: often enough to look live, rare enough to cost nothing.
    m_forwardTimer = new QTimer(this);
    m_forwardTimer->setInterval(250);
    connect(m_forwardTimer, &QTimer::timeout, this, &CMainDlg::OnForwardTimer);
    if (settingsPath)
        m_settings.SetPath(settingsPath);
    CreateControls();
    OnInitDialog();
}

CMainDlg::~CMainDlg()
{
    // The button's window is going: the stop must not touch it.
    m_startButton = nullptr;
    StopForwarding();
    m_settings.Save();
    ExitWinsock();
    // The view goes before the settings, so that it never shows a destroyed record.
    delete m_userList;
    m_userList = nullptr;
}

void CMainDlg::CreateControls()
{
    setWindowTitle(QStringLiteral("KIVORA"));
    CDialogUnits units(font());

    auto addLabel = [&](const char* text, int x, int y, int w, int h) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        units.Place(label, x, y, w, h);
        label->installEventFilter(this);
        return label;
    };
    auto addEdit = [&](int id, int x, int y, int w, int h) {
        auto* edit = new QLineEdit(this);
        SetControlId(edit, id);
        units.Place(edit, x, y, w, h);
        edit->installEventFilter(this);
        return edit;
    };
    auto addButton = [&](int id, const char* text, int x, int y, int w, int h) {
        auto* button = new QPushButton(QString::fromLatin1(text), this);
        SetControlId(button, id);
        units.Place(button, x, y, w, h);
        button->installEventFilter(this);
        return button;
    };

    // Created in tab order.
    addLabel("Your Name:", 7, 10, 38, 8);
    m_nameEdit = addEdit(IDC_AUTO_NAME, 49, 7, 119, 14);
    QPushButton* help = addButton(IDC_HELP_BUTTON, "&Help", 174, 7, 50, 14);
    addLabel("AC Host IP:", 7, 27, 38, 8);
    m_hostEdit = addEdit(IDC_AUTO_HOST, 49, 24, 119, 14);
    QPushButton* autoConfig = addButton(IDC_AUTO_CONFIG, "Auto&Config", 174, 24, 50, 14);
    QLabel* externalLabel = addLabel("E&xternal IP:", 7, 62, 37, 8);
    m_externalEdit = addEdit(IDC_EXTERNAL_IP, 49, 59, 119, 14);
    externalLabel->setBuddy(m_externalEdit);

    m_userList = new CSelectListCtrl(this);
    units.Place(m_userList, 7, 79, 161, 126);
    m_userList->installEventFilter(this);
    m_userList->viewport()->installEventFilter(this);
    m_userList->horizontalHeader()->installEventFilter(this);

    QPushButton* add = addButton(IDC_ADD_USER, "&Add", 174, 79, 50, 14);
    QPushButton* edit = addButton(IDC_EDIT_USER, "&Edit", 174, 98, 50, 14);
    QPushButton* remove = addButton(IDC_DELETE_USERS, "&Delete", 174, 118, 50, 14);
    m_startButton = addButton(IDC_START, "&Start", 174, 191, 50, 14);
    m_startButton->setDefault(true);

    setFixedSize(units.Size(229, 212));
    units.FitLabels(this);
    move(units.X(100), units.Y(100));

    connect(help, &QPushButton::clicked, this, &CMainDlg::OnHelpButton);
    connect(autoConfig, &QPushButton::clicked, this, &CMainDlg::OnAutoConfig);
    connect(add, &QPushButton::clicked, this, &CMainDlg::OnAddUser);
    connect(edit, &QPushButton::clicked, this, &CMainDlg::OnEditUser);
    connect(remove, &QPushButton::clicked, this, &CMainDlg::OnDeleteUsers);
    connect(m_startButton, &QPushButton::clicked, this, &CMainDlg::OnStart);
    // textEdited, not textChanged: only what the user types runs the handlers.
    connect(m_externalEdit, &QLineEdit::textEdited, this, &CMainDlg::OnChangeExternalIP);
    connect(m_hostEdit, &QLineEdit::textEdited, this, &CMainDlg::OnChangeAutoHost);
    connect(m_nameEdit, &QLineEdit::textEdited, this, &CMainDlg::OnChangeAutoName);
    connect(m_userList, &CDibListCtrl::ListClicked, this, &CMainDlg::OnUserListClick);
}

void CMainDlg::OnInitDialog()
{
    // Tooltips come from the event filter on every control (OnToolTipText).
    CUString about = LoadString(IDS_ABOUTBOX);
    if (!about.IsEmpty()) {
        // The desktop owns the title bar menu; ours is the window's context menu.
        m_systemMenu = new QMenu(this);
        QAction* item = m_systemMenu->addAction(ToQ(about));
        connect(item, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    }

    InitWinsock();
    setWindowIcon(m_icon);
    m_settings.Load();

    m_autoName = m_settings.AutoName;
    m_autoHost = m_settings.AutoHost;
    m_externalIP = m_settings.ExternalIP;

    m_userList->Init(IDC_USER_LIST,
                     [this](CListDisplayInfo& info) { OnUserListDisplayInfo(info); });
    m_userList->AddColumn("Name", 0, 100);
    m_userList->AddColumn("IP", 0, -1);
    m_userList->ResetList(m_settings.Users);

    if (m_externalIP.IsEmpty()) {
        sockaddr_in address{};
        CUSocket::GetSockAddr(address, nullptr, 0);
        CUString text;
        int port = 0;
        CUSocket::GetPeerName(address, text, port);
        m_externalIP = text;
        m_settings.SetExternalIP(m_externalIP.c_str());
    }

    TransferToControls();
    m_nameEdit->setFocus();
}

void CMainDlg::ReadFromControls()
{
    m_externalIP = FromQ(m_externalEdit->text());
    m_autoHost = FromQ(m_hostEdit->text());
    m_autoName = FromQ(m_nameEdit->text());
}

void CMainDlg::TransferToControls()
{
    m_externalEdit->setText(ToQ(m_externalIP));
    m_hostEdit->setText(ToQ(m_autoHost));
    m_nameEdit->setText(ToQ(m_autoName));
}

void CMainDlg::OnChangeExternalIP()
{
    // The forwarder took the external IP when it started; it must not go on with
    // the old one.
    StopForwarding();
    ReadFromControls();
    m_settings.SetExternalIP(m_externalIP.c_str());
}

void CMainDlg::OnChangeAutoHost()
{
    ReadFromControls();
    m_settings.SetAutoHost(m_autoHost.c_str());
}

void CMainDlg::OnChangeAutoName()
{
    ReadFromControls();
    m_settings.SetAutoName(m_autoName.c_str());
}

void CMainDlg::OnStart()
{
    if (IsForwarding()) {
        StopForwarding();
        return;
    }
    if (!CUString::ValidateIPAddress(m_externalIP.c_str())) {
        Error("Enter a valid external IP address first");
        return;
    }
    if (m_settings.Users.IsEmpty()) {
        Error("Add some users to forward to first");
        return;
    }

    // The helper opens the capture and the send socket before anything else changes:
    // when it may not, the person sees why, and no check box or file changes.
    const ForwardProtocol::CForwardStart what = CForwardLink::WhatToForward(m_settings);
    CUString error;
    if (!m_link->Start(what, error)) {
        std::fprintf(stderr, "KIVORA: could not start forwarding: %s\n",
                     error.Str().substr(0, error.Str().find('\n')).c_str());
        Error("%s", error.c_str());
        return;
    }
    std::fprintf(stderr, "KIVORA: capturing broadcasts, forwarding to %zu users\n",
                 what.Users.size());

    m_settings.Save();
    m_startButton->setText(QStringLiteral("Stop"));
    m_forwardTimer->start();
}

bool CMainDlg::IsForwarding() const
{
    return m_link->IsRunning();
}

void CMainDlg::StopForwarding()
{
    if (!m_link->IsRunning())
        return;
    CForwardStats stats;
    m_link->Stop(stats);
    m_forwardTimer->stop();
    if (m_startButton)
        m_startButton->setText(QStringLiteral("Start"));
    CForwardLink::WriteSummary(stderr, stats);
    if (m_startButton)
        ShowForwardStats(nullptr);
}

void CMainDlg::OnForwardTimer()
{
    CForwardStats stats;
    if (m_link->Poll(stats)) {
        ShowForwardStats(&stats);
        return;
    }
    // The helper ended by itself: the window must not go on showing "Stop".
    m_forwardTimer->stop();
    m_startButton->setText(QStringLiteral("Start"));
    std::fprintf(stderr, "KIVORA: %s\n", m_link->GetEndReason().c_str());
    CForwardLink::WriteSummary(stderr, stats);
    ShowForwardStats(nullptr);
    Error("%s", m_link->GetEndReason().c_str());
}

void CMainDlg::OnAutoConfig()
{
    if (m_settings.AutoName.IsEmpty()) {
        Error("Enter your name first");
        m_nameEdit->setFocus();
        return;
    }
    StopForwarding();
    {
        // Its session may change the users until it is destroyed.
        CAutoConfigDlg dialog(&m_settings, nullptr);
        RunModal(dialog);
    }
    m_userList->ResetList(m_settings.Users);
    m_externalIP = m_settings.ExternalIP;
    TransferToControls();
}

void CMainDlg::OnHelpButton()
{
    CAboutDlg about(nullptr);
    RunModal(about);
}

void CMainDlg::OnSysCommand(int id)
{
    if ((id & 0xFFF0) == IDM_ABOUTBOX)
        OnHelpButton();
}

void CMainDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1 && event->modifiers() == Qt::NoModifier) {
        OnHelpButton();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CMainDlg::contextMenuEvent(QContextMenuEvent* event)
{
    if (m_systemMenu) {
        m_systemMenu->popup(event->globalPos());
        event->accept();
        return;
    }
    QDialog::contextMenuEvent(event);
}

bool CMainDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ToolTip)
        return OnToolTipText(watched, event);
    return QDialog::eventFilter(watched, event);
}

bool CMainDlg::OnToolTipText(QObject* control, QEvent* event)
{
    // A list view's viewport and header ask on behalf of the view.
    int id = GetControlId(control);
    if (!id && control->parent())
        id = GetControlId(control->parent());
    CUString text = LoadString(id & 0xFFFF);
    auto* help = static_cast<QHelpEvent*>(event);
    if (text.IsEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), ToQ(text), qobject_cast<QWidget*>(control));
    return true;
}

void CMainDlg::OnUserListDisplayInfo(CListDisplayInfo& info)
{
    if (!(info.Mask & (CListDisplayInfo::WantText | CListDisplayInfo::WantImage)))
        return;
    // An AutoConfig client's thread may be changing a record meanwhile.
    CCSLock lock(g_usersLock);
    auto* user = static_cast<CUserSocket*>(m_userList->GetObject(info.Row));
    if (!user)
        return;
    if (info.Mask & CListDisplayInfo::WantText)
        CDibListCtrl::SetDisplayText(info,
                                     info.Column == 0 ? user->Name.c_str() : user->IP.c_str());
    info.Image = user->Forward ? 1 : 0;
}

void CMainDlg::OnUserListClick(const QPoint& point)
{
    if (m_userList->HitCheck(point) < 0)
        return;
    StopForwarding();
    int i = 0;
    for (CUserSocket* user : m_settings.Users)
        user->Forward = m_userList->GetCheck(i++);
}

void CMainDlg::OnAddUser()
{
    CUString name;
    CUString ip;
    CUserDlg editor(&name, &ip, nullptr);
    if (RunModal(editor) != 1)
        return;
    StopForwarding();
    CUserSocket* user = m_settings.AddOrUpdateUser(name.c_str(), ip.c_str());
    if (user)
        m_userList->AddItem(user);
    // The name may have been this player's own, which sets the external IP.
    m_externalIP = m_settings.ExternalIP;
    TransferToControls();
}

void CMainDlg::OnEditUser()
{
    CUObList<CUserSocket> selected;
    m_userList->GetSelectedItems(selected);
    if (selected.GetCount() != 1) {
        Error("You must select a single user to edit.");
        return;
    }
    StopForwarding();
    CUserSocket* user = selected.GetHead();
    CUserDlg editor(&user->Name, &user->IP, nullptr);
    RunModal(editor);
    user->ResolveAddress();
    m_userList->viewport()->update();
}

void CMainDlg::OnDeleteUsers()
{
    CUObList<CUserSocket> selected;
    m_userList->GetSelectedItems(selected);
    if (selected.IsEmpty())
        return;
    if (!AskYesNo("Confirm", "Delete user(s)?"))
        return;
    StopForwarding();
    // Rows first, so that the view never refers to a destroyed record.
    m_userList->DeleteItems(selected);
    m_settings.DeleteUsers(&selected);
}

void CMainDlg::ShowForwardStats(const CForwardStats* /*stats*/) {}
