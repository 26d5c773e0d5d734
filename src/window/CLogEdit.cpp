#include "window/CLogEdit.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QString>
#include <QStringList>

#include <mutex>

struct CLogEdit::State {
    QPointer<QPlainTextEdit> control; // read and written on the GUI thread only

    std::mutex mutex; // guards what follows
    bool open = true; // false once the control or this CLogEdit is gone
    QStringList pending;
    bool flushQueued = false;
};

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
    bool post = false;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (!m_state->open || !app)
            return;
        m_state->pending.append(QString::fromLocal8Bit(line.c_str(), line.GetLength()));
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
                    lines.swap(state->pending);
                    state->flushQueued = false;
                }
                QPlainTextEdit* control = state->control;
                if (!control)
                    return;
                for (const QString& text : lines)
                    control->appendPlainText(text);
                QScrollBar* bar = control->verticalScrollBar();
                bar->setValue(bar->maximum());
            },
            Qt::QueuedConnection);
    }
}
