#pragma once

#include <QString>
#include <QUrl>

#include <functional>

namespace tovrik::platform {

class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens a URL in the default browser (or a folder in the file manager).
    virtual bool openURL(const QUrl& url) = 0;
    // The same, reporting later on the main thread whether a program took
    // the URL (false when no browser could open it).
    virtual void openURL(const QUrl& url, std::function<void(bool opened)> done) { done(openURL(url)); }
};

} // namespace tovrik::platform
