#pragma once

#include <QString>
#include <QUrl>

namespace tovrik::platform {

class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens a URL in the default browser (or a folder in the file manager).
    virtual bool openURL(const QUrl& url) = 0;
};

} // namespace tovrik::platform
