// The panel's root view, sign-in screens and ready screen on a real model
// (sim backend), checked through the widgets and offscreen grabs.

#include "PanelFixture.h"
#include "panel/AuthenticationSection.h"
#include "panel/ReadySection.h"
#include "panel/SettingsPages.h"
#include "panel/kit/SettingsRows.h"
#include "panel/kit/Controls.h"
#include "panel/kit/Marks.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/StyledButton.h"
#include "panel/kit/TextInputs.h"

#include "common/Constants.h"
#include "panel/kit/PanelFont.h"

#include <QHelpEvent>
#include <QToolTip>
#include <QFontMetricsF>
#include <QTest>
#include <QUrl>
#include <cmath>
#include <gtest/gtest.h>

using namespace tovrik;
using namespace tovrik::panel;
using Screen = SettingsView::Screen;
using SettingsViewTest = test::PanelViewTest;

TEST_F(SettingsViewTest, SizesAndScreenChoiceFollowTheModelAndTheHeaderButtons)
{
    make();
    EXPECT_EQ(view->currentScreen(), Screen::Authentication);
    EXPECT_EQ(grabbedSize(), QSize(320, 258));
    model->setHostedEmailAuthVisible(true);
    EXPECT_EQ(grabbedSize(), QSize(320, 380));
    model->setHostedAuthStatusMessage(QStringLiteral("Enter a valid email address."));
    EXPECT_EQ(grabbedSize(), QSize(320, 414));
    model->setHostedAuthStatusMessage(QStringLiteral("  \n ")); // blank adds nothing
    EXPECT_EQ(grabbedSize(), QSize(320, 380));

    view->closeButton()->click(); // onClose only: no page flag changes
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(model->isShowingAdvancedSettings());
    // Signed out with the settings page on: the setup page wins over sign-in.
    view->settingsButton()->click();
    EXPECT_EQ(view->currentScreen(), Screen::Setup);
    EXPECT_EQ(view->headerTitleText(), "Settings");
    EXPECT_TRUE(view->isPlainStatusWordVisible());
    EXPECT_EQ(model->headerStatusText(), "Sign in");
    model->showShortcutSettings();
    EXPECT_EQ(view->currentScreen(), Screen::Shortcut);
    EXPECT_FALSE(view->isPlainStatusWordVisible()); // no status on a subpage
    view->backButton()->click();
    view->backButton()->click();
    EXPECT_EQ(view->currentScreen(), Screen::Authentication);
    EXPECT_FALSE(view->backButton()->isVisibleTo(view.get()));
    EXPECT_TRUE(view->settingsButton()->isVisibleTo(view.get()));

    view.reset();
    storeSession();
    make();
    EXPECT_EQ(view->currentScreen(), Screen::Ready);
    EXPECT_EQ(grabbedSize(), QSize(320, 312));
}

TEST_F(SettingsViewTest, EmailFormTogglesShowsEveryMessageWordForWordAndOnlyGoogleStaysEnabledWhileBusy)
{
    make();
    auto* auth = view->authenticationSection();
    EXPECT_FALSE(auth->emailForm()->isVisibleTo(auth));
    EXPECT_EQ(auth->visibleStatusLine(), nullptr);
    model->setHostedAuthStatusMessage(QStringLiteral("The hosted backend URL is invalid."));
    ASSERT_NE(auth->visibleStatusLine(), nullptr);
    EXPECT_EQ(auth->visibleStatusLine()->text(), "The hosted backend URL is invalid.");
    auth->emailToggle()->click();
    EXPECT_TRUE(model->isHostedEmailAuthVisible());
    EXPECT_TRUE(auth->emailForm()->isVisibleTo(auth));
    EXPECT_EQ(auth->emailToggleLabel()->chevronSymbol(), "chevron.up");
    ASSERT_NE(auth->visibleStatusLine(), nullptr);
    EXPECT_EQ(auth->visibleStatusLine()->parentWidget(), auth->emailForm());
    // Typing writes straight into the model; the password is masked.
    QTest::keyClicks(auth->emailInput()->field(), "a@b.c");
    EXPECT_EQ(model->hostedAuthEmailInput(), "a@b.c");
    QTest::keyClicks(auth->passwordInput()->field(), "secret");
    EXPECT_EQ(model->hostedAuthPasswordInput(), "secret");
    EXPECT_EQ(auth->passwordInput()->field()->echoMode(), QLineEdit::Password);
    QTest::keyClick(auth->passwordInput()->field(), Qt::Key_Return);
    EXPECT_FALSE(model->isHostedAuthBusy()); // Return submits nothing
    // While busy (a Google attempt) only Google stays enabled; an untrusted
    // origin disables it.
    EXPECT_EQ(auth->title()->text(), "Hi, I'm Tovrik.");
    EXPECT_TRUE(auth->signInButton()->isEnabled());
    model->continueWithGoogleSignIn();
    ASSERT_TRUE(model->isHostedAuthBusy());
    EXPECT_FALSE(auth->signInButton()->isEnabled());
    EXPECT_FALSE(auth->createAccountButton()->isEnabled());
    EXPECT_TRUE(auth->googleButton()->isEnabled());
    EXPECT_EQ(auth->visibleStatusLine()->text(),
              "Opening Google sign-in... If you closed it, click Sign in with Google again.");
    changeSettings([](TovrikSettings& s) { s.workerBaseURL = QStringLiteral("https://evil.example"); });
    EXPECT_FALSE(auth->googleButton()->isEnabled());
    EXPECT_TRUE(auth->emailToggle()->isEnabled());
}

TEST_F(SettingsViewTest, ChatBoxStatusDotCreditsAndRefreshOfTheReadyScreen)
{
    storeSession(-5);
    make();
    auto* ready = view->readySection();
    auto* field = ready->chatInput()->field();
    EXPECT_EQ(field->placeholderText(), "What do you need?");
    EXPECT_FALSE(ready->askButton()->isEnabled()); // empty input
    QTest::keyClicks(field, "hi");
    EXPECT_EQ(model->chatOnlyInput(), "hi");
    EXPECT_TRUE(ready->askButton()->isEnabled());
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(model->chatOnlyInput(), "hi");
    EXPECT_EQ(field->text(), "hi");
    model->setChatOnlyInput(QStringLiteral("  \n"));
    EXPECT_FALSE(ready->askButton()->isEnabled());
    model->setChatOnlyInput(QString());
    EXPECT_TRUE(field->text().isEmpty());
    model->setChatOnlyBusy(true);
    EXPECT_EQ(ready->askButton()->title(), "...");
    EXPECT_FALSE(ready->askButton()->isEnabled());
    model->setChatOnlyBusy(false);
    EXPECT_EQ(ready->askButton()->title(), "Ask");
    model->setChatOnlyStatusMessage(QStringLiteral("Out of credits."));
    EXPECT_EQ(ready->statusLine()->text(), "Out of credits.");
    // The status dot only when ready with a word other than "Active".
    EXPECT_EQ(model->headerStatusText(), "Active");
    EXPECT_FALSE(view->isStatusDotVisible());
    EXPECT_FALSE(view->isPlainStatusWordVisible());
    model->setVoiceState(TovrikVoiceState::listening);
    EXPECT_EQ(model->headerStatusText(), "Listening");
    EXPECT_TRUE(view->isStatusDotVisible());
    test::drainEvents();
    const QImage image = view->grab().toImage();
    // Find the accent dot in the header, right of the name.
    bool found = false;
    for (int y = 18; y < 34 && !found; ++y)
        for (int x = 60; x < 140 && !found; ++x) {
            const QColor c = image.pixelColor(x, y);
            found = std::abs(c.red() - 47) <= 2 && std::abs(c.green() - 125) <= 2 && std::abs(c.blue() - 246) <= 2;
        }
    EXPECT_TRUE(found);
    // Credits are never shown below zero; a busy account dims and disables the refresh.
    EXPECT_EQ(ready->creditsFigure()->text(), "0");
    EXPECT_TRUE(ready->refreshButton()->isEnabled());
    EXPECT_DOUBLE_EQ(ready->refreshIconOpacity(), 0.55);
    model->continueWithGoogleSignIn();
    ASSERT_TRUE(model->isHostedAuthBusy());
    EXPECT_FALSE(ready->refreshButton()->isEnabled());
    EXPECT_DOUBLE_EQ(ready->refreshIconOpacity(), 0.22);
    ready->buyCreditsButton()->click();
    ASSERT_FALSE(sim->simWorkspace().openedURLs.isEmpty());
    EXPECT_TRUE(sim->simWorkspace().openedURLs.last().toString().endsWith("/account#price-cards"));
}

TEST_F(SettingsViewTest, EveryReadyStatusFitsItsOneLineAndALongerOneIsCutWithAnEllipsis)
{
    storeSession();
    make();
    ASSERT_EQ(view->width(), 320);
    PanelText* line = view->readySection()->statusLine();
    // Every status the model puts on the ready screen by itself fits its one
    // line whole; the empty-reply text keeps its fixed wording and, in a font
    // as wide as DejaVu Sans, is cut at its end rather than wrapped.
    const QString statuses[] = {
        QStringLiteral("Finish setup above to use chat-only."),
        QStringLiteral("Out of credits."),
        QStringLiteral("UI Autopilot is running..."),
        QStringLiteral("UI Autopilot stopped."),
        QStringLiteral("UI Autopilot stopped with Esc."),
        QStringLiteral("UI Autopilot did not complete the task."),
        "No browser opened " + QUrl(constants::hostedAccountPageURL()).host() + "/account.",
    };
    for (const QString& status : statuses) {
        model->setChatOnlyStatusMessage(status);
        test::drainEvents();
        EXPECT_EQ(line->displayedLines(), QStringList{status}) << status.toStdString();
    }
    model->setChatOnlyStatusMessage(QStringLiteral("Tovrik returned an empty reply. Try again."));
    test::drainEvents();
    EXPECT_EQ(line->displayedLines().size(), 1);
    // A service's longer message keeps to the one line, cut at its end.
    model->setChatOnlyStatusMessage(QStringLiteral("The service could not answer because the upstream model "
                                                   "provider is overloaded right now; please try again later."));
    test::drainEvents();
    const QStringList cut = line->displayedLines();
    ASSERT_EQ(cut.size(), 1);
    EXPECT_TRUE(cut.first().endsWith(QChar(0x2026)));
    EXPECT_LE(line->height(), int(std::ceil(QFontMetricsF(panelFont(10, FontWeight::Regular)).height())) + 1);
    // A settings failure shown here may be cut; hovering the line gives it
    // word for word, while a text that fits has no tooltip.
    for (const QString& status : {QStringLiteral("Out of credits."),
                                  QStringLiteral("Could not save settings: the disk is full."),
                                  QStringLiteral("Some values in the settings file were unreadable; their defaults are in use.")}) {
        model->setChatOnlyStatusMessage(status);
        test::drainEvents();
        const bool whole = line->displayedLines() == QStringList{status};
        EXPECT_EQ(line->isCut(), !whole) << status.toStdString();
        QHelpEvent hover(QEvent::ToolTip, QPoint(4, 4), line->mapToGlobal(QPoint(4, 4)));
        QCoreApplication::sendEvent(line, &hover);
        EXPECT_EQ(QToolTip::isVisible() ? QToolTip::text() : QString(), whole ? QString() : status);
        QToolTip::hideText();
    }
}

TEST_F(SettingsViewTest, PermissionsRefreshOnShowAndEvery800msWhileShownOnlyWhenSignedInWithATrustedOrigin)
{
    make();
    sim->simPermissions().accessibility = false;
    advance(1.0, 0.1); // signed out: ticks do nothing ...
    EXPECT_TRUE(model->accessibilityGranted());
    view->hide();
    view->show(); // ... but showing the view refreshes once
    test::drainEvents();
    EXPECT_FALSE(model->accessibilityGranted());
    sim->simPermissions().accessibility = true;
    view.reset();
    storeSession();
    make();
    sim->simPermissions().accessibility = false;
    advance(0.79, 0.79);
    EXPECT_TRUE(model->accessibilityGranted());
    advance(0.02, 0.02);
    EXPECT_FALSE(model->accessibilityGranted());
    // Hidden, the view does not tick (the idle app wakes for nothing); shown
    // again it refreshes at once and then ticks on.
    view->hide();
    sim->simPermissions().accessibility = true;
    advance(5.0, 0.1);
    EXPECT_FALSE(model->accessibilityGranted());
    view->show();
    test::drainEvents();
    EXPECT_TRUE(model->accessibilityGranted());
    sim->simPermissions().accessibility = false;
    advance(0.81, 0.1);
    EXPECT_FALSE(model->accessibilityGranted());
}

TEST_F(SettingsViewTest, SettingsFailuresShowOnThePageWhereTheUserActed)
{
    // An unreadable keychain at start: the sign-in screen says so and offers
    // to try again, which reads the kept session.
    storeSession();
    sim->simKeychain().failReadFor(QStringLiteral("hostedAccountSessionToken"));
    make();
    auto* auth = view->authenticationSection();
    ASSERT_EQ(view->currentScreen(), Screen::Authentication);
    ASSERT_NE(auth->visibleStatusLine(), nullptr);
    EXPECT_EQ(auth->visibleStatusLine()->text(), model->settingsStatusMessage());
    ASSERT_TRUE(auth->retryKeyringButton()->isVisibleTo(auth));
    EXPECT_EQ(grabbedSize(), QSize(320, 258 + 34 + 40));
    sim->simKeychain().failReadFor(QStringLiteral("hostedAccountSessionToken"), false);
    auth->retryKeyringButton()->click();
    test::drainEvents();
    EXPECT_EQ(view->currentScreen(), Screen::Ready);

    // A switch whose save fails: the settings page tells why, word for word.
    model->showAdvancedSettings();
    QDir(settingsDirectory()).removeRecursively();
    QFile blocker(settingsDirectory());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    model->setUIAutopilotEnabled(true);
    test::drainEvents();
    auto* page = view->fullAdvancedSection();
    EXPECT_FALSE(page->toggle(QStringLiteral("UI autopilot"))->settingsSwitch()->isOn());
    EXPECT_TRUE(page->updateStatusLabel()->isVisibleTo(page));
    EXPECT_EQ(page->updateStatusLabel()->text(), model->settingsStatusMessage());
    EXPECT_TRUE(model->settingsStatusMessage().startsWith(QStringLiteral("Could not save settings: ")));
    QFile::remove(settingsDirectory());
}
