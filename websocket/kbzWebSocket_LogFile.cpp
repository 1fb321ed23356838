#include "websocket/kbzWebSocket_LogFile.h"

#include "websocket/kbzWebSocket_Codec.h"

namespace kbz
{

// ---- Base ----

void TkbzIdLogFileBase::WriteLine(std::string_view text) noexcept
{
    std::lock_guard guard(FLock);
    TkbzIdLogFile::WriteLine(text);
}

void TkbzIdLogFileBase::LogSendString(std::string_view data) noexcept
{
    try
    {
        WriteLine("Sent " + DataText(data));
    }
    catch (...)
    {}
}

void TkbzIdLogFileBase::LogRecvString(std::string_view data) noexcept
{
    try
    {
        WriteLine("Recv " + DataText(data));
    }
    catch (...)
    {}
}

void TkbzIdLogFileBase::LogSendDecodedString(std::string_view text) noexcept
{
    LogSendString(text);
}

void TkbzIdLogFileBase::LogRecvDecodedString(std::string_view text) noexcept
{
    LogRecvString(text);
}

std::string TkbzIdLogFileBase::DecodedText(TOpcode opcode, std::span<const std::uint8_t> payload)
{
    return std::string("[") + kbzOpcodeName(opcode) + "] " +
           std::string(reinterpret_cast<const char*>(payload.data()), payload.size());
}

// ---- Client ----

void TkbzWSIdLogFileClient::LogSent(TOpcode opcode, std::span<const std::uint8_t> payload) noexcept
{
    if (!FUnMaskFrames.load())
    {
        return;
    }
    try
    {
        LogSendDecodedString(DecodedText(opcode, payload));
    }
    catch (...)
    {}
}

// ---- Server connection ----

std::string TkbzWSIdLogFileServerConnection::Peer() const
{
    std::lock_guard guard(FPeerLock);
    return FPeer;
}

void TkbzWSIdLogFileServerConnection::OnConnected(const TkbzSocketBinding& binding) noexcept
{
    if (binding.IP.empty())
    {
        return;
    }
    try
    {
        std::lock_guard guard(FPeerLock);
        FPeer = binding.IP + ":" + std::to_string(binding.Port);
    }
    catch (...)
    {}
}

void TkbzWSIdLogFileServerConnection::WriteLine(std::string_view text) noexcept
{
    try
    {
        TkbzIdLogFileBase::WriteLine(Peer() + " " + std::string(text));
    }
    catch (...)
    {}
}

void TkbzWSIdLogFileServerConnection::LogRecvDecodedString(std::string_view text) noexcept
{
    try
    {
        WriteLine("<<-- " + DataText(text));
    }
    catch (...)
    {}
}

void TkbzWSIdLogFileServerConnection::LogReceived(TOpcode opcode,
                                                  std::span<const std::uint8_t> payload) noexcept
{
    if (!FUnMaskFrames.load())
    {
        return;
    }
    try
    {
        LogRecvDecodedString(DecodedText(opcode, payload));
    }
    catch (...)
    {}
}

// ---- Server ----

std::shared_ptr<TkbzWSIdLogFileServerConnection> TkbzWSIdLogFileServer::Accept() const
{
    auto writer = std::make_shared<TkbzWSIdLogFileServerConnection>(Sink());
    writer->LogTime.store(LogTime.load());
    writer->FUnMaskFrames.store(FUnMaskFrames.load());
    writer->Active.store(true);
    return writer;
}

} // namespace kbz
