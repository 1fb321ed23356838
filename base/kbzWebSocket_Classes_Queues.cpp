#include "base/kbzWebSocket_Classes_Queues.h"

#include <algorithm>
#include <mutex>

namespace kbz
{

// ---- TkbzQueueBase ----

std::size_t TkbzQueueBase::IndexOfID(const std::string& id) const noexcept
{
    for (std::size_t i = 0; i < FList.size(); ++i)
    {
        if (FList[i]->GetID() == id)
        {
            return i;
        }
    }
    return FList.size();
}

void TkbzQueueBase::AddItem(TkbzQueueItem item)
{
    if (!item)
    {
        return;
    }
    std::lock_guard guard(FLock);
    FList.push_back(std::move(item));
}

bool TkbzQueueBase::DeleteItem(const std::string& id)
{
    return TakeItem(id) != nullptr; // released here, after the lock
}

TkbzQueueItem TkbzQueueBase::TakeItem(const std::string& id)
{
    std::lock_guard guard(FLock);
    const std::size_t i = IndexOfID(id);
    if (i == FList.size())
    {
        return nullptr;
    }
    TkbzQueueItem removed = std::move(FList[i]);
    FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(i));
    return removed;
}

bool TkbzQueueBase::DeleteItemByIndex(std::size_t index)
{
    TkbzQueueItem removed;
    std::lock_guard guard(FLock);
    if (index >= FList.size())
    {
        return false;
    }
    removed = std::move(FList[index]);
    FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

TkbzQueueItem TkbzQueueBase::GetItem(const std::string& id) const
{
    std::lock_guard guard(FLock);
    const std::size_t i = IndexOfID(id);
    return i < FList.size() ? FList[i] : nullptr;
}

TkbzQueueItem TkbzQueueBase::GetItemByIndex(std::size_t index) const
{
    std::lock_guard guard(FLock);
    return index < FList.size() ? FList[index] : nullptr;
}

// ---- TkbzQueue ----

void TkbzQueue::SortByOrder(bool ascending)
{
    std::lock_guard guard(FLock);
    // Keys are read once: another thread may change an item's Order meanwhile,
    // and a comparison that changes its mind breaks the sort.
    std::vector<std::pair<std::int64_t, TkbzQueueItem>> keyed;
    keyed.reserve(FList.size());
    for (auto& item : FList)
    {
        keyed.emplace_back(item->GetOrder(), std::move(item));
    }
    std::stable_sort(keyed.begin(), keyed.end(), [ascending](const auto& a, const auto& b) {
        return ascending ? a.first < b.first : a.first > b.first;
    });
    for (std::size_t i = 0; i < keyed.size(); ++i)
    {
        FList[i] = std::move(keyed[i].second);
    }
}

// ---- TkbzFIFOQueue ----

void TkbzFIFOQueue::AddItem(TkbzQueueItem item)
{
    if (!item)
    {
        return;
    }
    std::vector<TkbzQueueItem> evicted; // released after the lock
    std::lock_guard guard(FLock);
    const std::int32_t maxItems = GetMaxItems();
    if (maxItems > 0)
    {
        const auto limit = static_cast<std::size_t>(maxItems);
        while (FList.size() >= limit)
        {
            evicted.push_back(std::move(FList.front()));
            FList.erase(FList.begin());
        }
    }
    FList.push_back(std::move(item));
}

// ---- TkbzQueueNameBase ----

std::string TkbzQueueNameBase::GetQueueName() const
{
    std::lock_guard guard(FLock);
    return FQueueName;
}

void TkbzQueueNameBase::SetQueueName(std::string value)
{
    std::lock_guard guard(FLock);
    FQueueName = std::move(value);
}

// ---- TkbzCacheQueue ----

TkbzCacheQueue::TkbzCacheQueue(std::string queueName, std::int32_t cacheSize)
    : FQueueName(std::move(queueName))
{
    FCache.SetMaxItems(cacheSize);
}

void TkbzCacheQueue::AddItem(TkbzQueueItem item)
{
    std::lock_guard guard(FLock);
    FQueue.AddItem(std::move(item));
}

TkbzQueueItem TkbzCacheQueue::GetItem(const std::string& id)
{
    std::lock_guard guard(FLock);
    if (FCache.GetMaxItems() <= 0)
    {
        return FQueue.GetItem(id);
    }
    if (auto cached = FCache.GetItem(id))
    {
        return cached;
    }
    auto found = FQueue.GetItem(id);
    if (found)
    {
        FCache.AddItem(found);
    }
    return found;
}

bool TkbzCacheQueue::DeleteItem(const std::string& id)
{
    return TakeItem(id) != nullptr; // released here, after the lock
}

TkbzQueueItem TkbzCacheQueue::TakeItem(const std::string& id)
{
    std::lock_guard guard(FLock);
    // Always from the cache too, even with the cache switched off since: a
    // cache that outlived its queue entry would hand out a deleted item.
    FCache.DeleteItem(id); // not the last reference: the queue still has it
    return FQueue.TakeItem(id);
}

TkbzQueueItem TkbzCacheQueue::GetItemByIndex(std::size_t index) const
{
    std::lock_guard guard(FLock);
    return FQueue.GetItemByIndex(index);
}

void TkbzCacheQueue::Clear()
{
    std::vector<TkbzQueueItem> removed; // released after the lock
    std::lock_guard guard(FLock);
    FCache.Clear();
    removed = FQueue.TakeAll();
}

std::size_t TkbzCacheQueue::Count() const
{
    std::lock_guard guard(FLock);
    return FQueue.Count();
}

std::vector<TkbzQueueItem> TkbzCacheQueue::Snapshot() const
{
    std::lock_guard guard(FLock);
    return FQueue.Snapshot();
}

void TkbzCacheQueue::SetCacheSize(std::int32_t value)
{
    std::lock_guard guard(FLock);
    if (value != FCache.GetMaxItems())
    {
        FCache.Clear();
        FCache.SetMaxItems(value);
    }
}

std::string TkbzCacheQueue::GetQueueName() const
{
    std::lock_guard guard(FLock);
    return FQueueName;
}

void TkbzCacheQueue::SetQueueName(std::string value)
{
    std::lock_guard guard(FLock);
    FQueueName = std::move(value);
}

// ---- TkbzCacheQueueListBase ----

std::string TkbzCacheQueueListBase::BucketKey(const std::string& id) const
{
    const std::int32_t level = GetGroupLevel();
    if (level <= 0)
    {
        return {};
    }
    return id.substr(0, static_cast<std::size_t>(level));
}

std::shared_ptr<TkbzCacheQueue> TkbzCacheQueueListBase::FindBucket(const std::string& key,
                                                                   bool create)
{
    for (const auto& bucket : FList)
    {
        if (bucket->GetQueueName() == key)
        {
            return bucket;
        }
    }
    if (!create)
    {
        return nullptr;
    }
    auto bucket = std::make_shared<TkbzCacheQueue>(key, GetCacheSize());
    bucket->SetOwnObjects(true);
    FList.push_back(bucket);
    return bucket;
}

void TkbzCacheQueueListBase::AddItem(TkbzQueueItem item)
{
    if (!item)
    {
        return;
    }
    std::lock_guard guard(FLock);
    FindBucket(BucketKey(item->GetID()), true)->AddItem(std::move(item));
}

TkbzQueueItem TkbzCacheQueueListBase::GetItem(const std::string& id)
{
    std::lock_guard guard(FLock);
    const auto bucket = FindBucket(BucketKey(id), false);
    return bucket ? bucket->GetItem(id) : nullptr;
}

bool TkbzCacheQueueListBase::DeleteItem(const std::string& id)
{
    // Released after the lock, in this order.
    std::shared_ptr<TkbzCacheQueue> emptied;
    TkbzQueueItem removed;
    std::lock_guard guard(FLock);
    const auto bucket = FindBucket(BucketKey(id), false);
    if (!bucket || !(removed = bucket->TakeItem(id)))
    {
        return false;
    }
    if (bucket->IsEmpty())
    {
        emptied = bucket;
        FList.erase(std::find(FList.begin(), FList.end(), bucket));
    }
    return true;
}

std::size_t TkbzCacheQueueListBase::Count() const
{
    std::lock_guard guard(FLock);
    std::size_t total = 0;
    for (const auto& bucket : FList)
    {
        total += bucket->Count();
    }
    return total;
}

std::vector<TkbzQueueItem> TkbzCacheQueueListBase::Items() const
{
    std::lock_guard guard(FLock);
    std::vector<TkbzQueueItem> items;
    for (const auto& bucket : FList)
    {
        auto part = bucket->Snapshot();
        items.insert(items.end(), part.begin(), part.end());
    }
    return items;
}

void TkbzCacheQueueListBase::SetCacheSize(std::int32_t value)
{
    std::lock_guard guard(FLock);
    FCacheSize.store(value);
    for (const auto& bucket : FList)
    {
        bucket->SetCacheSize(value);
    }
}

void TkbzCacheQueueListBase::SetGroupLevel(std::int32_t value)
{
    std::vector<std::shared_ptr<TkbzCacheQueue>> old; // released after the lock
    std::lock_guard guard(FLock);
    if (value == FGroupLevel.load())
    {
        return;
    }
    FGroupLevel.store(value);
    // Items filed under the old keys would no longer be found: file them again.
    old.swap(FList);
    for (const auto& bucket : old)
    {
        for (auto& item : bucket->Snapshot())
        {
            FindBucket(BucketKey(item->GetID()), true)->AddItem(std::move(item));
        }
    }
}

// ---- TkbzQueueNameListBase ----

std::shared_ptr<TkbzQueueNameBase>
TkbzQueueNameListBase::FindQueueByName(const std::string& name) const
{
    std::lock_guard guard(FLock);
    for (const auto& queue : FList)
    {
        if (queue->GetQueueName() == name)
        {
            return queue;
        }
    }
    return nullptr;
}

std::shared_ptr<TkbzQueueNameBase> TkbzQueueNameListBase::GetQueueByName(const std::string& name)
{
    std::lock_guard guard(FLock);
    if (auto queue = FindQueueByName(name))
    {
        return queue;
    }
    auto queue = std::make_shared<TkbzQueueNameBase>(name);
    FList.push_back(queue);
    return queue;
}

bool TkbzQueueNameListBase::AddItem(TkbzQueueNameItem item)
{
    if (!item)
    {
        return false;
    }
    std::lock_guard guard(FLock);
    const auto queue = GetQueueByName(item->GetQueue());
    if (queue->GetItem(item->GetID()))
    {
        return false;
    }
    queue->AddItem(std::move(item));
    return true;
}

bool TkbzQueueNameListBase::DeleteItem(const std::string& id)
{
    // Released after the lock.
    std::vector<std::shared_ptr<TkbzQueueNameBase>> emptied;
    std::vector<TkbzQueueItem> removed;
    std::lock_guard guard(FLock);
    for (std::size_t i = FList.size(); i-- > 0;)
    {
        if (auto item = FList[i]->TakeItem(id))
        {
            removed.push_back(std::move(item));
            if (FList[i]->IsEmpty())
            {
                emptied.push_back(std::move(FList[i]));
                FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    return !removed.empty();
}

bool TkbzQueueNameListBase::DeleteItem(const std::string& queueName, const std::string& id)
{
    // Released after the lock.
    std::shared_ptr<TkbzQueueNameBase> emptied;
    TkbzQueueItem removed;
    std::lock_guard guard(FLock);
    for (std::size_t i = FList.size(); i-- > 0;)
    {
        if (FList[i]->GetQueueName() == queueName)
        {
            removed = FList[i]->TakeItem(id);
            if (removed && FList[i]->IsEmpty())
            {
                emptied = std::move(FList[i]);
                FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(i));
            }
            return true;
        }
    }
    return false;
}

std::size_t TkbzQueueNameListBase::Count() const
{
    std::lock_guard guard(FLock);
    std::size_t total = 0;
    for (const auto& queue : FList)
    {
        total += queue->Count();
    }
    return total;
}

std::vector<TkbzQueueItem> TkbzQueueNameListBase::GetQueueItems(const std::string& name) const
{
    std::lock_guard guard(FLock);
    const auto queue = FindQueueByName(name);
    return queue ? queue->Snapshot() : std::vector<TkbzQueueItem>{};
}

std::vector<TkbzQueueItem> TkbzQueueNameListBase::GetItemsByID(const std::string& id) const
{
    std::lock_guard guard(FLock);
    std::vector<TkbzQueueItem> items;
    for (std::size_t i = FList.size(); i-- > 0;)
    {
        if (auto item = FList[i]->GetItem(id))
        {
            items.push_back(std::move(item));
        }
    }
    return items;
}

namespace
{
bool NeedsQuotes(const std::string& name) noexcept
{
    return std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == ',' || c == '"';
    });
}

std::string Quoted(const std::string& name)
{
    std::string out = "\"";
    for (char c : name)
    {
        out += c;
        if (c == '"')
        {
            out += '"';
        }
    }
    out += '"';
    return out;
}
} // namespace

std::string TkbzQueueNameListBase::GetQueuesDelimitedText() const
{
    std::lock_guard guard(FLock);
    if (FList.size() == 1 && FList.front()->GetQueueName().empty())
    {
        return "\"\""; // one empty name, told apart from no names at all
    }
    std::string text;
    for (std::size_t i = FList.size(); i-- > 0;)
    {
        const std::string name = FList[i]->GetQueueName();
        if (i + 1 < FList.size())
        {
            text += ',';
        }
        text += NeedsQuotes(name) ? Quoted(name) : name;
    }
    return text;
}

} // namespace kbz
