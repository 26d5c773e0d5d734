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
    // column. Null once forwarding has stopped: "Stopped." and blank cells.
    void ShowForwardStats(const CForwardStats* stats);
    // Reads the helper's counters; shows forwarding stopped when the helper is gone.
    void OnForwardTimer();
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

    // Declared in the order of their construction; destroyed in reverse.
    QPushButton* m_startButton = nullptr;
    CUString m_externalIP;
    CUString m_autoHost;
    CUString m_autoName;
    QIcon m_icon;
    CSettings m_settings;
    std::unique_ptr<CForwardLink> m_link; // the forwarding helper, while a run lasts
    QTimer* m_forwardTimer = nullptr;
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
    bool m_savedAtClose = false;
};
