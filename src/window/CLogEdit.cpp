#include "window/CLogEdit.h"

#include "window/WindowText.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QString>
#include <QTextBlock>
#include <QTextCursor>

#include <ctime>
#include <deque>
#include <mutex>

struct CLogEdit::State {
    QPointer<QPlainTextEdit> control; // read and written on the GUI thread only
    long shownDropped = 0;            // GUI thread: lines taken off the control's top

    std::mutex mutex; // guards what follows
    bool open = true; // false once the control or this CLogEdit is gone
    std::deque<QString> pending;
    long queueDropped = 0; // lines dropped from the queue since the last flush
    bool flushQueued = false;
};

namespace
{

// The time of a line as the log shows it ("12:03:04 ").
QString TimeStamp()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S ", &local);
    return QString::fromLatin1(text);
}

// Appends `lines` to the control and keeps it to its last MaxLines lines below one
// line that counts the lines taken off the top.
void Show(QPlainTextEdit* control, const QStringList& lines, long& dropped)
{
    control->appendPlainText(lines.join(QLatin1Char('\n')));
    const int header = dropped > 0 ? 1 : 0;
    const int excess = control->blockCount() - header - CLogEdit::MaxLines;
    if (excess > 0) {
        QTextCursor cursor(control->document());
        cursor.movePosition(QTextCursor::Start);
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::MoveAnchor, header);
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, excess);
        cursor.removeSelectedText();
        dropped += excess;
        QTextCursor top(control->document());
        if (header)
            top.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        top.insertText(QStringLiteral("(%1 older lines dropped)%2")
                           .arg(dropped)
                           .arg(header ? QString() : QStringLiteral("\n")));
    }
    // The newest line is the one to see.
    QScrollBar* bar = control->verticalScrollBar();
    bar->setValue(bar->maximum());
}

} // namespace

CLogEdit::CLogEdit(QWidget* parent) : m_state(std::make_shared<State>())
{
    auto* control = new QPlainTextEdit(parent);
    control->setReadOnly(true);
    control->setFocusPolicy(Qt::ClickFocus); // no tab stop
    control->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    control->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_state->control = control;
    std::weak_ptr<State> weak = m_state;
    QObject::connect(control, &QObject::destroyed, [weak] {
        if (auto state = weak.lock()) {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->open = false;
            state->pending.clear();
        }
    });
}

CLogEdit::~CLogEdit()
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->open = false;
    m_state->pending.clear();
}

QPlainTextEdit* CLogEdit::GetControl() const
{
    return m_state->control;
}

void CLogEdit::AddLine(const CUString& line)
{
    QCoreApplication* app = QCoreApplication::instance();
    QString text = TimeStamp() + DisplayText(line.c_str(), line.GetLength());
    bool post = false;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (!m_state->open || !app)
            return;
        // A GUI thread that falls behind must not let the queue grow without end; the
        // control would keep no more than these anyway.
        if (m_state->pending.size() >= static_cast<size_t>(MaxLines - 1)) {
            m_state->pending.pop_front();
            ++m_state->queueDropped;
        }
        m_state->pending.push_back(std::move(text));
        post = !m_state->flushQueued;
        m_state->flushQueued = true;
    }
    // The application object outlives every window; the queued call holds the state,
    // never the control, so a control gone in the meantime is simply not written.
    if (post) {
        std::shared_ptr<State> state = m_state;
        QMetaObject::invokeMethod(
            app,
            [state] {
                // GUI thread: append every queued line in the order of its Message.
                QStringList lines;
                {
                    std::lock_guard<std::mutex> lock(state->mutex);
                    if (state->queueDropped > 0)
                        lines.append(TimeStamp() +
                                     QStringLiteral("(%1 lines dropped while the window was busy)")
                                         .arg(state->queueDropped));
                    for (QString& text : state->pending)
                        lines.append(std::move(text));
                    state->pending.clear();
                    state->queueDropped = 0;
                    state->flushQueued = false;
                }
                if (QPlainTextEdit* control = state->control)
                    Show(control, lines, state->shownDropped);
            },
            Qt::QueuedConnection);
    }
}
