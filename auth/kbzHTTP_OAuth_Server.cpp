#include "auth/kbzHTTP_OAuth_Server.h"

#include "base/kbzBase_Helpers.h"

namespace kbz
{

bool TkbzHTTPOAuthApps::Add(const TkbzHTTPOAuthAppPtr& app)
{
    if (!app)
    {
        return false;
    }
    // The check and the append are one step, so two registrations of one name cannot both win.
    std::vector<TkbzQueueItem>& list = LockList();
    bool added = false;
    if (IndexOfID(app->GetID()) == list.size())
    {
        list.push_back(app);
        added = true;
    }
    UnlockList();
    return added;
}

bool TkbzHTTPOAuthApps::Remove(const std::string& name)
{
    TkbzQueueItem item = TakeItem(name);
    if (auto* app = dynamic_cast<TkbzHTTPOAuthApp*>(item.get()))
    {
        app->FRegistered.store(false);
        return true;
    }
    return false;
}

TkbzHTTPOAuthAppPtr TkbzHTTPOAuthApps::GetApp(const std::string& name) const
{
    return std::dynamic_pointer_cast<TkbzHTTPOAuthApp>(GetItem(name));
}

TkbzHTTPOAuthAppPtr TkbzHTTPOAuthApps::GetAppByClientId(const std::string& clientId) const
{
    std::lock_guard guard(FLock);
    for (auto it = FList.rbegin(); it != FList.rend(); ++it)
    {
        auto app = std::dynamic_pointer_cast<TkbzHTTPOAuthApp>(*it);
        if (app && app->ClientId == clientId)
        {
            return app;
        }
    }
    return nullptr;
}

TkbzHTTPOAuthApps& TkbzHTTPComponentServer_OAuth::Apps()
{
    std::lock_guard guard(FAppsLock);
    if (!FApps)
    {
        FApps = std::make_unique<TkbzHTTPOAuthApps>();
    }
    return *FApps;
}

bool TkbzHTTPComponentServer_OAuth::RegisterApp(const std::string& aName,
                                                const std::string& aRedirectURI,
                                                std::string& ClientId, std::string& ClientSecret)
{
    auto app = std::make_shared<TkbzHTTPOAuthApp>(aName);
    app->ClientId = kbzNewGuid();
    app->ClientSecret = kbzNewGuid();
    app->RedirectURI = aRedirectURI;
    if (!Apps().Add(app))
    {
        return false;
    }
    ClientId = app->ClientId;
    ClientSecret = app->ClientSecret;
    return true;
}

bool TkbzHTTPComponentServer_OAuth::UnRegisterApp(const std::string& aName)
{
    return Apps().Remove(aName);
}

TkbzHTTPOAuthAppPtr TkbzHTTPComponentServer_OAuth::GetApp(const std::string& aName)
{
    return Apps().GetApp(aName);
}

TkbzHTTPOAuthAppPtr TkbzHTTPComponentServer_OAuth::GetAppByClientId(const std::string& aClientId)
{
    return Apps().GetAppByClientId(aClientId);
}

} // namespace kbz
