// Bases of the HTTP components that a client attaches, and the token source that the client's
// token authentication starts: a component that obtains a token (by signing one, or by asking
// an authorization server) and hands it over through OnAuthToken, or reports why it could not
// through OnAuthTokenError.
#pragma once

#include "base/kbzBase_Events.h"
#include "websocket/kbzWebSocket_Classes.h"

#include <string>

namespace kbz
{

class TkbzHTTPComponentClientAuthToken_Base;

// Sender, TokenType, Token, Data.
using TkbzOnAuthToken = TkbzEvent<TkbzHTTPComponentClientAuthToken_Base&, const std::string&,
                                  const std::string&, const std::string&>;
// Sender, Error, ErrorDescription, Data.
using TkbzOnAuthTokenError = TkbzEvent<TkbzHTTPComponentClientAuthToken_Base&, const std::string&,
                                       const std::string&, const std::string&>;

class TkbzHTTPComponent_Base : public TkbzComponent_Base
{};

class TkbzHTTPComponentClient_Base : public TkbzHTTPComponent_Base
{};

// A token source. A WebSocket client whose Authentication.Token names one assigns both events,
// calls Start at each activation and connects when OnAuthToken brings a token; deactivation
// calls Stop. The events may be raised on the thread that called Start (a source that has
// its token at once) or on a thread of the component (one that waits for a server, or that
// refreshes its token later: every new token arrives through OnAuthToken again).
class TkbzHTTPComponentClientAuthToken_Base : public TkbzHTTPComponentClient_Base
{
public:
    TkbzOnAuthToken OnAuthToken;
    TkbzOnAuthTokenError OnAuthTokenError;

    // Begins obtaining a token; the outcome arrives as one of the events. Failures are
    // reported through OnAuthTokenError, not raised.
    virtual void Start() = 0;
    // Ends work in progress (a pending request, a refresh timer); the default has none. It may
    // be called on any thread, also from inside the events' handlers, so it must not wait for
    // a thread that is raising one of them.
    virtual void Stop() {}

protected:
    // Raise the events when they are assigned.
    virtual void DoAuthToken(const std::string& tokenType, const std::string& token,
                             const std::string& data);
    virtual void DoAuthTokenError(const std::string& error, const std::string& errorDescription,
                                  const std::string& data);
};

} // namespace kbz
