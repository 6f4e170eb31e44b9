#include "interaction/ScreenCaptureAttachments.h"

namespace tovrik {

QList<HostedChatImageAttachment> makeScreenCaptureAttachments(const ScreenCapturePayloads& captures)
{
    QList<HostedChatImageAttachment> attachments;
    attachments.reserve(captures.size());
    for (const auto& capture : captures)
        attachments.push_back(HostedChatImageAttachment{capture.imageData, capture.imageLabel});
    return attachments;
}

} // namespace tovrik
