#include "transfer/transfer_info.h"

#include <cmath>

namespace kalvento::transfer {

const char* stateName(TransferState state) {
    switch (state) {
    case TransferState::Preparing:
        return "preparing";
    case TransferState::Offered:
        return "offered";
    case TransferState::Asking:
        return "asking";
    case TransferState::Connecting:
        return "connecting";
    case TransferState::Running:
        return "running";
    case TransferState::Paused:
        return "paused";
    case TransferState::Waiting:
        return "waiting";
    case TransferState::Done:
        return "done";
    case TransferState::Declined:
        return "declined";
    case TransferState::Cancelled:
        return "cancelled";
    case TransferState::Failed:
        return "failed";
    }
    return "unknown";
}

bool isFinished(TransferState state) {
    return state == TransferState::Done || state == TransferState::Declined ||
           state == TransferState::Cancelled || state == TransferState::Failed;
}

qint64 TransferInfo::secondsLeft() const {
    if (state != TransferState::Running || bytesPerSecond < 1.0 || doneBytes > totalBytes)
        return -1;
    return qint64(std::ceil(double(totalBytes - doneBytes) / bytesPerSecond));
}

} // namespace kalvento::transfer
