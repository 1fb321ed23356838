#include "websocket/kbzWebSocket_Options.h"

namespace kbz
{

void TkbzWSLogFile::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSLogFile*>(&src))
    {
        UnMaskFrames = s->UnMaskFrames;
    }
    TkbzTCPLogFile::Assign(src);
}

void TkbzWSWatchDogMonitorServer_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSWatchDogMonitorServer_Options*>(&src))
    {
        Enabled = s->Enabled;
        Timeout = s->Timeout;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSWatchDogServer_Options::Assign(const TkbzPersistent& src)
{
    TkbzWSWatchDog_Options::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzWSWatchDogServer_Options*>(&src))
    {
        Monitor.Assign(s->Monitor);
    }
}

void TkbzWSHeartBeat_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSHeartBeat_Options*>(&src))
    {
        Enabled = s->Enabled.load();
        Interval = s->Interval.load();
        Timeout = s->Timeout.load();
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSQueue::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSQueue*>(&src))
    {
        Level = s->Level;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSQueueOptions::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSQueueOptions*>(&src))
    {
        Text.Assign(s->Text);
        Binary.Assign(s->Binary);
        Ping.Assign(s->Ping);
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSDrafts::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSDrafts*>(&src))
    {
        Hixie76 = s->Hixie76;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSSpecifications::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSSpecifications*>(&src))
    {
        RFC6455 = s->RFC6455;
        RFC8441 = s->RFC8441;
        Drafts.Assign(s->Drafts);
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSOptimization_Connections::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSOptimization_Connections*>(&src))
    {
        Enabled = s->Enabled;
        CacheSize = s->CacheSize;
        GroupLevel = s->GroupLevel;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSOptimization_Channels::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSOptimization_Channels*>(&src))
    {
        Enabled = s->Enabled;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSOptimization_ConnectionsFree::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSOptimization_ConnectionsFree*>(&src))
    {
        Enabled = s->Enabled;
        Interval = s->Interval;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSOptimization_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSOptimization_Options*>(&src))
    {
        Connections.Assign(s->Connections);
        Channels.Assign(s->Channels);
        ConnectionsFree.Assign(s->ConnectionsFree);
        return;
    }
    TkbzPersistent::Assign(src);
}

std::string TkbzWSOptionsClient::GetParameters() const
{
    if (FParameters.empty() || FParameters.front() != '/')
    {
        return "/" + FParameters;
    }
    return FParameters;
}

void TkbzWSOptionsClient::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSOptionsClient*>(&src))
    {
        FParameters = s->GetParameters();
        Origin = s->Origin;
        ValidateUTF8 = s->ValidateUTF8;
        CleanDisconnect = s->CleanDisconnect;
        RaiseDisconnectExceptions = s->RaiseDisconnectExceptions;
        FragmentedMessages = s->FragmentedMessages;
        MaxMessageSize = s->MaxMessageSize;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSLoadBalancerClient_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSLoadBalancerClient_Options*>(&src))
    {
        Enabled = s->Enabled;
        Host = s->Host;
        Port = s->Port;
        Servers = s->Servers;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSAuthentication_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzWSAuthentication_Options*>(&src))
    {
        Enabled = s->Enabled;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSAuthenticationClient_Session::Assign(const TkbzPersistent& src)
{
    TkbzWSAuthentication_Options::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzWSAuthenticationClient_Session*>(&src))
    {
        Extensions = s->Extensions;
        Protocols = s->Protocols;
        ID = s->ID;
    }
}

void TkbzWSAuthentication_Token::Assign(const TkbzPersistent& src)
{
    TkbzWSAuthentication_Options::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzWSAuthentication_Token*>(&src))
    {
        AuthName = s->AuthName;
        AuthToken = s->AuthToken;
    }
}

void TkbzWSAuthenticationClient_Options::Assign(const TkbzPersistent& src)
{
    TkbzWSAuthentication_Options::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzWSAuthenticationClient_Options*>(&src))
    {
        User = s->User;
        Password = s->Password;
        URL.Assign(s->URL);
        Session.Assign(s->Session);
        Basic.Assign(s->Basic);
        Token.Assign(s->Token);
    }
}

} // namespace kbz
