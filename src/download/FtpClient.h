#pragma once

#include "download/FtpControl.h"
#include "download/FtpIo.h"
#include "download/FtpListParser.h"
#include "download/FtpSettings.h"

#include <asio/ssl/context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tlv {

class FtpDataConnection;

enum class TFtpTransferType { Ascii, Binary };

// An FTP session: one operation per command family, each raising EFtpError (with the server's
// reply text) when it fails. Every operation has a deadline (TFtpSettings), and Interrupt stops
// a running one from another thread. All operations but Interrupt belong to one thread, the
// session thread, which may change from one operation to the next but never overlaps.
class FtpClient {
public:
    // Called with the running byte count of a transfer after each chunk it received.
    using WorkCallback = std::function<void(int64_t bytesDone)>;
    // Receives the transfer's bytes in order. May raise an error, which fails the transfer.
    using DataSink = std::function<void(const char* data, std::size_t size)>;

    static constexpr std::size_t MaxListingSize = 64 * 1024 * 1024;

    explicit FtpClient(TFtpSettings settings);
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    const TFtpSettings& Settings() const { return m_settings; }

    // Connects (through the configured proxy), reads the greeting, logs in, asks for protected
    // data connections (PBSZ 0, PROT P) over TLS, reads the feature list, identifies the client
    // with CLNT when the server knows it, and sets the ASCII type.
    void Connect();
    bool Connected() const;
    const std::vector<std::string>& Features() const { return m_features; }

    // CWD; 200 and 250 count as success.
    void ChangeDir(const std::string& path);
    // PWD: the folder from the quoted path of the 257 reply.
    std::string PrintWorkingDir();
    // SIZE: the size a 213 reply carries; -1 for any other reply or a text that is no number.
    int64_t Size(const std::string& name);
    // LIST of the current folder, parsed.
    std::vector<TFtpListEntry> List();
    // Sends TYPE when the type differs from the session's current one.
    void SetTransferType(TFtpTransferType type);
    TFtpTransferType TransferType() const { return m_type; }
    // RETR into `sink`, in the current transfer type. `onWork` runs between chunks and may call
    // Noop, which then does not wait for its reply: the reply is matched when it comes, and any
    // other reply than 200 fails the transfer.
    void Retrieve(const std::string& name, const DataSink& sink, const WorkCallback& onWork = {});
    // DELE; 250 (or 200) counts as success.
    void Delete(const std::string& name);
    void Noop();
    // ABOR: closes the data connection and reads the answers (the aborted transfer's and the
    // ABOR's own). When that fails the control connection is not trusted again.
    void Abort();
    // QUIT; reads its reply when one comes within `replyWait`. Never raises; closes the session.
    void Quit(std::chrono::milliseconds replyWait);
    // Closes every connection at once.
    void Disconnect();

    // Any thread. Makes the running operation (or else the next one) fail at once with
    // EFtpInterrupted; the thread that runs the session closes the connections it waited on.
    void Interrupt() { m_io.Interrupt(); }

private:
    enum class State { Disconnected, Ready, Transferring };
    // The only place where the session's state changes.
    void setState(State state);
    void requireReady() const;

    void login();
    void openPassive(FtpDataConnection& data);
    void openActive(FtpDataConnection& data);
    void transfer(const std::string& command, const DataSink& sink, const WorkCallback& onWork);
    void stream(FtpDataConnection& data, const DataSink& sink, const WorkCallback& onWork);
    void keepTlsSession(const FtpTransport& transport);
    // Keeps one read on the control connection going while the transfer owes replies.
    void pumpControl();
    void onTransferReply(const TFtpReply& reply);
    void failTransfer(std::exception_ptr error);
    // Cancels the control connection's read and write of a transfer and waits until both
    // have finished.
    void settleControl();

    struct SessionFree {
        void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
    };

    TFtpSettings m_settings;
    FtpIo m_io;
    asio::ssl::context m_tls;
    // The TLS session the next data connection resumes. Servers hand out a fresh ticket on
    // every connection and may accept each only once, so it follows the latest connection.
    std::unique_ptr<SSL_SESSION, SessionFree> m_tlsSession;
    std::unique_ptr<FtpControl> m_control;
    State m_state = State::Disconnected;
    TFtpTransferType m_type = TFtpTransferType::Ascii;
    std::vector<std::string> m_features;
    std::vector<char> m_buffer;

    // Bookkeeping of the running transfer (session thread).
    FtpDataConnection* m_data = nullptr;
    bool m_finalReplyOwed = false;
    int m_noopsOwed = 0;
    bool m_controlReading = false;
    bool m_controlSending = false;
    std::exception_ptr m_transferError;
};

} // namespace tlv
