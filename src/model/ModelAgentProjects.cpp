// The agent projects folder: where work the agent makes for the user is
// kept, "agent-projects" in the application's data folder. It is made on
// demand, private (0700), and opened in the desktop's file manager on
// request; nothing is made before it is asked for.

#include "model/TovrikAppModel.h"

#include "common/PrivateFiles.h"
#include "platform/Platform.h"
#include "settings/SettingsStore.h"

#include <QPointer>
#include <QUrl>

namespace tovrik {

const QString TovrikAppModel::agentProjectsFolderName = QStringLiteral("agent-projects");

QString TovrikAppModel::agentProjectsFolderPath() const
{
    return m_settingsStore->directory() + QLatin1Char('/') + agentProjectsFolderName;
}

std::optional<QString> TovrikAppModel::ensureAgentProjectsFolder()
{
    const QString path = agentProjectsFolderPath();
    QString error;
    if (!makePrivateDirectory(path, &error)) {
        publish(m_settingsStatusMessage, QStringLiteral("Could not create the agent projects folder: ") + error);
        return std::nullopt;
    }
    return path;
}

void TovrikAppModel::openAgentProjectsFolder()
{
    const auto path = ensureAgentProjectsFolder();
    if (!path)
        return;
    QPointer<TovrikAppModel> weak(this);
    platform::Platform::get().workspace().openURL(QUrl::fromLocalFile(*path), [weak, path = *path](bool opened) {
        if (!opened && isAlive(weak))
            weak->publish(weak->m_settingsStatusMessage, QStringLiteral("No file manager could open ") + path + QLatin1Char('.'));
    });
}

} // namespace tovrik
