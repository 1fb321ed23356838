// The WebSocket and HTTP server: the server component over the TCP listener, and its HTTP
// layer: plain requests with their bodies, keep-alive, parameters, cookie sessions, and the
// command events that answer them.
#pragma once

#include "server/kbzWebSocket_Server_Base.h"
#include "server/kbzWebSocket_Server_HTTP.h"
#include "server/kbzWebSocket_Server_Upload.h"
#include "transport/kbzSSL_Handler.h"
#include "transport/kbzTCP_Server.h"

#include <memory>
#include <mutex>
#include <vector>

namespace kbz
{

class TkbzWSClient;
class TkbzWSHTTPServer;

using TkbzWSHTTPCommandEvent =
    TkbzEvent<const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo&, TkbzWSHTTPResponseInfo&>;
using TkbzWSHTTPSessionEvent = TkbzEvent<const TkbzHTTPSessionPtr&>;

class TkbzWSHTTPServer : public TkbzWSServer_Indy_Base
{
public:
    TkbzWSHTTPServer();
    ~TkbzWSHTTPServer() override;

    // Listening. Setting it true binds every binding (raising when one cannot
    // be bound, e.g. the address is in use or not local); false closes every
    // connection and joins its thread. Not from one of the server's own
    // connection threads: use Stop or ReStart there.
    bool GetActive() const override;
    void SetActive(bool value) override;

    // Default port, also of the bindings that name none; 0 lets the system choose.
    int GetPort() const noexcept { return FPort; }
    void SetPort(int value);
    // Listening addresses; empty means every IPv4 and IPv6 address on Port.
    std::vector<TkbzListenBinding>& Bindings() { return GetHTTPServer().Bindings; }
    // The addresses actually listened on, and the first one's port (the one
    // the system chose when Port is 0).
    std::vector<TkbzListenBinding> GetBoundBindings() const;
    int GetBoundPort() const;
    // Over it a new connection is closed at once, without events. 0: as many
    // as the descriptor limit allows (the soft limit is raised to the hard one
    // on activation), less a reserve for files and listeners.
    int MaxConnections = 0;
    bool UseNagle = true;
    // TLS on the listener, with the certificate files of SSLOptions; connections
    // of a binding whose port is not SSLOptions.Port stay plain when that is set.
    bool SSL = false;
    TkbzWSSSL_Options& SSLOptions() noexcept { return FSSLOptions; }
    // HTTP/2 is carried as options only (Enabled always reads False).
    TkbzWSHTTP2Server_Options& HTTP2Options() noexcept { return FHTTP2Options; }

    // ---- TLS handler hooks. Every activation with SSL makes its handler (so
    // it follows SSLOptions as they are then; one without SSL releases it):
    // OnSSLGetHandler may supply it, else a TkbzSSLHandlerOpenSSL is configured
    // from SSLOptions (the key's password asked from SSLOptions.Password);
    // OnSSLAfterCreateHandler sees it, then the certificate, key and root file
    // names of SSLOptions are copied into it. The hooks run on the activating thread.
    TkbzSSLGetHandlerEvent<TkbzWSHTTPServer> OnSSLGetHandler;
    TkbzSSLAfterCreateHandlerEvent<TkbzWSHTTPServer> OnSSLAfterCreateHandler;
    // The application protocol for a TLS client's offer (in its order): the
    // handler sets chosen (empty: none). Runs on the connection's thread
    // during its handshake.
    TkbzEvent<TkbzWSHTTPServer&, const std::vector<std::string>&, std::string&> OnSSLALPNSelect;
    // The handler in use (none without SSL).
    TkbzSSLHandlerPtr SSLHandler() const;
    // The choice of OnSSLALPNSelect for an offer ("h2" only with HTTP/2, never).
    std::string DoALPNSelect(const std::vector<std::string>& offered);

    // ---- HTTP layer. Every event below runs on the requesting connection's thread. ----
    // Further requests on a connection: an HTTP/1.1 one unless it says "Connection: close",
    // an HTTP/1.0 one when it says "keep-alive". Off: one request per connection.
    bool KeepAlive = false;
    // An idle keep-alive connection is closed after this long without a request (ms).
    int KeepAliveTimeOut = 10000;
    // Query and form parameters into TkbzWSHTTPRequestInfo::Params.
    bool ParseParams = true;
    // Cookie sessions: SessionTimeOut ms after its last request a session ends (0: never);
    // AutoStartSession gives every request without one a new one.
    bool SessionState = false;
    int SessionTimeOut = 0;
    bool AutoStartSession = false;
    // Largest request body held in memory (bytes): a larger one is answered 413 and the
    // connection closed, before its bytes are read.
    std::uint64_t MaxRequestBody = 1024 * 1024;
    // Files served from this folder (empty: none) by GET and HEAD requests that nothing before
    // answered; Charset goes with textual types. A path that tries to leave the folder is 404.
    std::string DocumentRoot;
    std::string Charset;
    TkbzHTTPSessionList& HTTPSessionList() noexcept { return FHTTPSessions; }
    // Bodies written to disk and multipart uploads decoded into files.
    TkbzHTTPUploadFilesServer& HTTPUploadFiles() noexcept { return FHTTPUploadFiles; }

    // The API component (one at a time; none unregisters it). Not owned alone: the server
    // keeps a reference while a request uses it.
    void RegisterAPI(TkbzWSAPIPtr api);
    void UnRegisterAPI();
    TkbzWSAPIPtr API() const;
    // A session for the request (its cookie goes with the response): OnCreateSession may
    // supply it, then OnSessionStart.
    TkbzHTTPSessionPtr CreateSession(const TkbzWSConnectionServerPtr& connection,
                                     TkbzWSHTTPRequestInfo& request,
                                     TkbzWSHTTPResponseInfo& response);
    // Ends a session (OnSessionEnd); false when there is none of that identifier.
    bool EndSession(const std::string& sessionID);

    // GET, HEAD and POST requests that nothing before answered; every other method. A
    // handler that raises makes a 500 answer of its message; a response left as it was is
    // the 200 default page.
    // Forwarding: the handler may enable the record and name the target; the request is then
    // sent there (with X-Forwarded-For and X-Forwarded-Host) and its answer given back, after
    // which OnAfterForwardHTTP sees the response and the failure, if any (none: nullptr).
    TkbzEvent<const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo&, TkbzWSServerForwardHTTP&>
        OnBeforeForwardHTTP;
    TkbzEvent<const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo&, TkbzWSHTTPResponseInfo&,
              const std::exception*>
        OnAfterForwardHTTP;
    TkbzWSHTTPCommandEvent OnCommandGet;
    TkbzWSHTTPCommandEvent OnCommandOther;
    // A new session: the handler may supply it (none: the server makes one).
    TkbzEvent<const TkbzWSConnectionServerPtr&, const TkbzWSHTTPRequestInfo&, TkbzHTTPSessionPtr&>
        OnCreateSession;
    // A request named a session that is not (or no longer) there; continueProcessing false
    // answers it with the response as the handler left it.
    TkbzEvent<const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo&, TkbzWSHTTPResponseInfo&,
              bool&, const std::string&>
        OnInvalidSession;
    // An uploaded file is about to be saved (name and folder may be changed; the name is
    // reduced to a base name again), was saved (under the name actually used), and a form
    // field of an upload was read.
    TkbzEvent<const TkbzWSConnectionServerPtr&, std::string&, std::string&>
        OnHTTPUploadBeforeSaveFile;
    TkbzEvent<const TkbzWSConnectionServerPtr&, const std::string&, const std::string&>
        OnHTTPUploadAfterSaveFile;
    TkbzEvent<const TkbzWSConnectionServerPtr&, const std::string&, const std::string&>
        OnHTTPUploadReadInput;
    TkbzWSHTTPSessionEvent OnSessionStart;
    // A session ended: expired (found at a later request), ended, pushed out by a newer
    // one, or the server stopped.
    TkbzWSHTTPSessionEvent OnSessionEnd;

protected:
    // Ends what the destructor ends (connections, timers, threads). The published class calls
    // it first, so that no thread calls into an object whose derived parts are already gone.
    // A second call finds nothing left to do.
    void StopForDestruction() noexcept;
    bool DoExecuteHTTP(const TkbzWSConnectionServerPtr& connection) override;
    // The answer to one whole request (session, then the command chain); raises what a
    // handler raised.
    virtual void DoCommand(const TkbzWSConnectionServerPtr& connection,
                           TkbzWSHTTPRequestInfo& request, TkbzWSHTTPResponseInfo& response);
    // Writes the response; false when the connection must end after it (or the write failed).
    bool WriteResponse(const TkbzWSConnectionServerPtr& connection,
                       const TkbzWSHTTPRequestInfo& request, TkbzWSHTTPResponseInfo& response,
                       bool keepAlive);
    // The built-in files' place in the GET chain (after authorisation, before the API and
    // DocumentRoot), for the requests that follow the first on a kept connection (the first
    // one is answered in the classification): true when it filled the response.
    virtual bool DoServeBuiltInFile(const TkbzWSConnectionServerPtr& connection,
                                    TkbzWSHTTPRequestInfo& request,
                                    TkbzWSHTTPResponseInfo& response);
    // The steps of the GET chain; each returns true when it answered the request.
    bool DoForwardHTTP(const TkbzWSConnectionServerPtr& connection, TkbzWSHTTPRequestInfo& request,
                       TkbzWSHTTPResponseInfo& response);
    bool DoAPIRequest(const TkbzWSConnectionServerPtr& connection, TkbzWSHTTPRequestInfo& request,
                      TkbzWSHTTPResponseInfo& response);
    bool DoDocumentRoot(TkbzWSHTTPRequestInfo& request, TkbzWSHTTPResponseInfo& response);

protected:
    // Ends every session (OnSessionEnd unless destroying).
    void EndAllSessions() noexcept;
    // The monitor: a WebSocket client dials the first binding (127.0.0.1 for
    // one on every address) at its own port, or at SSLOptions.Port when that is
    // set with SSL, with the secret as its path, within Monitor.Timeout seconds;
    // when it cannot, the listener is restarted. A deactivation gives it up.
    void DoWatchDogMonitor() override;

private:
    TkbzIdTCPServer& GetHTTPServer();
    const TkbzIdTCPServer* HTTPServer() const;
    // The listener's engine from ThreadPool and IOHandlerOptions.
    TkbzServerEngineOptions EngineOptions();
    // The handler of an activation with SSL, through the hooks.
    TkbzSSLHandlerPtr MakeSSLHandler();

    // A head of a further request arrived: the checks the first one passed in the
    // classification (origin, token-free endpoints, authorisation). False: answered, ends.
    bool CheckFollowingRequest(const TkbzWSConnectionServerPtr& c, const TkbzHTTPHead& head);
    // Starts the body of a parsed head, or refuses it; false: answered, the connection ends.
    bool StartBody(const TkbzWSConnectionServerPtr& c);
    // The whole request is in: answered; false when the connection ends.
    bool ServeRequest(const TkbzWSConnectionServerPtr& c);
    // A refusal (400, 411, 413, 431...) with Connection: close.
    void WriteRefusal(const TkbzWSConnectionServerPtr& c, int status) noexcept;
    void RaiseSessionEnd(const std::vector<TkbzHTTPSessionPtr>& sessions) noexcept;

    // A finished upload on disk: decoded into its files and fields (RemoveBoundaries), the
    // temporary file removed; false when it failed (answered 500).
    bool FinishUpload(const TkbzWSConnectionServerPtr& c, TkbzWSHTTPRequestInfo& request);

    TkbzHTTPSessionList FHTTPSessions;
    TkbzHTTPUploadFilesServer FHTTPUploadFiles;
    int FPort = 80;
    TkbzWSSSL_Options FSSLOptions;
    TkbzWSHTTP2Server_Options FHTTP2Options;
    mutable std::mutex FSSLLock; // the handler pointer
    TkbzSSLHandlerPtr FSSLHandler;
    std::recursive_mutex FActiveLock;
    mutable std::mutex FServerLock;
    std::unique_ptr<TkbzIdTCPServer> FHTTPServer;

    // Gives up a monitor check under way; no restart follows it.
    void CancelWatchDogMonitor() noexcept;
    std::mutex FMonitorLock;
    bool FMonitorAllowed = false;                 // FMonitorLock: listening, not being stopped
    std::shared_ptr<TkbzWSClient> FMonitorClient; // FMonitorLock: the check under way
};

} // namespace kbz
