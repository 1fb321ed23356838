// Enumerations and constants shared by every layer of the library.
#pragma once

#include "base/kbzWebSocket_Version.h"

#include <cstdint>

namespace kbz
{

// Largest frame or message accepted by default (a connection and component option).
inline constexpr std::int64_t kbzDefaultMaxMessageSize = 64LL * 1024 * 1024;

// ---- How events and timer ticks reach user code ----
enum class TwsNotifyEvent : std::uint8_t
{
    neNoSync,       // on the thread that raised the event
    neAsynchronous, // posted to the main thread's synchronisation queue
    neSynchronous   // the raising thread waits until the main thread ran it
};

// ---- Frames ----
// Declaration order is the ordinal; the wire opcode comes from kbzOpcodeToWire.
enum class TOpcode : std::uint8_t
{
    opContinuation,
    opText,
    opBinary,
    opClose,
    opPing,
    opPong,
    opNone // no data message in progress; never written
};

enum class TPayload : std::uint8_t
{
    pa7bits,
    pa16bits,
    pa64bits
};

enum class TwsSpecification : std::uint8_t
{
    spRFC6455,
    spHixie76,
    spRFC8441
};

enum class TwsTransport : std::uint8_t
{
    trpUndefined,
    trpRFC6455,
    trpHixie76,
    trpFlash,
    trpSSE,
    trpTCP,
    trpHTTP,
    trpRFC8441,
    trpHTTP2,
    trpUDP,
    trpQUIC
};

// Position of one write within a message the application sends in pieces.
enum class TwsStreaming : std::uint8_t
{
    stmNone,
    stmFirst,
    stmContinue,
    stmLast,
    stmContinueAndLast
};

enum class TwsFragmentedMessages : std::uint8_t
{
    frgOnlyBuffer,
    frgOnlyFragmented,
    frgAll
};

enum class TwsQueueMsgLevels : std::uint8_t
{
    qmNone,
    qmLevel0,
    qmLevel1,
    qmLevel2
};

enum class TwsApplicationMode : std::uint8_t
{
    appNone,
    appServer,
    appClient
};

// ---- Transport ----
enum class TtcpEOFScanBuffer : std::uint8_t
{
    eofScanNone,
    eofScanLatestBytes,
    eofScanAllBytes
};

enum class TkbzTCPMode : std::uint8_t
{
    tcpmDefault,
    tcpmCommands
};

enum class TwsIPVersion : std::uint8_t
{
    ipV4,
    ipV6
};

enum class TwsTLSVersions : std::uint8_t
{
    tlsUndefined,
    tls1_0,
    tls1_1,
    tls1_2,
    tls1_3
};

enum class TwsTLSIOHandler : std::uint8_t
{
    iohOpenSSL,
    iohSChannel
};

enum class TwsOpenSSLAPI : std::uint8_t
{
    oslAPI_1_0,
    oslAPI_1_1,
    oslAPI_3_0
};

enum class TwsOpenSSLLibPath : std::uint8_t
{
    oslpNone,
    oslpDefaultFolder,
    oslpCustomPath
};

enum class TwsOpenSSLSymLinks : std::uint8_t
{
    oslsSymLinksDefault,
    oslsSymLinksLoadFirst,
    oslsSymLinksLoad,
    oslsSymLinksDontLoad
};

enum class TwsProxy : std::uint8_t
{
    pxyHTTP,
    pxySocks4,
    pxySocks4A,
    pxySocks5
};

enum class TkbzSChannelCertStoreName : std::uint8_t
{
    scsnMY,
    scsnRoot,
    scsnTrust,
    scsnCA
};

enum class TkbzSChannelCertStorePath : std::uint8_t
{
    scspStoreCurrentUser,
    scspStoreLocalMachine
};

} // namespace kbz
