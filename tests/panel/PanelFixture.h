#pragma once

// The panel's root view on a real model (sim backend): a fresh data folder,
// a stored session when a test wants one, and the view shown offscreen.

#include "model/TovrikAppModel.h"
#include "panel/SettingsView.h"
#include "settings/SettingsStore.h"
#include "support/SimFixture.h"

#include <QDir>
#include <QStandardPaths>
#include <memory>

namespace tovrik::test {

class PanelViewTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        QDir(dataDir()).removeRecursively();
    }
    void TearDown() override
    {
        view.reset();
        model.reset();
        SimTest::TearDown();
        QDir(dataDir()).removeRecursively();
    }
    static QString dataDir()
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Tovrik");
    }
    void storeSession(qint64 credits = 40)
    {
        SettingsStore store;
        TovrikSettings s = store.load().settings;
        s.hostedAccountSessionToken = QStringLiteral("token-1");
        s.hostedAccountEmail = QStringLiteral("a@b.c");
        s.hostedAccountCreditsBalance = credits;
        ASSERT_TRUE(store.save(s).ok);
    }
    panel::SettingsView& make()
    {
        model = std::make_unique<TovrikAppModel>();
        view = std::make_unique<panel::SettingsView>(model.get(), [this] { ++closed; });
        view->show();
        drainEvents();
        return *view;
    }
    QSize grabbedSize()
    {
        drainEvents();
        return view->grab().size();
    }
    std::unique_ptr<TovrikAppModel> model;
    std::unique_ptr<panel::SettingsView> view;
    int closed = 0;
};

} // namespace tovrik::test
