#pragma once

#include "core/WorkerThread.h"
#include "sites/KeltroTypes.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tlv {

class TConnectorXMLRPC;

// Runs one remote backup of one site on a thread of its own: starts it, learns the archive's
// file name, steps the server's engine until it has finished (pausing between steps when the
// site asks for throttling), learns the archive parts' names, and reports each stage. Every
// report is handed to the UI thread and the worker waits until the handler has returned.
//
// Use on the UI thread: create; set OnLog; LoadSiteDefinition; set the other events; Start().
// The last report of a run is one OnStep (failure or stop) or OnFinished (success). The
// connector is released when the run ends; the object stays until its holder lets it go, after
// Ended() (see TWorkerThread).
class TBackupThread : public TWorkerThread {
public:
    explicit TBackupThread(IUIDispatcher& ui);
    ~TBackupThread() override;

    // Events, set on the UI thread before Start() and run there. An event not set is skipped.
    std::function<void(const std::string& line)> OnLog;
    std::function<void(const TKeltroKOVAResponse& response, const std::string& lastError,
                       int32_t siteID)>
        OnStep;
    std::function<void(int32_t siteID)> OnFinished;
    std::function<void(int32_t siteID, const std::string& filename)> OnFilename;
    std::function<void(int32_t siteID, const TKeltroBackupFilenames& parts)> OnParts;

    // UI thread, before Start(). Loads the connector (which logs its lines at once).
    void LoadSiteDefinition(const TKeltroSiteDefinition& definition);

    // Any thread. The stop request; the run notices it between remote calls and within 100 ms
    // during a throttling pause.
    void Terminate() { m_terminated = true; }
    bool Terminated() const { return m_terminated.load(); }

    int32_t SiteID() const { return m_siteID; }
    int32_t Throttling() const { return m_throttling; }
    // The message of the failure that ended the run; empty while nothing has failed. Read it in
    // a handler or after Ended().
    const std::string& LastError() const { return m_lastError; }

protected:
    void Execute() override;

private:
    void run();
    bool stopRequested() const { return m_terminated.load() || m_uiGone; }
    void report(const std::function<void()>& event);
    void reportLog(const std::string& line);
    void reportStep();
    void fail(const std::string& message);
    // Sleeps `seconds` in 100 ms steps; false when a stop was requested meanwhile.
    bool pause(int32_t seconds);

    std::unique_ptr<TConnectorXMLRPC> m_connector;
    int32_t m_siteID = 0;
    int32_t m_throttling = 0;
    std::string m_lastError;
    std::atomic<bool> m_terminated{false};
    bool m_uiGone = false; // worker thread only: the dispatcher no longer runs reports
};

} // namespace tlv
