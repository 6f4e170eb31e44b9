#pragma once

// The fixture of the transport tests: real servers on threads of their own
// (so they keep closing idle connections while the test's main thread is
// busy), reached through a CONNECT tunnel with the test CA. Real time
// throughout: the pool's idle ages are what the servers see.

#include "HostedTestSupport.h"

#include "hosted/HostedBackendClient.h"
#include "support/TlsTestServers.h"

namespace tovrik::test {

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clock::install(nullptr);
        origin = constants::defaultHostedWorkerBaseURL();
    }
    void TearDown() override
    {
        tunnel.uninstall();
        drainEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void throughTunnelTo(quint16 port)
    {
        ASSERT_TRUE(tunnel.start(port));
        tunnel.install();
    }
    bool startRaw(RawTlsServer::Script script, QList<QByteArray> alpn = {QByteArrayLiteral("http/1.1")})
    {
        if (!raw.start(std::move(script), std::move(alpn)))
            return false;
        throughTunnelTo(raw.port());
        return true;
    }
    template <typename T>
    static std::optional<HTTPError> httpError(const std::shared_ptr<TaskOutcome<T>>& out)
    {
        return out->template errorAs<HTTPError>();
    }

    TunnelProxy tunnel;
    RawTlsServer raw;
    HostedBackendClient client;
    QString origin;
};

} // namespace tovrik::test
