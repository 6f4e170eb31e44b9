#pragma once

// One running instance per bundle identifier, over the D-Bus session bus.
//
// The first instance owns the bus name equal to the bundle identifier
// ("ai.tovrik.mac"); owning it is the instance test, so two processes started
// at the same moment can never both win. The show-panel request is a
// broadcast, like a distributed notification: a signal
//   path       /ai/tovrik/DistributedNotificationCenter
//   interface  ai.tovrik.DistributedNotificationCenter
//   member     Notification(s name, s object)
// with name = "ai.tovrik.mac.show-panel" and object = the bundle identifier.
// Every observer whose name and object match is told; the content is not
// read further.

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace tovrik::app {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    static inline const QString notificationPath = QStringLiteral("/ai/tovrik/DistributedNotificationCenter");
    static inline const QString notificationInterface = QStringLiteral("ai.tovrik.DistributedNotificationCenter");
    static inline const QString notificationMember = QStringLiteral("Notification");

    // `connection`: the session bus connection to use (the process's own by
    // default; tests open further ones to play other processes).
    explicit SingleInstance(QString bundleIdentifier, QDBusConnection connection = QDBusConnection::sessionBus(),
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Claim {
        Primary,   // this process owns the name now
        Duplicate, // another process owns it
        NoBus,     // no session bus: run alone
    };
    // Asks the bus for the name (without queueing or replacing).
    Claim claim();
    // The bus's unique name of the process owning the bundle identifier's
    // name, empty when none.
    QString currentOwner() const;

    // Broadcasts the show-panel notification with the bundle identifier as
    // object and waits until the bus has taken it (so the process may exit
    // right after). Returns false without a bus.
    bool postShowPanelNotification();

    // Registers for the show-panel notification (name and object must
    // match); when it returns, the bus routes every later notification here.
    // Idempotent; false without a bus.
    bool addObserver();
    void removeObserver();
    bool isObserving() const { return m_observing; }

    // Gives up the name (tests; the bus frees it anyway when the process ends).
    void release();

signals:
    void showPanelRequested();

private slots:
    void onNotification(const QString& name, const QString& object);

private:
    QString m_bundleIdentifier;
    QDBusConnection m_bus;
    bool m_observing = false;
    bool m_owned = false;
};

} // namespace tovrik::app
