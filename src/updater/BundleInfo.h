#pragma once

// The installed application bundle: "Tovrik.app/Contents/Info.plist" (an XML
// property list) beside "Contents/MacOS/<executable>". A run from the build
// tree has no bundle; then every value is missing.

#include <QHash>
#include <QString>
#include <optional>

namespace tovrik::update {

// The string values of the top-level dictionary of an XML property list
// (other value types are left out). None when the file is unreadable or not
// a property list.
std::optional<QHash<QString, QString>> readPropertyListStrings(const QString& path);

struct BundleInfo {
    QString bundlePath; // ".../Tovrik.app", empty without a bundle
    QHash<QString, QString> values;
    std::optional<QString> value(const QString& key) const
    {
        const auto it = values.constFind(key);
        return it == values.constEnd() ? std::nullopt : std::optional<QString>(*it);
    }
};

// The bundle that holds `executablePath` (".../X.app/Contents/MacOS/x" with a
// readable Contents/Info.plist), else an empty record.
BundleInfo bundleForExecutable(const QString& executablePath);
// The running process's bundle.
const BundleInfo& mainBundle();

} // namespace tovrik::update
