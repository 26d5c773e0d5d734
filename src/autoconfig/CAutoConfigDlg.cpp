#include "autoconfig/CAutoConfigDlg.h"

#include "autoconfig/CAutoConfig.h"
#include "users/CSettings.h"
#include "window/CDialogUnits.h"
#include "window/ControlId.h"

#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>

CAutoConfigDlg::CAutoConfigDlg(CSettings* settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      Log(this), Settings(settings)
{
    setWindowTitle(QStringLiteral("Auto Config"));
    CDialogUnits units(font());

    QPlainTextEdit* log = Log.GetControl();
    SetControlId(log, IDC_AC_LOG);
    units.Place(log, 7, 7, 202, 85);
    log->setAccessibleName(QStringLiteral("Log")); // it has no label

    ConnectButton = new QPushButton(QStringLiteral("Connect"), this);
    SetControlId(ConnectButton, IDC_AC_CONNECT);
    units.Place(ConnectButton, 45, 98, 50, 14);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    SetControlId(cancel, 2);
    units.Place(cancel, 120, 98, 50, 14);
    connect(ConnectButton, &QPushButton::clicked, this, &CAutoConfigDlg::OnConnect);
    connect(cancel, &QPushButton::clicked, this, &CAutoConfigDlg::OnCancel);

    setFixedSize(units.Size(216, 119));
}

CAutoConfigDlg::~CAutoConfigDlg()
{
    // The session's thread logs to Log and calls UpdateButton on this window: stop it
    // while both are whole.
    Session.reset();
}

void CAutoConfigDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!m_initialised) {
        m_initialised = true;
        OnConnect();
    }
}

void CAutoConfigDlg::NewSession()
{
    // Reached only when the old session's thread has ended or never started; its
    // destruction waits for the thread all the same.
    Session.reset();
    Session = std::make_unique<CAutoConfig>(this);
}

void CAutoConfigDlg::OnConnect()
{
    ConnectButton->setEnabled(false);
    if (!Settings->AutoHost.IsEmpty()) {
        NewSession();
        if (Session->ConnectToHost(Settings->AutoHost.c_str()))
            return; // enabled again when the session's thread ends
        ConnectButton->setEnabled(true);
        return;
    }
    if (Hosting) {
        Session->Sync();
        ConnectButton->setEnabled(true);
        return;
    }
    NewSession();
    if (Session->StartHost()) {
        ConnectButton->setText(QStringLiteral("Sync"));
        Hosting = 1;
    } else {
        ConnectButton->setText(QStringLiteral("Host"));
    }
    ConnectButton->setEnabled(true);
}

void CAutoConfigDlg::UpdateButton()
{
    // Posting never waits for the GUI thread; a call still queued when the window is
    // destroyed is discarded with it.
    QMetaObject::invokeMethod(
        this, [this] { ConnectButton->setEnabled(!Session || Session->StopRequested()); },
        Qt::QueuedConnection);
}
