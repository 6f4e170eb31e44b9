#pragma once

// Shared pieces of the model tests: a SimTest whose settings folder starts
// empty, a settings file writer, a few state helpers, and the same with the
// fake hosted service.

#include "model/TovrikAppModel.h"
#include "settings/SettingsStore.h"
#include "support/FakeHostedService.h"
#include "support/SimFixture.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <memory>

namespace tovrik::test {

class ModelTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        QDir(settingsDirectory()).removeRecursively();
    }
    void TearDown() override
    {
        model.reset();
        SimTest::TearDown();
        QDir(settingsDirectory()).removeRecursively();
    }

    static QString settingsDirectory()
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Tovrik");
    }
    static QString settingsFilePath() { return settingsDirectory() + QStringLiteral("/tovrik.settings.json"); }

    static void writeSettingsFile(const QByteArray& bytes)
    {
        QDir().mkpath(settingsDirectory());
        QFile file(settingsFilePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    static QByteArray readSettingsFile()
    {
        QFile file(settingsFilePath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return file.readAll();
    }
    static QJsonObject readSettingsJson() { return QJsonDocument::fromJson(readSettingsFile()).object(); }

    // Stores a session directly through a store of its own (the state a
    // previous launch left behind).
    void storeSignedInSettings(const QString& token = QStringLiteral("session-token-1"),
                               const QString& email = QStringLiteral("a@b.c"), qint64 credits = 40)
    {
        SettingsStore store;
        TovrikSettings settings = store.load().settings;
        settings.hostedAccountSessionToken = token;
        settings.hostedAccountEmail = email;
        settings.hostedAccountCreditsBalance = credits;
        ASSERT_TRUE(store.save(settings).ok);
    }

    // Saves the model's settings as `change` leaves them.
    template <typename Change>
    void changeSettings(Change change)
    {
        TovrikSettings s = model->settings();
        change(s);
        ASSERT_TRUE(model->saveSettings(s));
    }

    TovrikAppModel& makeModel()
    {
        model = std::make_unique<TovrikAppModel>();
        return *model;
    }

    void setPermissions(bool accessibility, bool screenRecording,
                        platform::MicrophoneAuthorization microphone = platform::MicrophoneAuthorization::Authorized,
                        bool microphoneDevice = true)
    {
        auto& p = sim->simPermissions();
        p.accessibility = accessibility;
        p.screenRecording = screenRecording;
        p.microphone = microphone;
        p.microphoneDevice = microphoneDevice;
        if (model)
            model->refreshPermissions();
    }

    std::unique_ptr<TovrikAppModel> model;
};

// A ModelTest talking to the fake hosted service over real TLS.
class HostedModelTest : public ModelTest {
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        ASSERT_TRUE(fake.start()) << fake.lastError().toStdString();
        fake.install();
    }
    void TearDown() override
    {
        model.reset();
        drainEvents();
        fake.stop();
        fake.uninstall();
        ModelTest::TearDown();
    }
    FakeHostedService fake;
};

} // namespace tovrik::test
