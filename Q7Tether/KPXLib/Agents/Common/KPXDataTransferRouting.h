// The routing of the messages that every data-transfer receiver takes alike:
// the programming channel's transfers and the image and live-view receive
// machine read the same data-transfer class, and answer the same CommonError.
#pragma once

#include <optional>

#include "Channel/KPXMessageReader.h"
#include "Wire/KPXDataTransfer.h"
#include "Wire/KPXMessage.h"

namespace Q7::KPX
{

/// Whether a receiver takes the acknowledgements of transfers it sends.
enum class DataAcks
{
    kRefused, ///< DataBeginAck and DataEndAck count as unknown messages
    kTaken,   ///< HandleDataBeginAck and HandleDataEndAck take them
};

/// Hands a CommonError to `receiver.HandleCommonError`, and DataBegin,
/// DataEnd, DataAbort, DataBlock, DataSeek and DataError (with `acks`
/// kTaken also DataBeginAck and DataEndAck) to the receiver's handler of the
/// same name, answering its result. Answers nothing for any other message:
/// the receiver's own classes, then its unknown-message handler, take it. A
/// receiver whose handlers are private befriends this function. Thread-bound:
/// the thread that reads the message.
template <DataAcks acks, typename Receiver>
std::optional<bool> RouteDataTransferMessage(Receiver& receiver, const CommonMessageHeader& header,
                                             MessageSource& source)
{
    switch (header.messageClass)
    {
    case kMessageClass_Common:
        if (header.messageType == kCommonMessage_Error)
            return receiver.HandleCommonError(header, source);
        break;
    case kMessageClass_DataTransfer:
        switch (header.messageType)
        {
        case kDataTransferMessage_DataBegin:
            return receiver.HandleDataBegin(header, source);
        case kDataTransferMessage_DataEnd:
            return receiver.HandleDataEnd(header, source);
        case kDataTransferMessage_DataAbort:
            return receiver.HandleDataAbort(header, source);
        case kDataTransferMessage_DataBlock:
            return receiver.HandleDataBlock(header, source);
        case kDataTransferMessage_DataSeek:
            return receiver.HandleDataSeek(header, source);
        case kDataTransferMessage_DataError:
            return receiver.HandleDataError(header, source);
        case kDataTransferMessage_DataBeginAck:
            if constexpr (acks == DataAcks::kTaken)
                return receiver.HandleDataBeginAck(header, source);
            break;
        case kDataTransferMessage_DataEndAck:
            if constexpr (acks == DataAcks::kTaken)
                return receiver.HandleDataEndAck(header, source);
            break;
        default:
            break;
        }
        break;
    default:
        break;
    }
    return std::nullopt;
}

} // namespace Q7::KPX
