#pragma once

#include "autoconfig/CAutoConfigOwner.h"
#include "window/CLogEdit.h"

#include <QDialog>

#include <memory>

class CAutoConfig;
class CSettings;
class QPushButton;
class QShowEvent;

// The AutoConfig window. Opening it starts the role at once: a client when AutoHost
// is set, else the host. Its one button then reads "Connect", "Sync" or "Host", and
// its log shows every step. It owns the current session; destroying the window stops
// the session's thread.
class CAutoConfigDlg : public QDialog, public CAutoConfigOwner
{
    Q_OBJECT
public:
    enum { IDD_AUTOCONFIG = 104, IDC_AC_LOG = 1023, IDC_AC_CONNECT = 1026 };

    CAutoConfigDlg(CSettings* settings, QWidget* parent);
    ~CAutoConfigDlg() override;

    // The button: (re)connects as a client, syncs as a running host, or (re)starts
    // hosting.
    void OnConnect();
    void OnCancel() { reject(); }

    // CAutoConfigOwner
    CLogSink& GetLog() override { return Log; }
    CSettings* GetSettings() override { return Settings; }
    // Enables the button when there is no session or its thread has ended. Called on
    // the poll thread: the button itself is set later on the GUI thread, and not at
    // all once the window is gone.
    void UpdateButton() override;

protected:
    // The first show is the window's initialisation: it starts the role.
    void showEvent(QShowEvent* event) override;

private:
    void NewSession();

    QPushButton* ConnectButton;
    CLogEdit Log;
    CSettings* Settings;
    std::unique_ptr<CAutoConfig> Session; // declared after Log: it goes first
    int Hosting = 0;
    bool m_initialised = false;
};
