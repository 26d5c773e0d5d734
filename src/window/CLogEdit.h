#pragma once

#include "base/CLogSink.h"

#include <memory>

class QPlainTextEdit;
class QWidget;

// A read-only multi-line log control. Message may be called from any thread: the line
// gets its time and is queued and appended on the GUI thread, nobody waits for it, and
// once the control is gone further lines are dropped. The control keeps the last
// MaxLines lines under one line that counts the older ones dropped; the queue holds
// fewer than MaxLines lines, and a line in place of the oldest says how many it dropped.
class CLogEdit : public CLogSink
{
public:
    static constexpr int MaxLines = 1000;

    // Creates the control as a child of `parent`; the parent owns it.
    explicit CLogEdit(QWidget* parent);
    ~CLogEdit() override;
    CLogEdit(const CLogEdit&) = delete;
    CLogEdit& operator=(const CLogEdit&) = delete;

    // The control, or null once it is gone. GUI thread only.
    QPlainTextEdit* GetControl() const;

protected:
    void AddLine(const CUString& line) override;

private:
    struct State;
    // Shared with the queued calls, which may run after this object is gone.
    std::shared_ptr<State> m_state;
};
