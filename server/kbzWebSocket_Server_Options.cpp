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

} // namespace kbz
