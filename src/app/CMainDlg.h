#pragma once

#include "base/CUString.h"
#include "forward/CForwardStats.h"
#include "users/CSettings.h"

#include <QDialog>
#include <QIcon>

#include <memory>
#include <unordered_map>

class CForwardLink;
struct CForwardStats;
class QTimer;
class CSelectListCtrl;
struct CListDisplayInfo;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSocketNotifier;
class QSystemTrayIcon;

// The main window: this player's name, the AutoConfig host's IP, the external IP,
// the User List and the commands. It owns the settings with every user, and the
// forwarder while one runs.
class CMainDlg : public QDialog
{
    Q_OBJECT
public:
    // `settingsPath` names the settings file; null for CSettings::DefaultPath().
    explicit CMainDlg(QWidget* parent = nullptr, const char* settingsPath = nullptr);
    ~CMainDlg() override;

    // Start/Stop: starts forwarding to the checked users, or stops it when it runs.
    void OnStart();
    // Ends the running forwarder, if any; the button then reads "Start".
    void StopForwarding();
    bool IsForwarding() const;
    // Shows what the running forwarding has done: the status line and the "Sent"
    // column, redrawing only what changed. Null once forwarding has stopped: "Stopped."
    // and blank cells. While the window is minimised or hidden nothing is drawn; it
    // catches up when shown again.
    void ShowForwardStats(const CForwardStats* stats);
    // Reads what the helper sent; shows forwarding stopped when the helper is gone.
    void OnForwardReadable();
    CForwardLink& ForwardLink() { return *m_link; }
    // The switch "Also forward subnet broadcasts and multicast": it changes what is
    // forwarded, so it stops forwarding first.
    void OnForwardMore(bool on);
    // Saves the settings file; a failure is shown with its reason. Gives non-zero
    // when saved.
    int SaveSettings();

    void OnChangeExternalIP();
    void OnChangeAutoHost();
    void OnChangeAutoName();
    void OnAutoConfig();
    void OnHelpButton();
    void OnSysCommand(int id);

    void OnUserListDisplayInfo(CListDisplayInfo& info);
    void OnUserListClick(const QPoint& point);
    void OnAddUser();
    void OnEditUser();
    void OnDeleteUsers();

    CSettings& Settings() { return m_settings; }
    CSelectListCtrl* UserList() const { return m_userList; }
    QMenu* SystemMenu() const { return m_systemMenu; }

protected:
    // Escape, the close box and a termination signal all end here: forwarding stops
    // and the settings are saved before the window goes.
    void done(int result) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void CreateControls();
    void OnInitDialog();
    bool OnToolTipText(QObject* control, QEvent* event);
    // Reads the three texts from the edits / puts them into the edits. Putting them
    // in raises no change handler: those answer only what the user types.
    void ReadFromControls();
    void TransferToControls();
    // A row's tooltip: the full name, the IP and the last failed send to the user.
    CUString UserToolTip(const CUserSocket& user) const;
    // Waits for the helper's records in the event loop while a run lasts.
    void WatchForwardLink(bool on);
    bool IsShown() const { return isVisible() && !isMinimized(); }
    // Draws m_stats: the cells whose counts changed and the status line.
    void DrawForwardStats();
    void DrawStatusLine();
    // Minimised, hidden or shown again: stops the age's tick, or catches up.
    void OnShownChanged();
    // The status-area icon, where the desktop has a status area: forwarding or not.
    void CreateTrayIcon();
    void UpdateTrayIcon();

    // Declared in the order of their construction; destroyed in reverse.
    QPushButton* m_startButton = nullptr;
    CUString m_externalIP;
    CUString m_autoHost;
    CUString m_autoName;
    QIcon m_icon;
    CSettings m_settings;
    std::unique_ptr<CForwardLink> m_link;         // the forwarding helper, while a run lasts
    QSocketNotifier* m_forwardNotifier = nullptr; // while a run lasts
    // Ticks the age of the last broadcast once a second, while shown, for its first minute.
    QTimer* m_ageTimer = nullptr;
    CSelectListCtrl* m_userList = nullptr;

    QLineEdit* m_nameEdit = nullptr;
    QLineEdit* m_hostEdit = nullptr;
    QLineEdit* m_externalEdit = nullptr;
    QMenu* m_systemMenu = nullptr;
    QLabel* m_status = nullptr;
    QAction* m_forwardMore = nullptr;
    // Each checked user's counters of the running forwarding, read by the display
    // callback beside the records and so under g_usersLock too.
    std::unordered_map<const CUserSocket*, CForwardUserStats> m_userStats;
    CForwardStats m_stats;     // the latest counters while forwarding runs
    bool m_forwarding = false; // m_stats is a run's, not "Stopped."
    bool m_statsDirty = false; // came while the window was not shown
    QSystemTrayIcon* m_tray = nullptr;
    QAction* m_trayStart = nullptr;
    bool m_savedAtClose = false;
};
