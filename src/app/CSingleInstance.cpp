#include "app/CSingleInstance.h"

#include "base/CUFile.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int AnswerMs = 2000; // a running copy busy for longer is told about by text only

// Wayland lets no program bring its own window to the front.
bool CanRaiseWindows()
{
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

CSingleInstance::CSingleInstance(const CUString& settingsPath) : m_settingsPath(settingsPath)
{
    // Named after the file; in this user's runtime folder, which no other user may write.
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!folder.startsWith(QLatin1Char('/')) || !QDir(folder).exists())
        folder = QDir::tempPath();
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray(settingsPath.c_str()), QCryptographicHash::Sha1);
    m_serverName = QStringLiteral("%1/kivora-%2-%3")
                       .arg(folder)
                       .arg(geteuid())
                       .arg(QString::fromLatin1(hash.toHex().left(16)));
}

CSingleInstance::~CSingleInstance()
{
    delete m_server; // removes its socket file
}

int CSingleInstance::Claim()
{
    const CUString lockPath(m_settingsPath.Str() + ".lock");
    CUFile::MakeFolders(lockPath.c_str());
    // Readable by all, whatever the umask: another user (or root after a sudo run) can
    // still take the lock through a descriptor opened for reading only. It holds nothing.
    m_lockFd.Reset(open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (m_lockFd.IsOpen())
        fchmod(m_lockFd.Get(), 0644);
    else
        m_lockFd.Reset(open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    bool taken = false;
    if (m_lockFd.IsOpen() && flock(m_lockFd.Get(), LOCK_EX | LOCK_NB) != 0) {
        taken = errno == EWOULDBLOCK;
        m_lockFd.Reset();
    }
    // Without a lock file of our own (a folder we may not write) the socket alone tells.
    const bool running = taken ? (AskRunningCopy(), true) : !m_lockFd.IsOpen() && AskRunningCopy();
    if (!running) {
        Listen();
        return 1;
    }
    if (m_raised)
        m_message.Format("KIVORA is already running with the settings file %s; its window "
                         "was brought to the front.",
                         m_settingsPath.c_str());
    else
        m_message.Format("KIVORA is already running and uses the settings file %s.",
                         m_settingsPath.c_str());
    return 0;
}

bool CSingleInstance::AskRunningCopy()
{
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(AnswerMs))
        return false;
    QByteArray answer;
    while (!answer.endsWith('\n') && socket.waitForReadyRead(AnswerMs))
        answer += socket.readAll();
    m_raised = answer == "raised\n";
    return true;
}

void CSingleInstance::Listen()
{
    // With the lock held, a socket file left there is a crashed copy's.
    if (m_lockFd.IsOpen())
        QLocalServer::removeServer(m_serverName);
    m_server = new QLocalServer;
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &CSingleInstance::OnLaterCopy);
    m_server->listen(m_serverName); // when it cannot, later copies are told by text only
}

void CSingleInstance::OnLaterCopy()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        const bool raise = m_window && CanRaiseWindows();
        if (m_window) {
            m_window->showNormal();
            m_window->raise();
            m_window->activateWindow();
            QApplication::alert(m_window); // where it cannot come to the front
        }
        socket->write(raise ? "raised\n" : "running\n");
        socket->flush();
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromServer();
    }
}
