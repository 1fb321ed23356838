#include "websocket/kbzWebSocket_Options.h"

namespace kbz
{

std::string TkbzWSOptionsClient::GetParameters() const
{
    if (FParameters.empty() || FParameters.front() != '/')
    {
        return "/" + FParameters;
    }
    return FParameters;
}

void TkbzWSAuthenticationClient_Options::Assign(const TkbzPersistent& src)
{
    TkbzWSAuthentication_Options::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzWSAuthenticationClient_Options*>(&src))
    {
        User = s->User;
        Password = s->Password;
        URL = s->URL;
        Session = s->Session;
        Basic = s->Basic;
        Token.Assign(s->Token); // leaves the token sources
    }
}

} // namespace kbz
