// Event properties: a handler that any thread may replace while another
// thread raises the event. Raising copies the handler under a short lock and
// calls it outside the lock, so no handler ever runs under this lock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace kbz
{

template <class... Args> class TkbzEvent
{
public:
    using Handler = std::function<void(Args...)>;

    TkbzEvent() = default;
    TkbzEvent(const TkbzEvent& other) : FHandler(other.Get()) {}
    TkbzEvent& operator=(const TkbzEvent& other)
    {
        if (this != &other)
        {
            Set(other.Get());
        }
        return *this;
    }
    template <class F> TkbzEvent& operator=(F&& handler)
    {
        Handler h(std::forward<F>(handler));
        Set(h ? std::make_shared<const Handler>(std::move(h)) : nullptr);
        return *this;
    }
    TkbzEvent& operator=(std::nullptr_t)
    {
        Set(nullptr);
        return *this;
    }

    explicit operator bool() const { return Get() != nullptr; }
    bool Assigned() const { return Get() != nullptr; }

    // Calls the handler when one is assigned; returns whether one was.
    template <class... CallArgs> bool operator()(CallArgs&&... args) const
    {
        const auto h = Get();
        if (!h)
        {
            return false;
        }
        (*h)(std::forward<CallArgs>(args)...);
        return true;
    }

private:
    std::shared_ptr<const Handler> Get() const
    {
        std::lock_guard guard(FLock);
        return FHandler;
    }
    void Set(std::shared_ptr<const Handler> h)
    {
        std::lock_guard guard(FLock);
        FHandler = std::move(h);
    }

    mutable std::mutex FLock;
    std::shared_ptr<const Handler> FHandler;
};

} // namespace kbz
