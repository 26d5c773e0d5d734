#pragma once

class CLogSink;
class CSettings;

// What the AutoConfig host, client and session need of the window that runs them: its
// log, the settings it works on, and a way to bring its button back when a session's
// thread ends. The window implements it; tests can stand in without a display.
class CAutoConfigOwner
{
public:
    virtual ~CAutoConfigOwner() = default;

    // Takes lines from any thread without waiting for the GUI thread.
    virtual CLogSink& GetLog() = 0;
    virtual CSettings* GetSettings() = 0;
    // Called by a session's poll thread as it ends; must not wait for the GUI thread.
    virtual void UpdateButton() = 0;
};
