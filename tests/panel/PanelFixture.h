#pragma once

// The panel's root view on a real model (sim backend): the model tests'
// fixture (fresh data folder, stored sessions, permission switches) and the
// view shown offscreen.

#include "model/ModelTestSupport.h"
#include "panel/SettingsView.h"

namespace tovrik::test {

class PanelViewTest : public ModelTest {
protected:
    void TearDown() override
    {
        view.reset();
        ModelTest::TearDown();
    }
    void storeSession(qint64 credits = 40) { storeSignedInSettings(QStringLiteral("token-1"), QStringLiteral("a@b.c"), credits); }
    panel::SettingsView& make()
    {
        makeModel();
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
    std::unique_ptr<panel::SettingsView> view;
    int closed = 0;
};

} // namespace tovrik::test
