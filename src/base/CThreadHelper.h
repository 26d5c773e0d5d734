#pragma once

#include "base/CCS.h"
#include "base/CUObject.h"

#include <atomic>
#include <thread>

// A worker thread with a state word: NotStarted before it runs, Running while it
// runs, StopState once a stop has been asked for or the thread has ended. The owner
// asks for the stop and destroys the object; destruction waits for the thread.
class CThreadHelper : public CUObject
{
public:
    using ThreadFunction = unsigned (*)(void*);
    enum : int { NotStarted = 0, Running = 1, StopState = 2 };

    CThreadHelper() = default;
    ~CThreadHelper() override;
    CThreadHelper(const CThreadHelper&) = delete;
    CThreadHelper& operator=(const CThreadHelper&) = delete;

    // Runs `function(this)` on a new thread. Gives non-zero on success.
    int StartThread(ThreadFunction function, int flag);

    int GetState() const { return m_state.load(); }
    bool StopRequested() const { return m_state.load() == StopState; }
    // Asks the thread to stop: the state word becomes StopState and stays so.
    void RequestStop() { m_state.store(StopState); }
    // Called first by the thread function: NotStarted becomes Running, but a stop asked for before
    // the thread got going is kept. Gives false when the thread should not run.
    bool SetRunning();
    // Called by the thread as it ends; the state word reads StopState afterwards.
    void Abort() { m_state.store(StopState); }
    // Asks for the stop and waits until the thread has returned. Derived classes
    // call it first in their destructor, before their own members go.
    void StopAndWait();

    CCS ThreadLock; // held by the thread for its whole run

private:
    std::atomic<int> m_state{NotStarted};
    std::thread m_thread;
};
