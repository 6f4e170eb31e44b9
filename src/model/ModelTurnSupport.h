#pragma once

// Pieces shared by the spoken and typed turns of the model.

#include "common/Constants.h"
#include "common/Error.h"

#include <QString>

#include <algorithm>
#include <exception>

namespace tovrik::turn {

// The hosted chat answered with nothing to show or say.
class EmptyReplyError : public TovrikError {
public:
    EmptyReplyError()
        : TovrikError(QStringLiteral("TovrikHostedBackend"), 204,
                      constants::appDisplayName + QStringLiteral(" returned an empty reply. Try again."))
    {
    }
};

inline bool isEmptyReply(std::exception_ptr error)
{
    if (!error)
        return false;
    try {
        std::rethrow_exception(error);
    } catch (const EmptyReplyError&) {
        return true;
    } catch (...) {
        return false;
    }
}

// How long an unpinned answer stays in the bubble: long enough to read it
// (about 15 characters a second), at least 6 s and at most 30 s.
inline double responseBubbleHideDelay(const QString& text)
{
    return std::clamp(4.0 + text.size() / 15.0, 6.0, 30.0);
}

// The delay after which an ended turn hides the overlay.
inline constexpr double idleHideDelay = 0.1;

} // namespace tovrik::turn
