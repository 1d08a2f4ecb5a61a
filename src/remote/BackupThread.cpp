#include "remote/BackupThread.h"

#include "core/Exceptions.h"
#include "core/Version.h"
#include "remote/XMLRPCConnector.h"

#include <chrono>
#include <thread>

namespace tlv {

TBackupThread::TBackupThread(IUIDispatcher& ui)
    : TWorkerThread(ui), m_connector(std::make_unique<TConnectorXMLRPC>()) {
    m_connector->OnLog = [this](const std::string& line) { reportLog(line); };
}

TBackupThread::~TBackupThread() {
    Join();
}

void TBackupThread::LoadSiteDefinition(const TKeltroSiteDefinition& definition) {
    if (!m_connector)
        return; // the run is over; nothing left to load
    m_connector->LoadSiteDefinition(definition);
    m_siteID = definition.SiteID;
    m_throttling = definition.Throttling;
}

void TBackupThread::Execute() {
    try {
        run();
    } catch (const std::exception& error) {
        // Only resource exhaustion gets here; the site still learns that the run failed.
        try {
            fail(error.what());
        } catch (...) {
        }
    } catch (...) {
    }
    m_connector.reset();
}

void TBackupThread::report(const std::function<void()>& event) {
    if (m_uiGone)
        return;
    try {
        if (!Synchronize(event))
            m_uiGone = true;
    } catch (...) {
        // A handler's own failure is the UI side's business; the backup goes on.
    }
}

void TBackupThread::reportLog(const std::string& line) {
    report([&] {
        if (OnLog)
            OnLog(line);
    });
}

void TBackupThread::reportStep() {
    report([&] {
        if (OnStep)
            OnStep(m_connector->Response, m_lastError, m_siteID);
    });
}

void TBackupThread::fail(const std::string& message) {
    m_lastError = message;
    m_connector->SetLayerError(message);
    reportStep();
}

bool TBackupThread::pause(int32_t seconds) {
    const int64_t steps = int64_t{seconds} * 10;
    for (int64_t i = 0; i < steps; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (stopRequested())
            return false;
    }
    return true;
}

void TBackupThread::run() {
    TConnectorXMLRPC& connector = *m_connector;
    // A stop ends the run with a step report carrying the last response and no error.
    auto stopped = [&] {
        if (!stopRequested())
            return false;
        reportStep();
        return true;
    };

    if (stopped())
        return;
    reportLog("Initializing remote backup");
    try {
        connector.StartBackup();
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    reportStep();
    if (stopped())
        return;

    reportLog("Retrieving remote filename");
    try {
        connector.GetFilename();
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    report([&] {
        if (OnFilename)
            OnFilename(m_siteID, connector.Filename);
    });
    if (stopped())
        return;

    while (!connector.Response.IsFinished) {
        try {
            reportLog("Ticking remote backup engine");
            connector.ContinueBackup();
            if (m_throttling > 0) {
                reportLog("Throttling; waiting for " + std::to_string(m_throttling) + " seconds");
                if (!pause(m_throttling)) {
                    reportStep();
                    return;
                }
            }
        } catch (const std::exception& error) {
            return fail(error.what());
        }
        reportStep();
        if (stopped())
            return;
    }

    if (connector.APIVersion.empty()) {
        reportLog("Getting the API version");
        try {
            connector.GetAPI();
        } catch (const std::exception& error) {
            return fail(error.what());
        }
        if (stopped())
            return;
    }

    // A version text that does not read as "major.minor" comes from a server we do not know;
    // asking it for the parts is safer than assuming a single archive and downloading only a
    // part of the backup.
    bool withParts = true;
    try {
        withParts = ToVersionNumber(connector.APIVersion) >= kFirstVersionWithParts;
    } catch (const EConvertError&) {
    }
    if (!withParts) {
        reportLog("The site's API version (" + connector.APIVersion +
                  ") does not support multipart backups; skipping multipart detection.");
    } else {
        reportLog("Retrieving filenames of the backup file's parts");
        try {
            connector.GetParts(-1);
        } catch (const std::exception& error) {
            return fail(error.what());
        }
        report([&] {
            if (OnParts)
                OnParts(m_siteID, connector.Parts);
        });
    }

    if (stopped())
        return;
    report([&] {
        if (OnFinished)
            OnFinished(m_siteID);
    });
}

} // namespace tlv
