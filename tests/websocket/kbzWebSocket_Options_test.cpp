#include "websocket/kbzWebSocket_Options.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

using namespace kbz;

TEST(kbzWebSocket_Options, Defaults)
{
    const TkbzWSLogFile log;
    EXPECT_FALSE(log.Enabled);
    EXPECT_TRUE(log.UnMaskFrames);

    const TkbzWSHeartBeat_Options heartBeat;
    EXPECT_FALSE(heartBeat.Enabled);
    EXPECT_EQ(heartBeat.Interval, 300);
    EXPECT_EQ(heartBeat.Timeout, 0);

    const TkbzWSWatchDogClient_Options watchDog; // the client component sets Interval 10
    EXPECT_FALSE(watchDog.Enabled);
    EXPECT_EQ(watchDog.Interval, 60);
    EXPECT_EQ(watchDog.Attempts, 0);

    const TkbzWSWatchDogServer_Options serverWatchDog;
    EXPECT_FALSE(serverWatchDog.Monitor.Enabled);
    EXPECT_EQ(serverWatchDog.Monitor.Timeout, 10);

    const TkbzWSQueueOptions queues;
    EXPECT_EQ(queues.Text.Level, TwsQueueMsgLevels::qmNone);
    EXPECT_EQ(queues.Binary.Level, TwsQueueMsgLevels::qmNone);
    EXPECT_EQ(queues.Ping.Level, TwsQueueMsgLevels::qmNone);
    EXPECT_FALSE(queues.AnyQueued());

    const TkbzWSSpecifications specs;
    EXPECT_TRUE(specs.RFC6455);
    EXPECT_FALSE(specs.RFC8441);
    EXPECT_TRUE(specs.Drafts.Hixie76);

    const TkbzWSOptimization_Options opt;
    EXPECT_TRUE(opt.Connections.Enabled);
    EXPECT_EQ(opt.Connections.CacheSize, 100);
    EXPECT_EQ(opt.Connections.GroupLevel, 1);
    EXPECT_TRUE(opt.Channels.Enabled);
    EXPECT_TRUE(opt.ConnectionsFree.Enabled);
    EXPECT_EQ(opt.ConnectionsFree.Interval, 60);

    const TkbzWSOptionsClient options;
    EXPECT_FALSE(options.CleanDisconnect);
    EXPECT_EQ(options.FragmentedMessages, TwsFragmentedMessages::frgOnlyBuffer);
    EXPECT_EQ(options.Origin, "");
    EXPECT_EQ(options.GetParameters(), "/");
    EXPECT_TRUE(options.RaiseDisconnectExceptions);
    EXPECT_FALSE(options.ValidateUTF8);
    EXPECT_EQ(options.MaxMessageSize, 64LL * 1024 * 1024);

    const TkbzWSAuthenticationClient_Options auth;
    EXPECT_FALSE(auth.Enabled);
    EXPECT_EQ(auth.User, "");
    EXPECT_EQ(auth.Password, "");
    EXPECT_TRUE(auth.URL.Enabled);
    EXPECT_FALSE(auth.Session.Enabled);
    EXPECT_FALSE(auth.Basic.Enabled);
    EXPECT_FALSE(auth.Token.Enabled);
    EXPECT_EQ(auth.Token.AuthName, "Bearer");
    EXPECT_EQ(auth.Token.AuthToken, "");
    EXPECT_EQ(auth.Token.JWT, nullptr);
    EXPECT_EQ(auth.Token.OAuth, nullptr);
}

TEST(kbzWebSocket_Options, ParametersReadWithALeadingSlash)
{
    struct Case
    {
        const char* stored;
        const char* read;
    };
    const Case cases[] = {
        {"", "/"},
        {"chat?x=1", "/chat?x=1"},
        {"/chat?x=1", "/chat?x=1"},
        {"//twice", "//twice"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.stored);
        TkbzWSOptionsClient source;
        source.SetParameters(c.stored);
        EXPECT_EQ(source.GetParameters(), c.read);
        TkbzWSOptionsClient target;
        target.Assign(source);
        EXPECT_EQ(target.GetParameters(), c.read);
    }
}

TEST(kbzWebSocket_Options, AssignCopiesTheListedFields)
{
    struct Case
    {
        const char* name;
        std::function<std::unique_ptr<TkbzPersistent>()> makeSource;
        std::function<std::unique_ptr<TkbzPersistent>()> makeTarget;
        std::function<void(const TkbzPersistent&)> check;
    };
    const std::vector<Case> cases = {
        {"WebSocket log file",
         [] {
             auto r = std::make_unique<TkbzWSLogFile>();
             r->Enabled = true;
             r->FileName = "ws.log";
             r->UnMaskFrames = false;
             return r;
         },
         [] { return std::make_unique<TkbzWSLogFile>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzWSLogFile&>(p);
             EXPECT_TRUE(r.Enabled);
             EXPECT_EQ(r.FileName, "ws.log");
             EXPECT_FALSE(r.UnMaskFrames);
         }},
        {"WebSocket log file from a transport log file keeps UnMaskFrames",
         [] {
             auto r = std::make_unique<TkbzTCPLogFile>();
             r->Enabled = true;
             r->FileName = "tcp.log";
             return r;
         },
         [] { return std::make_unique<TkbzWSLogFile>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzWSLogFile&>(p);
             EXPECT_TRUE(r.Enabled);
             EXPECT_EQ(r.FileName, "tcp.log");
             EXPECT_TRUE(r.UnMaskFrames);
         }},
        {"heartbeat",
         [] {
             auto r = std::make_unique<TkbzWSHeartBeat_Options>();
             r->Enabled = true;
             r->Interval = 30;
             r->Timeout = 5;
             return r;
         },
         [] { return std::make_unique<TkbzWSHeartBeat_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzWSHeartBeat_Options&>(p);
             EXPECT_TRUE(r.Enabled);
             EXPECT_EQ(r.Interval, 30);
             EXPECT_EQ(r.Timeout, 5);
         }},
        {"server watchdog with its monitor",
         [] {
             auto r = std::make_unique<TkbzWSWatchDogServer_Options>();
             r->Enabled = true;
             r->Interval = 15;
             r->Attempts = 2;
             r->Monitor.Enabled = true;
             r->Monitor.Timeout = 3;
             return r;
         },
         [] { return std::make_unique<TkbzWSWatchDogServer_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzWSWatchDogServer_Options&>(p);
             EXPECT_TRUE(r.Enabled);
             EXPECT_EQ(r.Interval, 15);
             EXPECT_EQ(r.Attempts, 2);
             EXPECT_TRUE(r.Monitor.Enabled);
             EXPECT_EQ(r.Monitor.Timeout, 3);
         }},
        {"client watchdog from a server watchdog",
         [] {
             auto r = std::make_unique<TkbzWSWatchDogServer_Options>();
             r->Enabled = true;
             r->Interval = 15;
             return r;
         },
         [] { return std::make_unique<TkbzWSWatchDogClient_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzWSWatchDogClient_Options&>(p);
             EXPECT_TRUE(r.Enabled);
             EXPECT_EQ(r.Interval, 15);
         }},
        {"queues",
         [] {
             auto r = std::make_unique<TkbzWSQueueOptions>();
             r->Text.Level = TwsQueueMsgLevels::qmLevel0;
             r->Binary.Level = TwsQueueMsgLevels::qmLevel1;
             r->Ping.Level = TwsQueueMsgLevels::qmLevel2;
             return r;
         },
         [] { return std::make_unique<TkbzWSQueueOptions>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzWSQueueOptions&>(p);
             EXPECT_EQ(r.Text.Level, TwsQueueMsgLevels::qmLevel0);
             EXPECT_EQ(r.Binary.Level, TwsQueueMsgLevels::qmLevel1);
             EXPECT_EQ(r.Ping.Level, TwsQueueMsgLevels::qmLevel2);
             EXPECT_TRUE(r.AnyQueued());
         }},
        {"specifications",
         [] {
             auto r = std::make_unique<TkbzWSSpecifications>();
             r->RFC6455 = false;
             r->RFC8441 = true;
             r->Drafts.Hixie76 = false;
             return r;
         },
         [] { return std::make_unique<TkbzWSSpecifications>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzWSSpecifications&>(p);
             EXPECT_FALSE(r.RFC6455);
             EXPECT_TRUE(r.RFC8441);
             EXPECT_FALSE(r.Drafts.Hixie76);
         }},
        {"optimisations",
         [] {
             auto r = std::make_unique<TkbzWSOptimization_Options>();
             r->Connections.Enabled = false;
             r->Connections.CacheSize = 5;
             r->Connections.GroupLevel = 2;
             r->Channels.Enabled = false;
             r->ConnectionsFree.Enabled = false;
             r->ConnectionsFree.Interval = 9;
             return r;
         },
         [] { return std::make_unique<TkbzWSOptimization_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzWSOptimization_Options&>(p);
             EXPECT_FALSE(r.Connections.Enabled);
             EXPECT_EQ(r.Connections.CacheSize, 5);
             EXPECT_EQ(r.Connections.GroupLevel, 2);
             EXPECT_FALSE(r.Channels.Enabled);
             EXPECT_FALSE(r.ConnectionsFree.Enabled);
             EXPECT_EQ(r.ConnectionsFree.Interval, 9);
         }},
        {"client options",
         [] {
             auto r = std::make_unique<TkbzWSOptionsClient>();
             r->CleanDisconnect = true;
             r->FragmentedMessages = TwsFragmentedMessages::frgAll;
             r->Origin = "http://example.test";
             r->SetParameters("/path?q=1");
             r->RaiseDisconnectExceptions = false;
             r->ValidateUTF8 = true;
             r->MaxMessageSize = 4096;
             return r;
         },
         [] { return std::make_unique<TkbzWSOptionsClient>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzWSOptionsClient&>(p);
             EXPECT_TRUE(r.CleanDisconnect);
             EXPECT_EQ(r.FragmentedMessages, TwsFragmentedMessages::frgAll);
             EXPECT_EQ(r.Origin, "http://example.test");
             EXPECT_EQ(r.GetParameters(), "/path?q=1");
             EXPECT_FALSE(r.RaiseDisconnectExceptions);
             EXPECT_TRUE(r.ValidateUTF8);
             EXPECT_EQ(r.MaxMessageSize, 4096);
         }},
        {"WebSocket TLS and proxy records are their transport records",
         [] {
             auto r = std::make_unique<TkbzWSTLS_Options>();
             r->CertFile = "c.pem";
             r->VerifyCertificate = true;
             r->ALPNProtocols = {"http/1.1"};
             return r;
         },
         [] { return std::make_unique<TkbzWSTLS_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzWSTLS_Options&>(p);
             EXPECT_EQ(r.CertFile, "c.pem");
             EXPECT_TRUE(r.VerifyCertificate);
             EXPECT_EQ(r.ALPNProtocols, std::vector<std::string>{"http/1.1"});
         }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto source = c.makeSource();
        const auto target = c.makeTarget();
        target->Assign(*source);
        c.check(*target);
    }
}

TEST(kbzWebSocket_Options, AuthenticationAssignCopiesSubRecordsButNotTokenSources)
{
    TkbzWSAuthenticationClient_Options source;
    source.Enabled = true;
    source.User = "alice";
    source.Password = "pw";
    source.URL.Enabled = false;
    source.Session.Enabled = true;
    source.Session.ID = "S1";
    source.Session.Extensions = "permessage-deflate";
    source.Session.Protocols = "chat";
    source.Basic.Enabled = true;
    source.Token.Enabled = true;
    source.Token.AuthName = "Token";
    source.Token.AuthToken = "abc";
    int somewhere = 0;
    source.Token.JWT = reinterpret_cast<TkbzHTTPComponentClientAuthToken_Base*>(&somewhere);

    TkbzWSAuthenticationClient_Options target;
    target.Assign(source);
    EXPECT_TRUE(target.Enabled);
    EXPECT_EQ(target.User, "alice");
    EXPECT_EQ(target.Password, "pw");
    EXPECT_FALSE(target.URL.Enabled);
    EXPECT_TRUE(target.Session.Enabled);
    EXPECT_EQ(target.Session.ID, "S1");
    EXPECT_EQ(target.Session.Extensions, "permessage-deflate");
    EXPECT_EQ(target.Session.Protocols, "chat");
    EXPECT_TRUE(target.Basic.Enabled);
    EXPECT_TRUE(target.Token.Enabled);
    EXPECT_EQ(target.Token.AuthName, "Token");
    EXPECT_EQ(target.Token.AuthToken, "abc");
    EXPECT_EQ(target.Token.JWT, nullptr);
}

TEST(kbzWebSocket_Options, AssignFromAnUnrelatedRecordRaises)
{
    struct Case
    {
        std::function<std::unique_ptr<TkbzPersistent>()> makeTarget;
        std::function<std::unique_ptr<TkbzPersistent>()> makeSource;
        const char* message;
    };
    const std::vector<Case> cases = {
        {[] { return std::make_unique<TkbzWSHeartBeat_Options>(); },
         [] { return std::make_unique<TkbzWSWatchDogClient_Options>(); },
         "Cannot assign a TkbzWSWatchDogClient_Options to a TkbzWSHeartBeat_Options"},
        {[] { return std::make_unique<TkbzWSQueueOptions>(); },
         [] { return std::make_unique<TkbzWSQueue>(); },
         "Cannot assign a TkbzWSQueue to a TkbzWSQueueOptions"},
        {[] { return std::make_unique<TkbzWSOptionsClient>(); },
         [] { return std::make_unique<TkbzWSAuthenticationClient_Options>(); },
         "Cannot assign a TkbzWSAuthenticationClient_Options to a TkbzWSOptionsClient"},
        {[] { return std::make_unique<TkbzWSSpecifications>(); },
         [] { return std::make_unique<TkbzWSDrafts>(); },
         "Cannot assign a TkbzWSDrafts to a TkbzWSSpecifications"},
        {[] { return std::make_unique<TkbzWSWatchDogServer_Options>(); },
         [] { return std::make_unique<TkbzWSWatchDogMonitorServer_Options>(); },
         "Cannot assign a TkbzWSWatchDogMonitorServer_Options to a TkbzWSWatchDogServer_Options"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.message);
        const auto target = c.makeTarget();
        const auto source = c.makeSource();
        try
        {
            target->Assign(*source);
            ADD_FAILURE() << "no exception";
        }
        catch (const EConvertAssign& e)
        {
            EXPECT_EQ(e.Message(), c.message);
        }
    }
}

// Records are values: '=' copies a record whole, atomic fields included, while
// the base cannot be assigned (a record is never sliced through it).
TEST(kbzWebSocket_Options, RecordsCopyAsValues)
{
    static_assert(!std::is_copy_assignable_v<TkbzPersistent>);
    static_assert(std::is_copy_assignable_v<TkbzWSHeartBeat_Options>);

    TkbzWSWatchDogServer_Options watchdog;
    watchdog.Enabled = true;
    watchdog.Interval = 5;
    watchdog.Attempts = 3;
    watchdog.Monitor.Enabled = true;
    watchdog.Monitor.Timeout = 2;
    TkbzWSWatchDogServer_Options copy = watchdog;
    EXPECT_TRUE(copy.Enabled);
    EXPECT_EQ(copy.Interval, 5);
    EXPECT_EQ(copy.Attempts, 3);
    EXPECT_TRUE(copy.Monitor.Enabled);
    EXPECT_EQ(copy.Monitor.Timeout, 2);

    TkbzWSAuthenticationClient_Options auth;
    auth.Enabled = true;
    auth.User = "u";
    auth.Token.AuthToken = "t";
    TkbzWSAuthenticationClient_Options other;
    other = auth;
    other.Token.AuthToken = "changed";
    EXPECT_EQ(other.User, "u");
    EXPECT_EQ(auth.Token.AuthToken, "t"); // a copy, not a shared record
}
