// The application registry of the authorization-server components: the clients allowed to ask
// for tokens, with their credentials, redirect address and token lifetimes.
#pragma once

#include "auth/kbzHTTP_Classes.h"
#include "base/kbzWebSocket_Classes_Queues.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace kbz
{

// One registered application; its identifier is its name. Set its fields before the server
// that uses the component starts (they are read on the connection threads without a lock).
class TkbzHTTPOAuthApp : public TkbzQueueItemBase
{
public:
    explicit TkbzHTTPOAuthApp(std::string name) : TkbzQueueItemBase(std::move(name)) {}

    const std::string& GetAppName() const noexcept { return GetID(); }
    // Whether the application is still registered: tokens of one that was removed are refused.
    bool GetRegistered() const noexcept { return FRegistered.load(); }

    std::string ClientId;
    std::string ClientSecret;
    // Where the browser is sent back; empty: any redirect_uri the request names.
    std::string RedirectURI;
    // Lifetime of the access tokens issued to it (seconds).
    std::int32_t ExpiresIn = 3600;
    // Refresh tokens are issued to it.
    bool RefreshToken = true;
    // Lifetime of its refresh tokens (seconds): they outlive the access tokens they renew.
    std::int32_t RefreshTokenExpiresIn = 30 * 24 * 3600;

private:
    friend class TkbzHTTPOAuthApps;
    std::atomic<bool> FRegistered{true};
};

using TkbzHTTPOAuthAppPtr = std::shared_ptr<TkbzHTTPOAuthApp>;

class TkbzHTTPOAuthApps : public TkbzQueue
{
public:
    TkbzHTTPOAuthApps() { SetOwnObjects(true); }

    // False when an application of that name exists already.
    bool Add(const TkbzHTTPOAuthAppPtr& app);
    bool Remove(const std::string& name);
    TkbzHTTPOAuthAppPtr GetApp(const std::string& name) const;
    // The last registered application with that client id (exact comparison).
    TkbzHTTPOAuthAppPtr GetAppByClientId(const std::string& clientId) const;
};

// The registry every authorization-server component holds.
class TkbzHTTPComponentServer_OAuth : public TkbzHTTPComponentServerAuthToken_Base
{
public:
    TkbzHTTPComponentServer_OAuth() = default;
    TkbzHTTPComponentServer_OAuth(const TkbzHTTPComponentServer_OAuth&) = delete;
    TkbzHTTPComponentServer_OAuth& operator=(const TkbzHTTPComponentServer_OAuth&) = delete;

    // Created on first use.
    TkbzHTTPOAuthApps& Apps();

    // False when an application of that name exists (the first one's credentials stay);
    // otherwise fresh credentials are made and the application is added with ExpiresIn 3600
    // and RefreshToken true.
    bool RegisterApp(const std::string& aName, const std::string& aRedirectURI,
                     std::string& ClientId, std::string& ClientSecret);
    bool UnRegisterApp(const std::string& aName);
    TkbzHTTPOAuthAppPtr GetApp(const std::string& aName);
    TkbzHTTPOAuthAppPtr GetAppByClientId(const std::string& aClientId);

private:
    std::mutex FAppsLock;
    std::unique_ptr<TkbzHTTPOAuthApps> FApps;
};

} // namespace kbz
