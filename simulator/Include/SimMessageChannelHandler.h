// A channel handler for channels that carry KPX messages: it cuts the byte
// stream into messages, checks their common headers, handles the common
// class (EnableEvents, CommonError) and answers messages nobody handles with
// a CommonError, as a camera does. Handlers of the camera's agents derive
// from it and override OnMessage.
#pragma once

#include "SimChannelHandler.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace Q7::Sim
{

// Error id of the CommonError a camera sends for a message it does not know.
// Its top byte (1) is the camera's "protocol" category, the low 24 bits (1) "unknown message".
inline constexpr std::uint32_t kErrorIdUnknownMessage = 0x01000001u;

class MessageChannelHandler : public ChannelHandler
{
public:
    // Messages longer than this are treated as a broken stream (a camera has finite buffers).
    static constexpr std::uint32_t kDefaultMaxMessageSize = 16u * 1024 * 1024;

    explicit MessageChannelHandler(std::uint32_t maxMessageSize = kDefaultMaxMessageSize);

    void OnOpen(ChannelContext& context) override;
    void OnData(ChannelContext& context, std::span<const std::uint8_t> bytes) final;

    // Whether the host enabled events with EnableEvents (false after each
    // open). Thread-safe, so that other threads may push events.
    bool EventsEnabled() const { return m_eventsEnabled.load(); }

    // A factory for channels that only know the common messages.
    static ChannelHandlerFactory Factory();

protected:
    // Handles one complete, header-checked message (`message` starts with its
    // common header). Returns false when it does not know the message; the
    // base then answers with a CommonError. The default knows nothing.
    virtual bool OnMessage(ChannelContext& context, const MessageHeader& header,
                           std::span<const std::uint8_t> message);

    // A handler may take a long message's variable part as it arrives rather
    // than whole, as a camera with small buffers does: StreamedPrefix answers
    // how many bytes from the message's start (at least its common header, less
    // than the whole message) it wants whole first, or 0 to receive the
    // message whole through OnMessage. A streamed message is recorded with its
    // prefix, then handed on in OnStreamedStart (the prefix), OnStreamedData
    // (the rest, piece by piece) and OnStreamedEnd. The defaults stream nothing.
    virtual std::size_t StreamedPrefix(const MessageHeader& header);
    virtual void OnStreamedStart(ChannelContext& context, const MessageHeader& header,
                                 std::span<const std::uint8_t> prefix);
    virtual void OnStreamedData(ChannelContext& context, const MessageHeader& header,
                                std::span<const std::uint8_t> piece);
    virtual void OnStreamedEnd(ChannelContext& context, const MessageHeader& header);

    // Sends a whole message. False when the channel closed first.
    static bool SendMessage(ChannelContext& context, std::span<const std::uint8_t> message);
    // Sends a CommonError about `offending`.
    static bool SendCommonError(ChannelContext& context, std::uint32_t errorId,
                                const MessageHeader& offending, std::string_view text);
    // True when header size and message size both equal `size`; otherwise reports BadMessage.
    static bool ExpectSize(ChannelContext& context, const MessageHeader& header, std::size_t size,
                           const char* name);

private:
    void Dispatch(ChannelContext& context, const MessageHeader& header,
                  std::span<const std::uint8_t> message);
    bool HandleCommon(ChannelContext& context, const MessageHeader& header,
                      std::span<const std::uint8_t> message);

    std::uint32_t m_maxMessageSize;
    std::vector<std::uint8_t> m_pending; // bytes of the message being assembled
    bool m_headerChecked = false;        // m_pending holds a common header that passed the checks
    std::size_t m_streamPrefix = 0;      // the message in m_pending is streamed after this many bytes
    MessageHeader m_streamHeader;        // the message being streamed
    std::uint64_t m_streamLeft = 0;      // its bytes still to come
    bool m_broken = false;               // the stream failed a header check: ignore it until reopened
    std::atomic<bool> m_eventsEnabled{false};
};

} // namespace Q7::Sim
