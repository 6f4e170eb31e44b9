#include "updater/BundleInfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>

namespace tovrik::update {

std::optional<QHash<QString, QString>> readPropertyListStrings(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QXmlStreamReader xml(&file);
    QHash<QString, QString> values;
    int depth = 0; // element depth; the top dictionary's children are at 3
    QString key;
    bool sawPlist = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            ++depth;
            const auto name = xml.name();
            if (depth == 1)
                sawPlist = name == QLatin1String("plist");
            if (depth != 3)
                continue;
            if (name == QLatin1String("key")) {
                key = xml.readElementText();
                --depth;
            } else if (name == QLatin1String("string")) {
                const QString text = xml.readElementText();
                --depth;
                if (!key.isNull())
                    values.insert(key, text);
                key = QString();
            } else {
                key = QString();
            }
        } else if (xml.isEndElement()) {
            --depth;
        }
    }
    if (xml.hasError() || !sawPlist)
        return std::nullopt;
    return values;
}

BundleInfo bundleForExecutable(const QString& executablePath)
{
    BundleInfo info;
    const QFileInfo exe(executablePath);
    const QDir macos = exe.absoluteDir();
    if (macos.dirName() != QLatin1String("MacOS"))
        return info;
    QDir contents = macos;
    if (!contents.cdUp() || contents.dirName() != QLatin1String("Contents"))
        return info;
    QDir bundle = contents;
    if (!bundle.cdUp() || !bundle.dirName().endsWith(QLatin1String(".app")))
        return info;
    const auto values = readPropertyListStrings(contents.filePath(QStringLiteral("Info.plist")));
    if (!values)
        return info;
    info.bundlePath = QDir::cleanPath(bundle.absolutePath());
    info.values = *values;
    return info;
}

const BundleInfo& mainBundle()
{
    static const BundleInfo info = bundleForExecutable(QCoreApplication::applicationFilePath());
    return info;
}

} // namespace tovrik::update
