#include "client/kbzHTTP_Classes_Client.h"

namespace kbz
{

void TkbzHTTPComponentClientAuthToken_Base::DoAuthToken(const std::string& tokenType,
                                                        const std::string& token,
                                                        const std::string& data)
{
    OnAuthToken(*this, tokenType, token, data);
}

void TkbzHTTPComponentClientAuthToken_Base::DoAuthTokenError(const std::string& error,
                                                             const std::string& errorDescription,
                                                             const std::string& data)
{
    OnAuthTokenError(*this, error, errorDescription, data);
}

} // namespace kbz
