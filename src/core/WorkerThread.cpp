#include "core/WorkerThread.h"

namespace tlv {

TWorkerThread::~TWorkerThread() { Join(); }

void TWorkerThread::Start() {
    m_thread = std::thread([this] {
        try {
            Execute();
        } catch (...) {
            // A worker reports its own failures as events; nothing may end the process here.
        }
        m_ended = true;
    });
    m_started = true;
}

void TWorkerThread::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace tlv
