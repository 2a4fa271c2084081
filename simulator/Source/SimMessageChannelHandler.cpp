#include "SimMessageChannelHandler.h"

#include "SimByteCursor.h"
#include "SimLog.h"

#include <algorithm>
#include <cstdio>

namespace Q7::Sim
{

namespace
{

std::string Hex2(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

} // namespace

MessageChannelHandler::MessageChannelHandler(std::uint32_t maxMessageSize) : m_maxMessageSize(maxMessageSize)
{
}

void MessageChannelHandler::OnOpen(ChannelContext&)
{
    m_pending.clear();
    m_headerChecked = false;
    m_streamPrefix = 0;
    m_streamLeft = 0;
    m_broken = false;
    m_eventsEnabled = false;
}

void MessageChannelHandler::OnData(ChannelContext& context, std::span<const std::uint8_t> bytes)
{
    if (m_broken)
    {
        return;
    }
    std::size_t offset = 0;
    while (offset < bytes.size())
    {
        if (m_streamLeft > 0)
        {
            // The rest of a streamed message goes on as it arrives.
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_streamLeft, bytes.size() - offset));
            m_streamLeft -= take;
            OnStreamedData(context, m_streamHeader, bytes.subspan(offset, take));
            offset += take;
            if (m_streamLeft == 0)
            {
                OnStreamedEnd(context, m_streamHeader);
            }
            continue;
        }

        // Take just enough to complete the header, then the rest of the
        // message (or of its streamed prefix).
        std::size_t want = kMessageHeaderSize;
        if (m_headerChecked)
        {
            want = m_streamPrefix != 0
                       ? m_streamPrefix
                       : DecodeMessageHeader(std::span<const std::uint8_t, kMessageHeaderSize>(
                                                 m_pending.data(), kMessageHeaderSize))
                             .messageSize;
        }
        const std::size_t take = std::min(want - m_pending.size(), bytes.size() - offset);
        m_pending.insert(m_pending.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                         bytes.begin() + static_cast<std::ptrdiff_t>(offset + take));
        offset += take;
        if (m_pending.size() < want)
        {
            continue;
        }
        const auto header = DecodeMessageHeader(
            std::span<const std::uint8_t, kMessageHeaderSize>(m_pending.data(), kMessageHeaderSize));
        if (!m_headerChecked)
        {
            // The header just completed: check it before trusting its sizes.
            std::string fault;
            if (header.magic != kMessageMagic)
            {
                char buf[64];
                std::snprintf(buf, sizeof buf, "message magic 0x%08X", header.magic);
                fault = buf;
            }
            else if (header.headerSize < kMessageHeaderSize)
            {
                fault = "messageHeaderSize " + std::to_string(header.headerSize) + " below 16";
            }
            else if (header.messageSize < header.headerSize)
            {
                fault = "messageSize " + std::to_string(header.messageSize) + " below messageHeaderSize " +
                        std::to_string(header.headerSize);
            }
            else if (header.messageSize > m_maxMessageSize)
            {
                fault = "messageSize " + std::to_string(header.messageSize) + " above the camera's limit";
            }
            if (!fault.empty())
            {
                context.ReportViolation(ViolationKind::BadMessageHeader,
                                        fault + "; ignoring the channel's stream until it is reopened");
                m_broken = true;
                m_pending.clear();
                return;
            }
            if (header.reserved != 0)
            {
                context.ReportViolation(ViolationKind::BadMessageHeader,
                                        "reserved field of message " + Hex2(header.messageClass) + "/" +
                                            Hex2(header.messageType) + " is not 0");
            }
            m_headerChecked = true;
            if (header.messageSize > kMessageHeaderSize)
            {
                const std::size_t prefix = StreamedPrefix(header);
                if (prefix >= kMessageHeaderSize && prefix < header.messageSize)
                {
                    m_streamPrefix = prefix;
                }
                // Room for what is taken whole (within the camera's limit,
                // checked above): a large message is not regrown and copied
                // piece by piece.
                m_pending.reserve(m_streamPrefix != 0 ? m_streamPrefix : header.messageSize);
                continue;
            }
        }
        m_headerChecked = false;
        if (m_streamPrefix != 0)
        {
            m_streamPrefix = 0;
            m_streamHeader = header;
            m_streamLeft = header.messageSize - m_pending.size();
            context.RecordMessage(header, m_pending);
            OnStreamedStart(context, header, m_pending);
            m_pending.clear();
            continue;
        }
        Dispatch(context, header, m_pending);
        m_pending.clear(); // its capacity serves the next message
        if (m_broken)
        {
            return;
        }
    }
}

std::size_t MessageChannelHandler::StreamedPrefix(const MessageHeader&)
{
    return 0;
}

void MessageChannelHandler::OnStreamedStart(ChannelContext&, const MessageHeader&,
                                            std::span<const std::uint8_t>)
{
}

void MessageChannelHandler::OnStreamedData(ChannelContext&, const MessageHeader&,
                                           std::span<const std::uint8_t>)
{
}

void MessageChannelHandler::OnStreamedEnd(ChannelContext&, const MessageHeader&) {}

void MessageChannelHandler::Dispatch(ChannelContext& context, const MessageHeader& header,
                                     std::span<const std::uint8_t> message)
{
    context.RecordMessage(header, message);
    if (context.Log().Enabled(LogLevel::Debug))
    {
        context.Log().Write(LogLevel::Debug, "channel " + context.Channel().ToString() +
                                                 " received message " + Hex2(header.messageClass) + "/" +
                                                 Hex2(header.messageType) + " (" +
                                                 std::to_string(header.messageSize) + " bytes)");
    }
    if (header.messageClass == kClassCommon && HandleCommon(context, header, message))
    {
        return;
    }
    if (OnMessage(context, header, message))
    {
        return;
    }
    // An error message is never answered with another one.
    if (header.messageType == kMessageTypeError)
    {
        return;
    }
    context.Log().Write(LogLevel::Warning, "channel " + context.Channel().ToString() + ": unknown message " +
                                               Hex2(header.messageClass) + "/" + Hex2(header.messageType) +
                                               ", answering with CommonError");
    SendCommonError(context, kErrorIdUnknownMessage, header,
                    "Unknown message class " + Hex2(header.messageClass) + " type " +
                        Hex2(header.messageType));
}

bool MessageChannelHandler::HandleCommon(ChannelContext& context, const MessageHeader& header,
                                         std::span<const std::uint8_t> message)
{
    ByteReader r(message);
    r.Seek(kMessageHeaderSize);
    if (header.messageType == kCommonEnableEvents)
    {
        ExpectSize(context, header, kEnableEventsSize, "EnableEvents");
        const std::uint8_t enable = r.U8();
        const std::uint8_t pad0 = r.U8(), pad1 = r.U8(), pad2 = r.U8();
        if (enable > 1 || pad0 != 0 || pad1 != 0 || pad2 != 0)
        {
            context.ReportViolation(ViolationKind::BadMessage, "EnableEvents enable byte " +
                                                                   std::to_string(enable) +
                                                                   " or its three trailing bytes are not 0");
        }
        m_eventsEnabled = enable != 0;
        return true;
    }
    if (header.messageType == kMessageTypeError)
    {
        // A host reports a message it could not handle; the camera only records it.
        if (header.headerSize != kCommonErrorHeaderSize || message.size() < kCommonErrorHeaderSize)
        {
            context.ReportViolation(ViolationKind::BadMessage, "CommonError messageHeaderSize " +
                                                                   std::to_string(header.headerSize) +
                                                                   " is not 28");
            return true;
        }
        r.Seek(20);
        r.Skip(2); // source class and type
        const std::uint16_t zero = r.U16();
        const std::uint16_t textSize = r.U16();
        const std::uint16_t fixedSize = r.U16();
        if (zero != 0 || fixedSize != kCommonErrorHeaderSize ||
            std::uint64_t{header.messageSize} != std::uint64_t{kCommonErrorHeaderSize} + textSize)
        {
            context.ReportViolation(ViolationKind::BadMessage,
                                    "CommonError fields: bytes 22-23 " + std::to_string(zero) +
                                        ", errorStringSize " + std::to_string(textSize) + ", byte 26 " +
                                        std::to_string(fixedSize) + ", messageSize " +
                                        std::to_string(header.messageSize));
        }
        context.Log().Write(LogLevel::Warning,
                            "channel " + context.Channel().ToString() + ": host sent CommonError");
        return true;
    }
    return false;
}

bool MessageChannelHandler::OnMessage(ChannelContext&, const MessageHeader&, std::span<const std::uint8_t>)
{
    return false;
}

bool MessageChannelHandler::SendMessage(ChannelContext& context, std::span<const std::uint8_t> message)
{
    return context.Send(message);
}

bool MessageChannelHandler::SendCommonError(ChannelContext& context, std::uint32_t errorId,
                                            const MessageHeader& offending, std::string_view text)
{
    const auto msg = BuildCommonError(errorId, offending.messageClass, offending.messageType, text);
    return context.Send(msg);
}

bool MessageChannelHandler::ExpectSize(ChannelContext& context, const MessageHeader& header, std::size_t size,
                                       const char* name)
{
    if (header.headerSize == size && header.messageSize == size)
    {
        return true;
    }
    context.ReportViolation(ViolationKind::BadMessage,
                            std::string(name) + " has messageHeaderSize " +
                                std::to_string(header.headerSize) + " and messageSize " +
                                std::to_string(header.messageSize) + ", expected " + std::to_string(size));
    return false;
}

ChannelHandlerFactory MessageChannelHandler::Factory()
{
    return [](ChannelId) { return std::make_unique<MessageChannelHandler>(); };
}

} // namespace Q7::Sim
