#pragma once

// A data home of the test's own with an account of the fake hosted service
// signed in. XDG_DATA_HOME points at it from signIn() to signOut(); the
// session goes through the settings store into the session's real keyring,
// where a model or a `tovrik` binary started afterwards finds it. The keyring
// is shared by the other tests, so signOut() clears the session again.

#include "settings/SettingsStore.h"
#include "support/FakeHostedService.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace tovrik::test {

class SignedInDataHome {
public:
    struct Options {
        // UI Autopilot and silent mode, both on or both off.
        bool autopilotAndSilent = false;
        // This process's requests go to the fake (its proxy and CA).
        bool routeThisProcess = true;
    };

    explicit SignedInDataHome(FakeHostedService& fake) : m_fake(fake) {}

    // Points XDG_DATA_HOME here, starts the fake, adds `email` as an account
    // and stores a session of it.
    ::testing::AssertionResult signIn(const QString& email, Options options)
    {
        if (!m_dir.isValid())
            return ::testing::AssertionFailure() << "no temporary data home";
        m_options = options;
        m_previous = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", m_dir.path().toUtf8());
        if (!m_fake.start())
            return ::testing::AssertionFailure() << m_fake.lastError().toStdString();
        if (options.routeThisProcess)
            m_fake.install();
        m_fake.addAccount(email, QStringLiteral("password1"), 500);
        storeSession(m_fake.createSession(email), email);
        return ::testing::AssertionSuccess();
    }
    // Clears the stored session, stops the fake and points XDG_DATA_HOME back.
    void signOut()
    {
        storeSession(QString(), QString());
        m_fake.stop();
        m_fake.uninstall();
        qputenv("XDG_DATA_HOME", m_previous);
    }
    QString path() const { return m_dir.path(); }

private:
    void storeSession(const QString& token, const QString& email) const
    {
        SettingsStore store;
        TovrikSettings settings = store.load().settings;
        settings.hostedAccountSessionToken = token;
        settings.hostedAccountEmail = email;
        settings.isUIAutopilotEnabled = settings.isSilentModeEnabled = m_options.autopilotAndSilent;
        EXPECT_TRUE(store.save(settings).ok);
    }

    FakeHostedService& m_fake;
    QTemporaryDir m_dir;
    QByteArray m_previous;
    Options m_options;
};

} // namespace tovrik::test
