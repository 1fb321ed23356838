// Lock-protected containers of identified items: a queue with lookup by
// identifier, a bounded first-in-first-out queue, a queue with a small cache of
// recently found items in front of it, a list of such cached queues bucketed by
// the first characters of the identifier (the server finds connections by
// their Guid with it), and a list of named queues (channel subscriptions).
//
// Items are shared: a container holds one reference, and an item handed out
// stays valid for as long as the caller holds it, whatever the container does
// meanwhile. Removing an item drops only the container's reference.
#pragma once

#include "base/kbzWebSocket_Classes_SyncObjs.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kbz
{

// ---- Items ----
class TkbzQueueItemBase
{
public:
    TkbzQueueItemBase() = default;
    explicit TkbzQueueItemBase(std::string id, std::int64_t order = 0)
        : FOrder(order), FID(std::move(id))
    {}
    TkbzQueueItemBase(const TkbzQueueItemBase&) = delete;
    TkbzQueueItemBase& operator=(const TkbzQueueItemBase&) = delete;
    virtual ~TkbzQueueItemBase() = default;

    // Sort key of TkbzQueue::SortByOrder.
    virtual std::int64_t GetOrder() const noexcept { return FOrder.load(); }
    void SetOrder(std::int64_t value) noexcept { FOrder.store(value); }
    // Identifier; lookups compare it exactly. Set it before the item is added
    // to a container: containers file items by it.
    virtual const std::string& GetID() const noexcept { return FID; }
    void SetID(std::string value) { FID = std::move(value); }

protected:
    std::atomic<std::int64_t> FOrder{0};
    std::string FID;
};

using TkbzQueueItem = std::shared_ptr<TkbzQueueItemBase>;

// An item that names the queue of a TkbzQueueNameListBase it belongs to.
class TkbzQueueNameItemBase : public TkbzQueueItemBase
{
public:
    TkbzQueueNameItemBase() = default;
    TkbzQueueNameItemBase(std::string queue, std::string id, std::int64_t order = 0)
        : TkbzQueueItemBase(std::move(id), order), FQueue(std::move(queue))
    {}

    // Set before the item is added, like the identifier.
    const std::string& GetQueue() const noexcept { return FQueue; }
    void SetQueue(std::string value) { FQueue = std::move(value); }

protected:
    std::string FQueue;
};

using TkbzQueueNameItem = std::shared_ptr<TkbzQueueNameItemBase>;

// ---- Common base ----
// A lock-protected list of shared entries. Entries leave the list under the
// lock but are released after it, so an entry's destructor never runs under
// the container's lock. The raw list operations of the thread list are not
// offered: entries go in and out through the container's own operations,
// which never hold a null entry.
template <class T> class TkbzQueueCommon : protected TkbzThreadList<std::shared_ptr<T>>
{
    using Base = TkbzThreadList<std::shared_ptr<T>>;

public:
    ~TkbzQueueCommon() override = default;

    using Base::Contains;
    using Base::Count;
    using Base::IsEmpty;
    // For walking the entries in place; the entries must not be changed.
    using Base::LockList;
    using Base::UnlockList;
    // Removes every entry and hands them over.
    using Base::TakeAll;

    // Whether the container counts as the owner of its entries. Entries are
    // shared, so removing one drops the container's reference either way;
    // kept for callers that configure it.
    bool GetOwnObjects() const noexcept { return FOwnObjects.load(); }
    void SetOwnObjects(bool value) noexcept { FOwnObjects.store(value); }

    void Clear() override
    {
        auto entries = this->TakeAll();
        // Last to first, outside the lock.
        while (!entries.empty())
        {
            entries.pop_back();
        }
    }

    // A copy of the entries, front to back, taken under the lock.
    std::vector<std::shared_ptr<T>> Snapshot() const
    {
        std::lock_guard guard(this->FLock);
        return this->FList;
    }

private:
    std::atomic<bool> FOwnObjects{false};
};

// ---- Queues of items ----
class TkbzQueueBase : public TkbzQueueCommon<TkbzQueueItemBase>
{
public:
    // Appends; no duplicate check. A null item is ignored.
    virtual void AddItem(TkbzQueueItem item);
    // Removes the first entry with this identifier; true when one was removed.
    bool DeleteItem(const std::string& id);
    // Removes the first entry with this identifier and hands it over (null when
    // none), so that a caller holding other locks can release it after them.
    TkbzQueueItem TakeItem(const std::string& id);
    // Removes the entry at index; true when index was in range.
    bool DeleteItemByIndex(std::size_t index);
    // The first entry with this identifier (searched from the front), or null.
    TkbzQueueItem GetItem(const std::string& id) const;
    // The entry at index, or null when index is out of range.
    TkbzQueueItem GetItemByIndex(std::size_t index) const;

protected:
    // Position of the first entry with this identifier; FList.size() when none.
    // Call under FLock.
    std::size_t IndexOfID(const std::string& id) const noexcept;
};

class TkbzQueue : public TkbzQueueBase
{
public:
    // Sorts by Order; entries with equal keys keep their relative order.
    void SortByOrder(bool ascending = true);
};

// A queue that evicts its oldest entries to stay within MaxItems.
class TkbzFIFOQueue : public TkbzQueueBase
{
public:
    void AddItem(TkbzQueueItem item) override;

    // 0 or less: unbounded.
    std::int32_t GetMaxItems() const noexcept { return FMaxItems.load(); }
    void SetMaxItems(std::int32_t value) noexcept { FMaxItems.store(value); }

private:
    std::atomic<std::int32_t> FMaxItems{0};
};

// One named queue of a TkbzQueueNameListBase.
class TkbzQueueNameBase : public TkbzQueueBase
{
public:
    TkbzQueueNameBase() { SetOwnObjects(true); }
    explicit TkbzQueueNameBase(std::string name) : FQueueName(std::move(name))
    {
        SetOwnObjects(true);
    }

    std::string GetQueueName() const;
    void SetQueueName(std::string value);

private:
    std::string FQueueName; // under FLock
};

// ---- Cached queue ----
// A queue with a small cache of the most recently found entries in front of
// it. Every operation (cache check, queue lookup, cache insert, delete) is one
// step under the queue's own lock, so the cache never holds an entry that the
// queue no longer has.
class TkbzCacheQueue
{
public:
    TkbzCacheQueue() = default;
    explicit TkbzCacheQueue(std::string queueName, std::int32_t cacheSize = 0);
    TkbzCacheQueue(const TkbzCacheQueue&) = delete;
    TkbzCacheQueue& operator=(const TkbzCacheQueue&) = delete;
    virtual ~TkbzCacheQueue() = default;

    // Appends to the queue (not to the cache). A null item is ignored.
    void AddItem(TkbzQueueItem item);
    // The first entry with this identifier, from the cache when it is there;
    // an entry found in the queue enters the cache, evicting the oldest.
    TkbzQueueItem GetItem(const std::string& id);
    // Removes the entry from the cache and the queue; true when the queue had it.
    bool DeleteItem(const std::string& id);
    // As DeleteItem, handing the queue's entry over (null when none).
    TkbzQueueItem TakeItem(const std::string& id);
    TkbzQueueItem GetItemByIndex(std::size_t index) const;
    void Clear();
    std::size_t Count() const;
    bool IsEmpty() const { return Count() == 0; }
    std::vector<TkbzQueueItem> Snapshot() const;

    // Entries the cache keeps; 0 or less: no cache. Changing it empties the cache.
    std::int32_t GetCacheSize() const noexcept { return FCache.GetMaxItems(); }
    void SetCacheSize(std::int32_t value);
    bool GetOwnObjects() const noexcept { return FQueue.GetOwnObjects(); }
    void SetOwnObjects(bool value) noexcept { FQueue.SetOwnObjects(value); }
    std::string GetQueueName() const;
    void SetQueueName(std::string value);

    // The cache, for inspection.
    const TkbzFIFOQueue& Cache() const noexcept { return FCache; }

private:
    mutable TkbzCriticalSection FLock;
    std::string FQueueName; // under FLock
    TkbzFIFOQueue FCache;
    TkbzQueue FQueue;
};

// ---- Bucketed list of cached queues ----
// Items are filed in buckets (TkbzCacheQueue) named by the first GroupLevel
// characters (bytes) of their identifier. Every operation runs under the list
// lock: a bucket is created by AddItem only, a lookup of an unknown identifier
// creates nothing, and a bucket left empty by DeleteItem is removed, so the
// list never grows with identifiers that are not in it.
class TkbzCacheQueueListBase : public TkbzQueueCommon<TkbzCacheQueue>
{
public:
    TkbzCacheQueueListBase() { SetOwnObjects(true); }

    void AddItem(TkbzQueueItem item);
    TkbzQueueItem GetItem(const std::string& id);
    bool DeleteItem(const std::string& id);
    // Items in all buckets.
    std::size_t Count() const;
    // Number of buckets.
    std::size_t BucketCount() const { return TkbzQueueCommon<TkbzCacheQueue>::Count(); }
    // Every item, bucket by bucket.
    std::vector<TkbzQueueItem> Items() const;

    // Cache size of every bucket; applies to the existing buckets too.
    std::int32_t GetCacheSize() const noexcept { return FCacheSize.load(); }
    void SetCacheSize(std::int32_t value);
    // Leading identifier characters that name a bucket; 0 or less: one bucket.
    // Changing it files the existing items again.
    std::int32_t GetGroupLevel() const noexcept { return FGroupLevel.load(); }
    void SetGroupLevel(std::int32_t value);

    // The bucket key of an identifier.
    std::string BucketKey(const std::string& id) const;

private:
    // Under FLock. With create, a missing bucket is made and appended.
    std::shared_ptr<TkbzCacheQueue> FindBucket(const std::string& key, bool create);

    std::atomic<std::int32_t> FCacheSize{0};
    std::atomic<std::int32_t> FGroupLevel{1};
};

class TkbzCacheQueueList
{
public:
    TkbzCacheQueueList() = default;
    TkbzCacheQueueList(std::int32_t cacheSize, std::int32_t groupLevel)
    {
        FQueueCache.SetCacheSize(cacheSize);
        FQueueCache.SetGroupLevel(groupLevel);
    }
    TkbzCacheQueueList(const TkbzCacheQueueList&) = delete;
    TkbzCacheQueueList& operator=(const TkbzCacheQueueList&) = delete;
    virtual ~TkbzCacheQueueList() = default;

    void AddItem(TkbzQueueItem item) { FQueueCache.AddItem(std::move(item)); }
    bool DeleteItem(const std::string& id) { return FQueueCache.DeleteItem(id); }
    TkbzQueueItem GetItem(const std::string& id) { return FQueueCache.GetItem(id); }
    std::size_t Count() const { return FQueueCache.Count(); }
    std::vector<TkbzQueueItem> Items() const { return FQueueCache.Items(); }
    void Clear() { FQueueCache.Clear(); }
    std::int32_t GetCacheSize() const noexcept { return FQueueCache.GetCacheSize(); }
    void SetCacheSize(std::int32_t value) { FQueueCache.SetCacheSize(value); }
    std::int32_t GetGroupLevel() const noexcept { return FQueueCache.GetGroupLevel(); }
    void SetGroupLevel(std::int32_t value) { FQueueCache.SetGroupLevel(value); }

    TkbzCacheQueueListBase& QueueCache() noexcept { return FQueueCache; }

private:
    TkbzCacheQueueListBase FQueueCache;
};

// ---- List of named queues ----
// Every operation runs under the list lock. Only GetQueueByName and AddItem
// create queues; a queue that DeleteItem leaves empty is removed, so names
// that nobody uses any more do not pile up.
class TkbzQueueNameListBase : public TkbzQueueCommon<TkbzQueueNameBase>
{
public:
    TkbzQueueNameListBase() { SetOwnObjects(true); }

    // The queue with this name (exact comparison), created when missing.
    std::shared_ptr<TkbzQueueNameBase> GetQueueByName(const std::string& name);
    // The queue with this name, or null; creates nothing.
    std::shared_ptr<TkbzQueueNameBase> FindQueueByName(const std::string& name) const;
    // Appends to the queue named by the item's Queue (created when missing)
    // unless that queue has an entry with the same identifier; true when appended.
    bool AddItem(TkbzQueueNameItem item);
    // Deletes the identifier from every queue, last queue first; true when any
    // entry was removed.
    bool DeleteItem(const std::string& id);
    // Deletes the identifier from the last queue with that name; true when such
    // a queue exists, whether or not it held the identifier.
    bool DeleteItem(const std::string& queueName, const std::string& id);
    // Items in all queues.
    std::size_t Count() const;
    // Number of queues.
    std::size_t QueueCount() const { return TkbzQueueCommon<TkbzQueueNameBase>::Count(); }
    // The entries of the named queue, front to back; empty when there is no such queue.
    std::vector<TkbzQueueItem> GetQueueItems(const std::string& name) const;
    // The entry with this identifier of every queue that has one, last queue first.
    std::vector<TkbzQueueItem> GetItemsByID(const std::string& id) const;
    // The names of all queues, last queue first, comma-separated; a name with
    // blanks, control characters, commas or double quotes is quoted ("a ""b""").
    std::string GetQueuesDelimitedText() const;
};

} // namespace kbz
