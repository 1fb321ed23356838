#include "base/kbzWebSocket_Classes_Queues.h"

#include <chrono>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace kbz;
using namespace std::chrono_literals;

namespace
{

TkbzQueueItem Item(const std::string& id, std::int64_t order = 0)
{
    return std::make_shared<TkbzQueueItemBase>(id, order);
}

TkbzQueueNameItem NamedItem(const std::string& queue, const std::string& id)
{
    return std::make_shared<TkbzQueueNameItemBase>(queue, id);
}

// The identifiers of a queue's entries, front to back.
template <class Q> std::vector<std::string> IDs(const Q& queue)
{
    std::vector<std::string> ids;
    for (const auto& item : queue.Snapshot())
    {
        ids.push_back(item->GetID());
    }
    return ids;
}

using Strings = std::vector<std::string>;

} // namespace

TEST(TkbzQueue, LookupAndDeleteByIdentifierAndIndex)
{
    TkbzQueue q;
    const auto first = Item("a");
    const auto second = Item("a"); // duplicates are accepted
    q.AddItem(first);
    q.AddItem(Item("b"));
    q.AddItem(second);
    q.AddItem(nullptr); // ignored
    ASSERT_EQ(q.Count(), 3u);

    EXPECT_EQ(q.GetItem("a"), first);   // the first from the front
    EXPECT_EQ(q.GetItem("A"), nullptr); // exact comparison
    EXPECT_EQ(q.GetItem("zz"), nullptr);
    EXPECT_EQ(q.GetItemByIndex(1)->GetID(), "b");
    EXPECT_EQ(q.GetItemByIndex(3), nullptr);

    EXPECT_TRUE(q.DeleteItem("a"));
    EXPECT_EQ(q.GetItem("a"), second);
    EXPECT_FALSE(q.DeleteItem("zz"));
    EXPECT_FALSE(q.DeleteItemByIndex(2));
    EXPECT_TRUE(q.DeleteItemByIndex(0));
    EXPECT_EQ(IDs(q), Strings{"a"});

    // An item handed out stays valid after the container dropped it.
    const std::weak_ptr<TkbzQueueItemBase> watch = first;
    q.Clear();
    EXPECT_TRUE(q.IsEmpty());
    EXPECT_EQ(first->GetID(), "a");
    EXPECT_FALSE(watch.expired());
}

TEST(TkbzQueue, SortByOrderIsStableBothWays)
{
    struct Case
    {
        bool ascending;
        Strings expected; // m1 and m2 share a key and keep their order
    };
    const Case cases[] = {
        {true, {"m1", "m2", "x", "y", "z"}},
        {false, {"z", "y", "x", "m1", "m2"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.ascending ? "ascending" : "descending");
        TkbzQueue q;
        q.AddItem(Item("z", 9));
        q.AddItem(Item("m1", -5));
        q.AddItem(Item("x", 0));
        q.AddItem(Item("y", 3));
        q.AddItem(Item("m2", -5));
        q.SortByOrder(c.ascending);
        EXPECT_EQ(IDs(q), c.expected);
    }
}

TEST(TkbzFIFOQueue, EvictsTheOldestWhenFull)
{
    struct Case
    {
        std::int32_t maxItems;
        Strings added;
        Strings expected;
    };
    const Case cases[] = {
        {2, {"A", "B", "C"}, {"B", "C"}},           {1, {"A", "B", "C"}, {"C"}},
        {0, {"A", "B", "C"}, {"A", "B", "C"}},  // unbounded
        {-1, {"A", "B", "C"}, {"A", "B", "C"}}, // unbounded
        {3, {"A", "A", "B", "C"}, {"A", "B", "C"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << "MaxItems " << c.maxItems);
        TkbzFIFOQueue q;
        q.SetMaxItems(c.maxItems);
        for (const auto& id : c.added)
        {
            q.AddItem(Item(id));
        }
        EXPECT_EQ(IDs(q), c.expected);
    }

    // Lowering the bound takes effect at the next addition.
    TkbzFIFOQueue q;
    for (const auto* id : {"A", "B", "C", "D"})
    {
        q.AddItem(Item(id));
    }
    q.SetMaxItems(2);
    q.AddItem(Item("E"));
    EXPECT_EQ(IDs(q), (Strings{"D", "E"}));
}

TEST(TkbzCacheQueue, KeepsTheMostRecentlyFoundAndForgetsDeletedItems)
{
    TkbzCacheQueue q("", 1);
    const auto x = Item("X");
    const auto y = Item("Y");
    q.AddItem(x);
    q.AddItem(y);
    EXPECT_EQ(q.Cache().Count(), 0u); // adding does not fill the cache

    EXPECT_EQ(q.GetItem("X"), x);
    EXPECT_EQ(q.GetItem("Y"), y);
    EXPECT_EQ(IDs(q.Cache()), Strings{"Y"});
    EXPECT_EQ(q.Count(), 2u);
    EXPECT_EQ(q.GetItem("nope"), nullptr);
    EXPECT_EQ(IDs(q.Cache()), Strings{"Y"});

    // A deleted item is gone from the cache too, also after the cache was
    // switched off and on again in between.
    q.SetCacheSize(0);
    EXPECT_TRUE(q.DeleteItem("Y"));
    q.SetCacheSize(4);
    EXPECT_EQ(q.GetItem("Y"), nullptr);
    EXPECT_FALSE(q.DeleteItem("Y"));

    EXPECT_EQ(q.GetItem("X"), x);
    EXPECT_TRUE(q.DeleteItem("X"));
    EXPECT_EQ(q.GetItem("X"), nullptr);
    EXPECT_EQ(q.Cache().Count(), 0u);
    EXPECT_EQ(q.Count(), 0u);
}

TEST(TkbzCacheQueueListBase, FilesItemsInBucketsByIdentifierPrefix)
{
    TkbzCacheQueueListBase list;
    list.SetCacheSize(2);
    list.SetGroupLevel(1);
    const auto a1 = Item("A1B2C3D4E5F60718293A4B5C6D7E8F90");
    const auto a2 = Item("A0000000000000000000000000000000");
    const auto f1 = Item("F0000000000000000000000000000000");
    list.AddItem(a1);
    list.AddItem(a2);
    list.AddItem(f1);
    EXPECT_EQ(list.BucketCount(), 2u);
    EXPECT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.GetItem(a2->GetID()), a2);
    EXPECT_EQ(list.GetItem(f1->GetID()), f1);

    // Unknown identifiers, in a known bucket or not, create nothing.
    EXPECT_EQ(list.GetItem("A9999999999999999999999999999999"), nullptr);
    EXPECT_EQ(list.GetItem("0000000000000000000000000000000"), nullptr);
    EXPECT_EQ(list.GetItem(""), nullptr);
    EXPECT_FALSE(list.DeleteItem("7777"));
    EXPECT_EQ(list.BucketCount(), 2u);

    // A bucket left empty goes away.
    EXPECT_TRUE(list.DeleteItem(f1->GetID()));
    EXPECT_EQ(list.BucketCount(), 1u);
    EXPECT_EQ(list.GetItem(f1->GetID()), nullptr);

    // Regrouping files the items again: they are still found.
    list.SetGroupLevel(2);
    EXPECT_EQ(list.BucketCount(), 2u); // "A1" and "A0"
    EXPECT_EQ(list.GetItem(a1->GetID()), a1);
    EXPECT_EQ(list.GetItem(a2->GetID()), a2);
    list.SetGroupLevel(0);
    EXPECT_EQ(list.BucketCount(), 1u);
    EXPECT_EQ(list.BucketKey(a1->GetID()), "");
    EXPECT_EQ(list.GetItem(a1->GetID()), a1);
    EXPECT_EQ(list.Count(), 2u);

    // Short identifiers key by what they have.
    list.SetGroupLevel(3);
    EXPECT_EQ(list.BucketKey("x"), "x");
    list.AddItem(Item("x"));
    EXPECT_NE(list.GetItem("x"), nullptr);
}

TEST(TkbzCacheQueueList, ForwardsToItsBucketedList)
{
    TkbzCacheQueueList list(100, 1);
    EXPECT_EQ(list.GetCacheSize(), 100);
    EXPECT_EQ(list.GetGroupLevel(), 1);
    const auto item = Item("0123456789ABCDEF0123456789ABCDEF");
    list.AddItem(item);
    EXPECT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.GetItem(item->GetID()), item);
    EXPECT_EQ(list.Items().size(), 1u);
    EXPECT_TRUE(list.DeleteItem(item->GetID()));
    EXPECT_EQ(list.GetItem(item->GetID()), nullptr);
    EXPECT_EQ(list.Count(), 0u);
}

// Threads share buckets and caches; each adds, finds (filling the cache) and
// deletes its own items. A cache that could keep an entry its queue no longer
// has, or a lookup that saw half an operation, shows up as a stale find.
TEST(TkbzCacheQueueListBase, ConcurrentUseNeverFindsDeletedItems)
{
    TkbzCacheQueueListBase list;
    list.SetCacheSize(4);
    list.SetGroupLevel(1);
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::future<int>> workers;
    for (int t = 0; t < kThreads; ++t)
    {
        workers.push_back(std::async(std::launch::async, [&list, t] {
            int faults = 0;
            for (int i = 0; i < kRounds; ++i)
            {
                // Same first character for every thread: all share a bucket.
                const std::string id = "A" + std::to_string(t) + "-" + std::to_string(i);
                const auto item = Item(id);
                list.AddItem(item);
                faults += list.GetItem(id) == item ? 0 : 1;
                faults += list.DeleteItem(id) ? 0 : 1;
                faults += list.GetItem(id) == nullptr ? 0 : 1;
            }
            return faults;
        }));
    }
    for (auto& w : workers)
    {
        ASSERT_EQ(w.wait_for(60s), std::future_status::ready);
        EXPECT_EQ(w.get(), 0);
    }
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(list.BucketCount(), 0u);
}

// An item released by a container may run code that uses the container from
// another thread; it must not find the container (or an outer one) locked.
TEST(TkbzQueue, ReleasesItemsOutsideItsLocks)
{
    struct Probe : TkbzQueueNameItemBase
    {
        Probe(std::string id, std::function<void()> onRelease)
            : TkbzQueueNameItemBase("q", std::move(id)), OnRelease(std::move(onRelease))
        {}
        ~Probe() override { OnRelease(); }
        std::function<void()> OnRelease;
    };
    using Release = std::function<void()>;
    struct Case
    {
        const char* name;
        std::function<void(Release)> add;
        std::function<void()> drop;
        std::function<std::size_t()> count;
    };
    TkbzQueue queue;
    TkbzFIFOQueue fifo;
    fifo.SetMaxItems(1);
    TkbzCacheQueue cached("", 1);
    TkbzCacheQueueListBase buckets;
    buckets.SetCacheSize(1);
    TkbzQueueNameListBase named;
    const Case cases[] = {
        {"queue delete", [&](Release r) { queue.AddItem(std::make_shared<Probe>("P", r)); },
         [&] { queue.DeleteItem("P"); }, [&] { return queue.Count(); }},
        {"queue clear", [&](Release r) { queue.AddItem(std::make_shared<Probe>("P", r)); },
         [&] { queue.Clear(); }, [&] { return queue.Count(); }},
        {"fifo eviction", [&](Release r) { fifo.AddItem(std::make_shared<Probe>("P", r)); },
         [&] { fifo.AddItem(Item("next")); }, [&] { return fifo.Count(); }},
        {"cached delete",
         [&](Release r) {
             cached.AddItem(std::make_shared<Probe>("P", r));
             cached.GetItem("P"); // in the cache as well
         },
         [&] { cached.DeleteItem("P"); }, [&] { return cached.Count(); }},
        {"cached clear", [&](Release r) { cached.AddItem(std::make_shared<Probe>("P", r)); },
         [&] { cached.Clear(); }, [&] { return cached.Count(); }},
        {"bucket delete",
         [&](Release r) {
             buckets.AddItem(std::make_shared<Probe>("P", r));
             buckets.GetItem("P");
         },
         [&] { buckets.DeleteItem("P"); }, [&] { return buckets.Count(); }},
        {"named delete everywhere",
         [&](Release r) { named.AddItem(std::make_shared<Probe>("P", r)); },
         [&] { named.DeleteItem("P"); }, [&] { return named.Count(); }},
        {"named delete in one queue",
         [&](Release r) { named.AddItem(std::make_shared<Probe>("P", r)); },
         [&] { named.DeleteItem("q", "P"); }, [&] { return named.Count(); }},
    };
    // Outlives nothing it uses: destroyed before the containers, after the
    // drops have returned (and so released any lock).
    std::vector<std::future<std::size_t>> pending;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        bool unlocked = false;
        c.add([&] {
            auto other = std::async(std::launch::async, c.count);
            unlocked = other.wait_for(5s) == std::future_status::ready;
            pending.push_back(std::move(other));
        });
        c.drop();
        EXPECT_TRUE(unlocked);
    }
}

TEST(TkbzQueueNameListBase, NamedQueues)
{
    TkbzQueueNameListBase list;
    EXPECT_TRUE(list.AddItem(NamedItem("news", "c1")));
    EXPECT_FALSE(list.AddItem(NamedItem("news", "c1"))); // same ID in one queue
    EXPECT_TRUE(list.AddItem(NamedItem("news", "c2")));
    EXPECT_TRUE(list.AddItem(NamedItem("chat", "c1")));
    EXPECT_TRUE(list.AddItem(NamedItem("News", "c3"))); // names compare exactly
    EXPECT_EQ(list.QueueCount(), 3u);
    EXPECT_EQ(list.Count(), 4u);

    EXPECT_EQ(IDs(*list.FindQueueByName("news")), (Strings{"c1", "c2"}));
    EXPECT_EQ(list.FindQueueByName("nobody"), nullptr);
    EXPECT_TRUE(list.GetQueueItems("nobody").empty());
    EXPECT_EQ(list.QueueCount(), 3u); // looking did not create anything
    EXPECT_EQ(list.GetQueueItems("news").size(), 2u);

    // The entries with one ID, last queue first.
    const auto withC1 = list.GetItemsByID("c1");
    ASSERT_EQ(withC1.size(), 2u);
    EXPECT_EQ(std::dynamic_pointer_cast<TkbzQueueNameItemBase>(withC1[0])->GetQueue(), "chat");
    EXPECT_EQ(std::dynamic_pointer_cast<TkbzQueueNameItemBase>(withC1[1])->GetQueue(), "news");

    EXPECT_TRUE(list.DeleteItem("news", "missing")); // the queue exists
    EXPECT_FALSE(list.DeleteItem("nobody", "c1"));   // it does not
    EXPECT_EQ(list.Count(), 4u);

    // Deleting an ID everywhere; queues left empty go.
    EXPECT_TRUE(list.DeleteItem("c1"));
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.FindQueueByName("chat"), nullptr);
    EXPECT_FALSE(list.DeleteItem("c1"));
    EXPECT_TRUE(list.DeleteItem("News", "c3"));
    EXPECT_EQ(list.FindQueueByName("News"), nullptr);
    EXPECT_EQ(list.QueueCount(), 1u);

    // GetQueueByName creates on demand.
    const auto created = list.GetQueueByName("empty");
    EXPECT_EQ(created->GetQueueName(), "empty");
    EXPECT_EQ(list.GetQueueByName("empty"), created);
    EXPECT_EQ(list.QueueCount(), 2u);
}

TEST(TkbzQueueNameListBase, QueuesDelimitedText)
{
    struct Case
    {
        Strings names; // in creation order
        const char* expected;
    };
    const Case cases[] = {
        {{}, ""},
        {{"a"}, "a"},
        {{"a", "b", "c"}, "c,b,a"},
        {{"two words", "x"}, "x,\"two words\""},
        {{"a,b"}, "\"a,b\""},
        {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
        {{"tab\there"}, "\"tab\there\""},
        {{""}, "\"\""},
        {{"", "z"}, "z,"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.expected);
        TkbzQueueNameListBase list;
        for (const auto& name : c.names)
        {
            list.GetQueueByName(name);
        }
        EXPECT_EQ(list.GetQueuesDelimitedText(), c.expected);
    }
}
