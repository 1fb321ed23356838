#include "server/kbzWebSocket_Server_Options.h"

namespace kbz
{

void TkbzWSOptionsServer::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSOptionsServer*>(&src))
    {
        CleanDisconnect = s->CleanDisconnect;
        FragmentedMessages = s->FragmentedMessages;
        HTMLFiles = s->HTMLFiles;
        JavascriptFiles = s->JavascriptFiles;
        RaiseDisconnectExceptions = s->RaiseDisconnectExceptions;
        ValidateUTF8 = s->ValidateUTF8;
        MaxMessageSize = s->MaxMessageSize;
        FReadTimeOut = s->FReadTimeOut;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSSecurity_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSSecurity_Options*>(&src))
    {
        OriginsAllowed = s->OriginsAllowed;
        SameOrigin = s->SameOrigin;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSAuthenticationServer_Session::Assign(const TkbzPersistent& src)
{
    TkbzWSAuthentication_Options::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzWSAuthenticationServer_Session*>(&src))
    {
        TimeOut = s->TimeOut;
        MaxSessions = s->MaxSessions;
    }
}

TkbzWSServerHTTPRequest::TkbzWSServerHTTPRequest(
    const TkbzHTTPHead& head, std::function<std::optional<std::string>()> readBody,
    std::function<void(const TkbzHTTPAnswer&)> write)
    : FHead(head), FReadBody(std::move(readBody)), FWrite(std::move(write))
{}

std::optional<std::string> TkbzWSServerHTTPRequest::Body()
{
    if (!FBodyRead)
    {
        FBodyRead = true;
        if (FReadBody)
        {
            FBody = FReadBody();
        }
        else
        {
            FBody = std::string();
        }
    }
    return FBody;
}

void TkbzWSServerHTTPRequest::Answer(const TkbzHTTPAnswer& answer)
{
    FAnswered = true;
    if (FWrite)
    {
        FWrite(answer);
    }
}

void TkbzWSAuthenticationServer_JWT::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSAuthenticationServer_JWT*>(&src))
    {
        JWT = s->JWT;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSAuthenticationServer_OAuth::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSAuthenticationServer_OAuth*>(&src))
    {
        OAuth2 = s->OAuth2;
        OAuth2Provider = s->OAuth2Provider;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSAuthenticationServer_Options::Assign(const TkbzPersistent& src)
{
    TkbzWSAuthentication_Options::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzWSAuthenticationServer_Options*>(&src))
    {
        URL.Assign(s->URL);
        Session.Assign(s->Session);
        Basic.Assign(s->Basic);
        JWT.Assign(s->JWT);
        OAuth.Assign(s->OAuth);
        AllowNonAuth = s->AllowNonAuth;
        AuthUsers.SetText(s->AuthUsers.GetText());
    }
}

void TkbzWSFallBack_Flash::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSFallBack_Flash*>(&src))
    {
        Enabled = s->Enabled;
        Domain = s->Domain;
        Ports = s->Ports;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSFallBack_SSE::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSFallBack_SSE*>(&src))
    {
        Enabled = s->Enabled;
        Retry = s->Retry;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSFallBack_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSFallBack_Options*>(&src))
    {
        Flash.Assign(s->Flash);
        ServerSentEvents.Assign(s->ServerSentEvents);
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSLoadBalancerServer_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSLoadBalancerServer_Options*>(&src))
    {
        Enabled = s->Enabled;
        Host = s->Host;
        Port = s->Port;
        AutoRestart = s->AutoRestart;
        AutoRegisterBindings = s->AutoRegisterBindings;
        Bindings = s->Bindings;
        Guid = s->Guid;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSHTTP2AlternateService::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSHTTP2AlternateService*>(&src))
    {
        Enabled = s->Enabled;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzHTTP2ServerEvents::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzHTTP2ServerEvents*>(&src))
    {
        OnConnect = s->OnConnect;
        OnDisconnect = s->OnDisconnect;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzHTTP2ServerSettings::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzHTTP2ServerSettings*>(&src))
    {
        EnablePush = s->EnablePush;
        HeaderTableSize = s->HeaderTableSize;
        InitialWindowSize = s->InitialWindowSize;
        MaxConcurrentStreams = s->MaxConcurrentStreams;
        MaxFrameSize = s->MaxFrameSize;
        MaxHeaderListSize = s->MaxHeaderListSize;
        EnableConnectProtocol = s->EnableConnectProtocol;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSHTTP2Server_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSHTTP2Server_Options*>(&src))
    {
        FEnabled = s->FEnabled;
        AltSvc.Assign(s->AltSvc);
        Events.Assign(s->Events);
        FragmentedData = s->FragmentedData;
        Settings.Assign(s->Settings);
        return;
    }
    TkbzPersistent::Assign(src);
}

} // namespace kbz
