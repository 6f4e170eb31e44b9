#include "app/SingleInstance.h"

#include "common/Constants.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace tovrik::app {

SingleInstance::SingleInstance(QString bundleIdentifier, QDBusConnection connection, QObject* parent)
    : QObject(parent), m_bundleIdentifier(std::move(bundleIdentifier)), m_bus(std::move(connection))
{
}

SingleInstance::~SingleInstance() { removeObserver(); }

SingleInstance::Claim SingleInstance::claim()
{
    QDBusConnection& bus = m_bus;
    if (!bus.isConnected() || !bus.interface())
        return Claim::NoBus;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        m_bundleIdentifier, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid())
        return Claim::NoBus;
    if (reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        m_owned = true;
        return Claim::Primary;
    }
    return Claim::Duplicate;
}

QString SingleInstance::currentOwner() const
{
    QDBusConnection bus = m_bus;
    if (!bus.isConnected() || !bus.interface())
        return {};
    const QDBusReply<QString> reply = bus.interface()->serviceOwner(m_bundleIdentifier);
    return reply.isValid() ? reply.value() : QString();
}

bool SingleInstance::postShowPanelNotification()
{
    QDBusConnection& bus = m_bus;
    if (!bus.isConnected())
        return false;
    QDBusMessage signal = QDBusMessage::createSignal(notificationPath, notificationInterface, notificationMember);
    signal << constants::singleInstanceShowPanelNotification << m_bundleIdentifier;
    if (!bus.send(signal))
        return false;
    // A round trip to the bus daemon: messages leave in order, so once the
    // answer is here the signal has been handed to the bus.
    if (bus.interface())
        bus.interface()->isServiceRegistered(m_bundleIdentifier);
    return true;
}

bool SingleInstance::addObserver()
{
    if (m_observing)
        return true;
    QDBusConnection& bus = m_bus;
    if (!bus.isConnected())
        return false;
    m_observing = bus.connect(QString(), notificationPath, notificationInterface, notificationMember, this,
                              SLOT(onNotification(QString, QString)));
    // The match rule goes to the bus without waiting for an answer; a round
    // trip on the same connection makes sure the bus has it before we go on,
    // so a request posted from now on is delivered.
    if (m_observing && bus.interface())
        bus.interface()->isServiceRegistered(m_bundleIdentifier);
    return m_observing;
}

void SingleInstance::removeObserver()
{
    if (!m_observing)
        return;
    m_bus.disconnect(QString(), notificationPath, notificationInterface, notificationMember,
                                             this, SLOT(onNotification(QString, QString)));
    m_observing = false;
}

void SingleInstance::release()
{
    if (!m_owned)
        return;
    QDBusConnection& bus = m_bus;
    if (bus.isConnected() && bus.interface())
        bus.interface()->unregisterService(m_bundleIdentifier);
    m_owned = false;
}

void SingleInstance::onNotification(const QString& name, const QString& object)
{
    if (name != constants::singleInstanceShowPanelNotification || object != m_bundleIdentifier)
        return;
    emit showPanelRequested();
}

} // namespace tovrik::app
