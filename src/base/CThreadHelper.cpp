#include "base/CThreadHelper.h"

CThreadHelper::~CThreadHelper()
{
    StopAndWait();
}

int CThreadHelper::StartThread(ThreadFunction function, int /*flag*/)
{
    if (m_thread.joinable())
        return 0;
    try {
        m_thread = std::thread([this, function] { function(this); });
    } catch (const std::system_error&) {
        return 0;
    }
    return 1;
}

bool CThreadHelper::SetRunning()
{
    int expected = NotStarted;
    // Only NotStarted becomes Running: a stop asked for before the thread got going
    // must win, or the owner would wait for a thread that never ends.
    return m_state.compare_exchange_strong(expected, Running) || expected == Running;
}

void CThreadHelper::StopAndWait()
{
    RequestStop();
    if (!m_thread.joinable())
        return;
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach(); // destroyed by its own thread: nothing left to wait for
    else
        m_thread.join();
}
