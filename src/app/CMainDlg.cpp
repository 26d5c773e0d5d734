#include "app/CMainDlg.h"

#include "app/CAboutDlg.h"
#include "app/Resource.h"
#include "app/StringTable.h"
#include "autoconfig/CAutoConfigDlg.h"
#include "base/CRouteWatch.h"
#include "base/CUSocket.h"
#include "base/MonotonicClock.h"
#include "forward/CForwardLink.h"
#include "forward/CForwardStats.h"
#include "users/CUserDlg.h"
#include "window/CDialogUnits.h"
#include "window/CSelectListCtrl.h"
#include "window/CStatusLineAccessible.h"
#include "window/ControlId.h"
#include "window/Messages.h"
#include "window/WindowText.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTime>
#include <QTimer>
#include <QToolTip>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{

// The window icon: shown in the title bar, the task bar and when minimised. The
// installed theme's icon is the same drawing as the built-in one.
QIcon MakeMainIcon()
{
    return QIcon::fromTheme(QStringLiteral("net.example.kivora"),
                            QIcon(QStringLiteral(":/net.example.kivora.svg")));
}

QString ToQ(const CUString& text)
{
    return DisplayText(text.c_str());
}

CUString FromQ(const QString& text)
{
    return CUString(text.toUtf8().toStdString());
}

} // namespace

CMainDlg::CMainDlg(QWidget* parent, const char* settingsPath)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_icon(MakeMainIcon()), m_link(std::make_unique<CForwardLink>())
{
    m_ageTimer = new QTimer(this);
    m_ageTimer->setSingleShot(true);
    connect(m_ageTimer, &QTimer::timeout, this, &CMainDlg::DrawStatusLine);
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
    if (!m_savedAtClose)
        SaveSettings();
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

    // Created in tab order. Each label is its field's buddy, which gives the field its
    // name for a screen reader.
    QLabel* nameLabel = addLabel("Your Name:", 7, 10, 38, 8);
    m_nameEdit = addEdit(IDC_AUTO_NAME, 49, 7, 119, 14);
    nameLabel->setBuddy(m_nameEdit);
    QPushButton* help = addButton(IDC_HELP_BUTTON, "&Help", 174, 7, 50, 14);
    QLabel* hostLabel = addLabel("AC Host IP:", 7, 27, 38, 8);
    m_hostEdit = addEdit(IDC_AUTO_HOST, 49, 24, 119, 14);
    hostLabel->setBuddy(m_hostEdit);
    QPushButton* autoConfig = addButton(IDC_AUTO_CONFIG, "Auto&Config", 174, 24, 50, 14);
    // The band down to the External IP row is 21 units high and 217 wide. The status
    // text runs to about 340 units with a failure's reason, so it takes two lines (8
    // units each) and the whole band; a check box for the ForwardMore switch (about
    // 170 units) has no room beside it and lives in the right-click menu.
    m_status = addLabel("Stopped.", 7, 40, 217, 17);
    SetControlId(m_status, IDC_FORWARD_STATUS);
    CStatusLineAccessible::Mark(m_status); // so that screen readers follow it
    m_status->setWordWrap(true);
    m_status->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QLabel* externalLabel = addLabel("E&xternal IP:", 7, 62, 37, 8);
    m_externalEdit = addEdit(IDC_EXTERNAL_IP, 49, 59, 119, 14);
    externalLabel->setBuddy(m_externalEdit);

    m_userList = new CSelectListCtrl(this);
    m_userList->setAccessibleName(QStringLiteral("User List")); // it has no label
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
    // The desktop owns the title bar menu; ours is the window's context menu.
    m_systemMenu = new QMenu(this);
    CUString about = LoadString(IDS_ABOUTBOX);
    if (!about.IsEmpty()) {
        QAction* item = m_systemMenu->addAction(ToQ(about));
        connect(item, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
        m_systemMenu->addSeparator();
    }
    // Which file holds the settings depends on where the program lives: say it.
    QAction* where =
        m_systemMenu->addAction(QStringLiteral("Settings file: %1").arg(ToQ(m_settings.GetPath())));
    where->setEnabled(false);

    if (m_settings.GetReadPath() != m_settings.GetPath()) {
        QAction* from = m_systemMenu->addAction(
            QStringLiteral("Read at start from: %1").arg(ToQ(m_settings.GetReadPath())));
        from->setEnabled(false);
    }

    setWindowIcon(m_icon);
    if (!m_settings.Load()) {
        // Its players are still in there: say why it was not read, and leave it alone.
        CUString text;
        text.Format("Could not read the settings file %s (%s). KIVORA goes on with an empty "
                    "list and does not save this session's settings, so that the file stays "
                    "as it is.",
                    m_settings.GetReadPath().c_str(), m_settings.LoadError().c_str());
        std::fprintf(stderr, "KIVORA: %s\n", text.c_str());
        QTimer::singleShot(0, this, [text] { Error("%s", text.c_str()); }); // over the window
    }

    m_systemMenu->addSeparator(); // the menu hides it when nothing stands above
    m_forwardMore =
        m_systemMenu->addAction(QStringLiteral("Also forward subnet broadcasts and multicast"));
    m_forwardMore->setCheckable(true);
    m_forwardMore->setChecked(m_settings.ForwardMore != 0);
    connect(m_forwardMore, &QAction::toggled, this, &CMainDlg::OnForwardMore);

    m_autoName = m_settings.AutoName;
    m_autoHost = m_settings.AutoHost;
    m_externalIP = m_settings.ExternalIP;

    m_userList->Init(IDC_USER_LIST,
                     [this](CListDisplayInfo& info) { OnUserListDisplayInfo(info); });
    m_userList->AddColumn("Name", 0, 100);
    m_userList->AddColumn("IP", 0, -1);
    // Narrow enough that IP keeps room for 255.255.255.255; a failure count that does
    // not fit is in the row's tooltip and the status line too.
    m_userList->AddColumn("Sent", 1, 45);
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
    // The tooltips are the only help text: a screen reader gets them as the
    // controls' descriptions.
    for (QWidget* control : findChildren<QWidget*>())
        if (CUString tip = LoadString(GetControlId(control) & 0xFFFF); !tip.IsEmpty())
            control->setAccessibleDescription(ToQ(tip));
    m_nameEdit->setFocus();
    CreateTrayIcon();
}

void CMainDlg::CreateTrayIcon()
{
    // Without a status area (no StatusNotifier host) nothing changes.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    m_tray = new QSystemTrayIcon(this);
    auto* menu = new QMenu(this);
    // The button's own handler: its checks and messages apply here too.
    m_trayStart = menu->addAction(QString(), this, &CMainDlg::OnStart);
    auto showWindow = [this] {
        showNormal();
        raise();
        activateWindow();
    };
    menu->addAction(QStringLiteral("Show KIVORA"), this, showWindow);
    m_tray->setContextMenu(menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [showWindow](auto reason) {
        if (reason == QSystemTrayIcon::Trigger)
            showWindow();
    });
    UpdateTrayIcon();
    m_tray->show();
}

void CMainDlg::UpdateTrayIcon()
{
    if (!m_tray)
        return;
    const bool on = IsForwarding();
    // Two states of the window's own icon: greyed while stopped.
    m_tray->setIcon(on ? m_icon : QIcon(m_icon.pixmap(QSize(64, 64), QIcon::Disabled)));
    m_tray->setToolTip(on ? QStringLiteral("KIVORA: forwarding")
                          : QStringLiteral("KIVORA: stopped"));
    m_trayStart->setText(on ? QStringLiteral("Stop") : QStringLiteral("Start"));
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

    SaveSettings();
    // Both captions keep the keyboard letter, so that Alt+S presses the button in either
    // state (without one the key would type an "s" into the focused field).
    m_startButton->setText(QStringLiteral("&Stop"));
    WatchForwardLink(true);
    UpdateTrayIcon();
    OnForwardReadable(); // shows the run at once, before any counter has changed
}

void CMainDlg::WatchForwardLink(bool on)
{
    // Off before the link closes its descriptor; deleted later, as this may run in its
    // own signal.
    if (m_forwardNotifier) {
        m_forwardNotifier->setEnabled(false);
        m_forwardNotifier->deleteLater();
        m_forwardNotifier = nullptr;
    }
    if (!on)
        return;
    m_forwardNotifier = new QSocketNotifier(m_link->GetFd(), QSocketNotifier::Read, this);
    connect(m_forwardNotifier, &QSocketNotifier::activated, this, &CMainDlg::OnForwardReadable);
}

bool CMainDlg::IsForwarding() const
{
    return m_link->IsRunning();
}

int CMainDlg::SaveSettings()
{
    if (m_settings.Save())
        return 1;
    Error("Could not save the settings to %s: %s", m_settings.GetPath().c_str(),
          m_settings.SaveError().c_str());
    return 0;
}

void CMainDlg::done(int result)
{
    // Closing saves while the window is still there, so that a failure is shown
    // before it goes (the destructor then has nothing left to save).
    if (!m_savedAtClose) {
        m_savedAtClose = true;
        StopForwarding();
        SaveSettings();
    }
    QDialog::done(result);
}

void CMainDlg::StopForwarding()
{
    if (!m_link->IsRunning())
        return;
    CForwardStats stats;
    WatchForwardLink(false);
    m_link->Stop(stats);
    if (m_startButton)
        m_startButton->setText(QStringLiteral("&Start"));
    CForwardLink::WriteSummary(stderr, stats);
    if (m_startButton) {
        ShowForwardStats(nullptr);
        UpdateTrayIcon();
    }
}

void CMainDlg::OnForwardReadable()
{
    CForwardStats stats;
    if (m_link->Poll(stats)) {
        ShowForwardStats(&stats);
        return;
    }
    // The helper ended by itself: the window must not go on showing "Stop".
    WatchForwardLink(false);
    m_startButton->setText(QStringLiteral("&Start"));
    UpdateTrayIcon();
    std::fprintf(stderr, "KIVORA: %s\n", m_link->GetEndReason().c_str());
    CForwardLink::WriteSummary(stderr, stats);
    ShowForwardStats(nullptr);
    Error("%s", m_link->GetEndReason().c_str());
}

void CMainDlg::OnForwardMore(bool on)
{
    StopForwarding();
    m_settings.ForwardMore = on ? 1 : 0;
}

namespace
{

constexpr int64_t AgeTicksMs = 60000; // after a minute the time of day, which needs no ticking

CUString StatusText(const CForwardStats& stats, int64_t nowMs)
{
    CUString text;
    text.Format("Forwarding: %llu broadcast%s captured, %llu cop%s sent",
                static_cast<unsigned long long>(stats.Captured), stats.Captured == 1 ? "" : "s",
                static_cast<unsigned long long>(stats.Sent), stats.Sent == 1 ? "y" : "ies");
    CUString part;
    if (stats.LastCaptureMs >= 0) {
        const int64_t ago = std::max<int64_t>(nowMs - stats.LastCaptureMs, 0);
        if (ago < AgeTicksMs) {
            part.Format(", last %lld s ago", static_cast<long long>(ago / 1000));
        } else {
            const QString at =
                QTime::currentTime().addMSecs(-ago).toString(QStringLiteral("HH:mm:ss"));
            part.Format(", last at %s", at.toLatin1().constData());
        }
        text = text.Str() + part.Str();
    }
    if (stats.Failed) {
        part.Format("; %llu failed: %s", static_cast<unsigned long long>(stats.Failed),
                    strerror(stats.LastError));
        text = text.Str() + part.Str();
    }
    return text;
}

bool SameCounts(const CForwardUserStats& a, const CForwardUserStats& b)
{
    return a.Sent == b.Sent && a.Failed == b.Failed && a.LastError == b.LastError;
}

} // namespace

void CMainDlg::ShowForwardStats(const CForwardStats* stats)
{
    m_forwarding = stats != nullptr;
    if (stats)
        m_stats = *stats;
    m_statsDirty = !IsShown();
    if (!m_statsDirty)
        DrawForwardStats();
}

void CMainDlg::DrawForwardStats()
{
    m_statsDirty = false;
    std::vector<int> changed;
    {
        CCSLock lock(g_usersLock);
        // One entry per checked user in list order: nothing re-checks or reorders
        // users while forwarding runs, every such change stops it first.
        std::unordered_map<const CUserSocket*, CForwardUserStats> counts;
        size_t i = 0;
        for (const CUserSocket* user : m_settings.Users)
            if (m_forwarding && user->Forward && i < m_stats.Users.size())
                counts[user] = m_stats.Users[i++];
        int row = 0;
        for (const CUserSocket* user : m_settings.Users) {
            auto before = m_userStats.find(user), after = counts.find(user);
            if ((before == m_userStats.end()) != (after == counts.end()) ||
                (after != counts.end() && !SameCounts(before->second, after->second)))
                changed.push_back(row);
            ++row;
        }
        m_userStats = std::move(counts);
    }
    for (int row : changed)
        m_userList->RedrawCells(row, 2, 2);
    DrawStatusLine();
}

void CMainDlg::DrawStatusLine()
{
    m_ageTimer->stop();
    const int64_t now = MonotonicMs();
    QString status = m_forwarding ? ToQ(StatusText(m_stats, now)) : QStringLiteral("Stopped.");
    // The text wraps; "last 3 s ago" stays on one line.
    static const QRegularExpression age(QStringLiteral("last (\\d+) s ago"));
    status.replace(age, QStringLiteral("last\u00a0\\1\u00a0s\u00a0ago"));
    if (m_status->text() != status)
        m_status->setText(status);
    // The age ticks once a second, only while it is shown and in its first minute.
    const int64_t ago = now - m_stats.LastCaptureMs;
    if (m_forwarding && m_stats.LastCaptureMs >= 0 && ago >= 0 && ago < AgeTicksMs && IsShown())
        m_ageTimer->start(static_cast<int>(1000 - ago % 1000));
}

void CMainDlg::OnShownChanged()
{
    if (!IsShown())
        m_ageTimer->stop();
    else if (m_statsDirty)
        DrawForwardStats();
    else
        DrawStatusLine(); // the age moved on meanwhile, and ticks again
}

void CMainDlg::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        OnShownChanged();
}

void CMainDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    OnShownChanged();
}

void CMainDlg::hideEvent(QHideEvent* event)
{
    QDialog::hideEvent(event);
    OnShownChanged();
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
    // Over a row the row speaks for its user.
    if (control == m_userList->viewport()) {
        QString row = m_userList->indexAt(help->pos()).data(Qt::ToolTipRole).toString();
        if (!row.isEmpty())
            text = FromQ(row);
    }
    if (text.IsEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), ToQ(text), qobject_cast<QWidget*>(control));
    return true;
}

CUString CMainDlg::UserToolTip(const CUserSocket& user) const
{
    CUString text;
    text.Format("%s, %s", user.Name.c_str(), user.IP.c_str());
    // Across a VPN this is the tunnel's address, not the LAN's the game sends from. A
    // user at one of this machine's own addresses has no way out to name.
    CRoute route;
    char source[INET_ADDRSTRLEN];
    if (CRouteWatch::LookUpOnce(user.Address.sin_addr.s_addr, route) && !route.Local &&
        inet_ntop(AF_INET, &route.Source, source, sizeof source))
        text = text.Str() + "\nCopies leave from " + source;
    auto stats = m_userStats.find(&user);
    if (stats != m_userStats.end() && stats->second.Failed) {
        const CForwardUserStats& counts = stats->second;
        CUString error;
        error.Format("\n%llu sent, %llu failed: %s", static_cast<unsigned long long>(counts.Sent),
                     static_cast<unsigned long long>(counts.Failed), strerror(counts.LastError));
        text = text.Str() + error.Str();
    }
    return text;
}

void CMainDlg::OnUserListDisplayInfo(CListDisplayInfo& info)
{
    if (!(info.Mask & (CListDisplayInfo::WantText | CListDisplayInfo::WantImage |
                       CListDisplayInfo::WantToolTip)))
        return;
    // An AutoConfig client's thread may be changing a record meanwhile.
    CCSLock lock(g_usersLock);
    auto* user = static_cast<CUserSocket*>(m_userList->GetObject(info.Row));
    if (!user)
        return;
    if (info.Mask & CListDisplayInfo::WantToolTip) {
        CDibListCtrl::SetDisplayText(info, UserToolTip(*user).c_str());
    } else if (info.Mask & CListDisplayInfo::WantText) {
        CUString sent; // blank while stopped and for a user nothing went to
        auto stats = m_userStats.find(user);
        if (info.Column == 2 && stats != m_userStats.end()) {
            const CForwardUserStats& counts = stats->second;
            if (counts.Failed)
                sent.Format("%llu (%llu failed)", static_cast<unsigned long long>(counts.Sent),
                            static_cast<unsigned long long>(counts.Failed));
            else if (counts.Sent)
                sent.Format("%llu", static_cast<unsigned long long>(counts.Sent));
        }
        CDibListCtrl::SetDisplayText(info, info.Column == 0   ? user->Name.c_str()
                                           : info.Column == 1 ? user->IP.c_str()
                                                              : sent.c_str());
    }
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
