#pragma once

#include "base/CScopedFd.h"
#include "base/CUString.h"

#include <QObject>
#include <QPointer>

class QLocalServer;
class QWidget;

// One KIVORA per settings file: two copies would send every broadcast twice, and the one
// that closes last would write its older list over the other's edits. The first copy
// holds a lock on "<settings file>.lock" and listens on a local socket named after the
// file; a later copy finds the lock taken, asks the first to bring its window to the
// front and ends. The lock is flock's: the kernel drops it when its holder ends, however
// it ends, so a crash leaves nothing behind that could block the next start.
class CSingleInstance : public QObject
{
    Q_OBJECT
public:
    explicit CSingleInstance(const CUString& settingsPath);
    ~CSingleInstance() override;
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    // Non-zero when no other copy runs on the file: this one goes on. 0 when one does: it
    // has been asked to come to the front, and Message() says what the person should
    // know; Raised() tells whether the other window could be brought to the front.
    int Claim();
    const CUString& Message() const { return m_message; }
    bool Raised() const { return m_raised; }
    // The window that a later copy brings to the front.
    void SetWindow(QWidget* window) { m_window = window; }

private:
    void OnLaterCopy();
    // Asks the running copy to come to the front; false when none answers.
    bool AskRunningCopy();
    void Listen();

    CUString m_settingsPath;
    QString m_serverName;
    CScopedFd m_lockFd;
    QLocalServer* m_server = nullptr;
    QPointer<QWidget> m_window;
    CUString m_message;
    bool m_raised = false;
};
