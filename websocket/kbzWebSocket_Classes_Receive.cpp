// The connection's receive path: frames, Hixie-76 text frames and raw TCP
// become messages, fragments and control-frame answers.
#include "base/kbzBase_Helpers.h"
#include "websocket/kbzWebSocket_Classes.h"

namespace kbz
{

namespace
{
std::int64_t Now()
{
    return static_cast<std::int64_t>(kbzGetTicks());
}
} // namespace

void TkbzWSConnection::ReadData(bool maskRequired)
{
    if (!Enabled())
    {
        DoHandshake();
        return;
    }
    TkbzIdTCPConnection* tcp = FTCPConnection.get();
    if (!tcp)
    {
        return;
    }
    while (!tcp->InputBufferIsEmpty() && !GetDisconnected() && !GetMustDisconnect())
    {
        const std::size_t before = tcp->InputBufferSize();
        switch (GetTransport())
        {
        case TwsTransport::trpTCP:
            ReadStepTCP();
            break;
        case TwsTransport::trpRFC8441:
            // Nothing is spoken on a connection that stayed in this transport.
            AddRecBytes(static_cast<std::int64_t>(tcp->InputBufferSize()));
            tcp->InputBufferClear();
            break;
        default:
            if (FSpecification == TwsSpecification::spHixie76)
            {
                ReadStepHixie76();
            }
            else
            {
                ReadStepRFC6455(maskRequired);
            }
            break;
        }
        if (tcp->InputBufferSize() >= before)
        {
            break; // the rest of a frame is still to come
        }
    }
    CheckCloseTimeOut();
}

void TkbzWSConnection::ReadStepRFC6455(bool maskRequired)
{
    TkbzWSDecoderOptions& options = FDecoder.Options();
    options.MaskRequired = maskRequired;
    options.ExtensionNegotiated = FExtensions.ExtensionNegotiated();
    options.FragmentedMessages = FragmentedMessages;
    options.ValidateUTF8 = ValidateUTF8;
    options.MaxMessageSize = MaxMessageSize > 0 ? static_cast<std::uint64_t>(MaxMessageSize) : 0;
    FExtensions.SetMaxMessageSize(MaxMessageSize);

    TkbzIdTCPConnection* tcp = FTCPConnection.get();
    while (!GetDisconnected() && !GetMustDisconnect())
    {
        TkbzWSDecodeResult r = TkbzWSDecodeResult::drNeedMore;
        const std::size_t consumed =
            tcp->InputBufferConsume([&](std::span<const std::uint8_t> input) {
                std::size_t used = 0;
                r = FDecoder.Decode(input.data(), input.size(), used);
                return used;
            });
        AddRecBytes(static_cast<std::int64_t>(consumed));
        TkbzWSMsg& msg = FDecoder.Msg();
        switch (r)
        {
        case TkbzWSDecodeResult::drNeedMore:
            return;
        case TkbzWSDecodeResult::drMessage:
            DeliverMessage(msg.FOpCode, msg.FStream, msg.FCompressed);
            break;
        case TkbzWSDecodeResult::drFragment:
            DeliverFragment(msg.FOpCode, msg.FStream, FDecoder.MoreFrames());
            break;
        case TkbzWSDecodeResult::drControl:
            HandleControl(msg.FOpCode, std::move(msg.FStream));
            break;
        case TkbzWSDecodeResult::drError:
            Fail(FDecoder.ErrorCode(), FDecoder.ErrorText());
            return;
        }
    }
}

void TkbzWSConnection::DeliverMessage(TOpcode opcode, std::vector<std::uint8_t>& payload,
                                      bool compressed)
{
    // Messages that arrive after our close frame are still delivered: the peer
    // sent them before it saw our close, and its close frame ends them.
    struct InflatedRelease
    {
        detail::ByteBudgetShare& share;
        ~InflatedRelease() { share.ReleaseAll(); }
    } inflatedRelease{FInflateShare};
    if (compressed)
    {
        try
        {
            FExtensions.ReadStream(payload, true);
        }
        catch (const ECompressionError& e)
        {
            Fail(e.CloseCode(), e.what());
            return;
        }
        catch (const std::exception& e)
        {
            Fail(kbzCloseInvalidPayload, "Error Deflating Frame: " + std::string(e.what()));
            return;
        }
        if (opcode == TOpcode::opText && ValidateUTF8 && !TkbzUTF8Validator::IsValid(payload))
        {
            Fail(kbzCloseInvalidPayload, kbzCodecText::InvalidUTF8);
            return;
        }
    }
    if (FTrafficLog)
    {
        FTrafficLog->LogReceived(opcode, payload);
    }
    if (FragmentedMessages != TwsFragmentedMessages::frgOnlyBuffer && compressed)
    {
        // Fragments of a compressed message cannot be inflated one by one: the
        // application gets the whole message as one final fragment.
        DeliverFragment(opcode, payload, false);
        if (FragmentedMessages == TwsFragmentedMessages::frgOnlyFragmented)
        {
            return;
        }
    }
    if (opcode == TOpcode::opText)
    {
        std::string text(payload.begin(), payload.end());
        // A large message is held once while its handler runs, not twice.
        detail::ReleaseLargeBuffer(payload);
        DeliverText(std::move(text));
    }
    else if (opcode == TOpcode::opBinary)
    {
        std::vector<std::uint8_t> bytes;
        bytes.swap(payload);
        DeliverBinary(std::move(bytes));
    }
}

void TkbzWSConnection::DeliverFragment(TOpcode opcode, std::vector<std::uint8_t>& payload,
                                       bool more)
{
    if (FDecoder.Msg().FCompressed && &payload == &FDecoder.Msg().FStream)
    {
        // A fragment of a compressed message: gathered until the message is whole.
        if (FragmentedMessages == TwsFragmentedMessages::frgOnlyFragmented)
        {
            FCompressedFragments.insert(FCompressedFragments.end(), payload.begin(), payload.end());
            payload.clear();
            if (!more)
            {
                std::vector<std::uint8_t> whole;
                whole.swap(FCompressedFragments);
                DeliverMessage(opcode, whole, true);
            }
        }
        // frgAll: the decoder reports the whole message next.
        return;
    }
    if (!OnFragmented)
    {
        if (FragmentedMessages == TwsFragmentedMessages::frgOnlyFragmented)
        {
            payload.clear();
        }
        return;
    }
    TkbzMemoryStream data;
    if (FragmentedMessages == TwsFragmentedMessages::frgOnlyFragmented)
    {
        data.Bytes().swap(payload);
        payload.clear();
        data.SetPosition(0);
        OnFragmented(*this, data, opcode, more);
        return;
    }
    // frgAll: the handler reads the message so far in place; it is lent, not
    // copied, so that a message in many fragments costs linear time.
    struct Lend
    {
        std::vector<std::uint8_t>& owner;
        TkbzMemoryStream& stream;
        ~Lend() { owner.swap(stream.Bytes()); }
    };
    data.Bytes().swap(payload);
    Lend lend{payload, data};
    data.SetPosition(0);
    OnFragmented(*this, data, opcode, more);
}

void TkbzWSConnection::DeliverText(std::string&& text)
{
    {
        std::lock_guard guard(FWaitLock);
        ++FTextsReceived;
        // Only a WriteAndWaitData in progress wants a copy.
        if (FTextWaiters > 0)
        {
            FLastText = text;
        }
    }
    FWaitChanged.notify_all();
    if (OnMessage)
    {
        OnMessage(*this, text);
    }
    detail::ReleaseLargeBuffer(text);
}

void TkbzWSConnection::DeliverBinary(std::vector<std::uint8_t>&& bytes)
{
    if (!OnBinary)
    {
        detail::ReleaseLargeBuffer(bytes);
        return;
    }
    TkbzMemoryStream data;
    data.Bytes() = std::move(bytes);
    data.SetPosition(0);
    OnBinary(*this, data);
    detail::ReleaseLargeBuffer(data.Bytes());
}

void TkbzWSConnection::HandleControl(TOpcode opcode, std::vector<std::uint8_t>&& payload)
{
    if (FTrafficLog)
    {
        FTrafficLog->LogReceived(opcode, payload);
    }
    switch (opcode)
    {
    case TOpcode::opClose: {
        FCloseCode.store(FDecoder.CloseCode());
        {
            std::lock_guard guard(FStateLock);
            FCloseReason = FDecoder.CloseReason();
        }
        // The peer's close is always answered before the TCP connection goes
        // (unless it answers ours); the answer carries 1000.
        DoDisconnect({}, kbzCloseNormal, !FCloseSent.load());
        return;
    }
    case TOpcode::opPing:
        if (!Closing() && !GetDisconnected())
        {
            DoWriteFrame(TOpcode::opPong, payload, true, false);
        }
        return;
    case TOpcode::opPong:
        HandlePong(std::move(payload));
        return;
    default:
        return;
    }
}

void TkbzWSConnection::HandlePong(std::vector<std::uint8_t>&& payload)
{
    FLastPong.store(Now());
    std::string text(payload.begin(), payload.end());
    bool matched = false;
    {
        std::lock_guard guard(FPingLock);
        // A pong answers its own ping and every ping sent before it (a peer may answer
        // only the latest of several); a pong for an old ping leaves the later ones waiting.
        for (auto it = FQueuePingList.begin(); it != FQueuePingList.end(); ++it)
        {
            if ((*it)->FText == text)
            {
                for (auto answered = FQueuePingList.begin(); answered != it + 1; ++answered)
                {
                    (*answered)->FAnswered = true;
                }
                FQueuePingList.erase(FQueuePingList.begin(), it + 1);
                matched = true;
                break;
            }
        }
    }
    // An unsolicited or unmatched pong is simply ignored.
    if (matched)
    {
        {
            std::lock_guard guard(FStateLock);
            FPong = std::move(text);
        }
        std::lock_guard guard(FPingLock);
        FPingAnswered.notify_all();
    }
}

void TkbzWSConnection::ReadStepHixie76()
{
    TkbzIdTCPConnection* tcp = FTCPConnection.get();
    FHixie76.MaxMessageSize = MaxMessageSize > 0 ? static_cast<std::uint64_t>(MaxMessageSize) : 0;
    FHixie76.ValidateUTF8 = ValidateUTF8;
    while (!GetDisconnected() && !GetMustDisconnect())
    {
        TkbzHixie76Result r = TkbzHixie76Result::hxNeedMore;
        const std::size_t consumed =
            tcp->InputBufferConsume([&](std::span<const std::uint8_t> input) {
                const std::size_t before = input.size();
                r = FHixie76.Decode(input);
                return before - input.size();
            });
        AddRecBytes(static_cast<std::int64_t>(consumed));
        switch (r)
        {
        case TkbzHixie76Result::hxNeedMore:
            return;
        case TkbzHixie76Result::hxText:
            DeliverText(std::move(FHixie76.Text()));
            break;
        case TkbzHixie76Result::hxClose:
            DoWriteHixie76(TOpcode::opClose, {});
            break;
        case TkbzHixie76Result::hxError:
            Fail(FHixie76.ErrorCode(), FHixie76.ErrorText());
            return;
        }
    }
}

void TkbzWSConnection::ReadStepTCP()
{
    TkbzIdTCPConnection* tcp = FTCPConnection.get();
    std::vector<std::vector<std::uint8_t>> messages;
    TkbzTCPFramerResult result = TkbzTCPFramerResult::frOK;
    SetTCPMaxMessageSize(MaxMessageSize > 0 ? static_cast<std::size_t>(MaxMessageSize)
                                            : kbzDefaultTCPMaxMessageSize);
    const std::size_t consumed = tcp->InputBufferConsume([&](std::span<const std::uint8_t> input) {
        result = FrameTCPData(input, messages);
        return input.size();
    });
    AddRecBytes(static_cast<std::int64_t>(consumed));
    for (auto& m : messages)
    {
        if (GetDisconnected())
        {
            return;
        }
        DeliverBinary(std::move(m));
    }
    if (result == TkbzTCPFramerResult::frMessageTooLarge)
    {
        Fail(kbzCloseMessageTooBig, kbzCodecText::MessageTooBig);
    }
}

void TkbzWSConnection::Fail(int code, const std::string& text)
{
    DoDisconnect(text.empty() ? std::string("Protocol error") : text, code, true, true);
}

} // namespace kbz
