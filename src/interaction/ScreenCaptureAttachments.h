#pragma once

#include "hosted/HostedPayloads.h"
#include "interaction/ScreenCapturePayload.h"

namespace tovrik {

// One attachment per capture, in the same order: the JPEG and its label.
QList<HostedChatImageAttachment> makeScreenCaptureAttachments(const ScreenCapturePayloads& captures);

} // namespace tovrik
