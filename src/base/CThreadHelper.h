#pragma once

#include "base/CCS.h"
#include "base/CUObject.h"

#include <atomic>
#include <thread>

// A worker thread with a state word: 0 before it runs, 1 while it runs, 2 once a
// stop has been asked for or the thread has ended. The owner asks for the stop and
// destroys the object; destruction waits for the thread.
class CThreadHelper : public CUObject
{
public:
    using ThreadFunction = unsigned (*)(void*);

    CThreadHelper() = default;
    ~CThreadHelper() override;
    CThreadHelper(const CThreadHelper&) = delete;
    CThreadHelper& operator=(const CThreadHelper&) = delete;

    // Runs `function(this)` on a new thread. Gives non-zero on success.
    int StartThread(ThreadFunction function, int flag);

    int GetState() const { return m_state.load(); }
    // Asks the thread to stop: the state word becomes 2 and stays 2.
    void RequestStop() { m_state.store(2); }
    // Called first by the thread function: 0 becomes 1, but a stop asked for before
    // the thread got going is kept. Gives false when the thread should not run.
    bool SetRunning();
    // Called by the thread as it ends; the state word reads 2 afterwards.
    void Abort() { m_state.store(2); }
    // Asks for the stop and waits until the thread has returned. Derived classes
    // call it first in their destructor, before their own members go.
    void StopAndWait();

    CCS ThreadLock; // held by the thread for its whole run

private:
    std::atomic<int> m_state{0};
    std::thread m_thread;
};
