// The permission onboarding screen, the permission guide and the settings
// pages on a real model (sim backend), through their widgets.

#include "PanelFixture.h"
#include "interaction/HotkeyMonitor.h"
#include "overlay/OverlayWindowController.h"
#include "panel/PermissionGuide.h"
#include "panel/PermissionSection.h"
#include "panel/ReadySection.h"
#include "panel/SettingsPages.h"
#include "panel/kit/Controls.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/SettingsRows.h"
#include "panel/kit/StyledButton.h"
#include "panel/kit/Symbols.h"

#include <QCoreApplication>
#include <QEnterEvent>
#include <QMimeData>
#include <QUrl>
#include <mutex>

using namespace tovrik;
using namespace tovrik::panel;
using platform::MicrophoneAuthorization;

namespace {

class PagesTest : public test::PanelViewTest {
protected:
    // Signed in, with these permission switches.
    void signedInWith(MicrophoneAuthorization mic, bool micDevice, bool screen, bool control)
    {
        view.reset();
        model.reset();
        setPermissions(control, screen, mic, micDevice);
        storeSession();
        make();
    }
    PermissionSection& permission() { return *view->permissionSection(); }
};

} // namespace

TEST_F(PagesTest, EachPermissionStepShowsItsTextsBadgeAndButtonsWhichARequestDisablesAndTheGuideFollows)
{
    struct Row {
        MicrophoneAuthorization mic;
        bool micDevice, screen;
        const char *steps, *symbol, *title, *line, *button;
        bool skip;
        int height;
    };
    const Row rows[] = {
        {MicrophoneAuthorization::NotDetermined, false, false, "1 of 3", "mic.fill", "Microphone is optional.",
         "Connect a microphone, refresh, or skip voice setup.", "Refresh", true, 198},
        {MicrophoneAuthorization::Denied, true, false, "1 of 3", "mic.fill", "Microphone is optional.",
         "Flip the Microphone toggle on.", "Open", true, 198},
        {MicrophoneAuthorization::NotDetermined, true, false, "1 of 3", "mic.fill", "Microphone is optional.",
         "Only while you're holding the shortcut.", "Allow", true, 198},
        {MicrophoneAuthorization::Authorized, true, false, "2 of 3", "rectangle.on.rectangle", "I need screen content.",
         "Approve the capture check so I can see the active screen.", "Allow", false, 198},
        {MicrophoneAuthorization::Authorized, true, true, "3 of 3", "figure.stand", "I need app control.",
         "Approve control access so I can guide apps.", "Open", false, 292},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        signedInWith(r.mic, r.micDevice, r.screen, false);
        ASSERT_EQ(view->currentScreen(), SettingsView::Screen::Permission);
        EXPECT_EQ(model->headerStatusText(), "Setup");
        EXPECT_TRUE(view->isPlainStatusWordVisible());
        EXPECT_EQ(permission().indicator()->text(), r.steps);
        EXPECT_EQ(permission().badgeSymbol()->symbol(), r.symbol);
        EXPECT_EQ(permission().title()->text(), r.title);
        EXPECT_EQ(permission().instruction()->text(), r.line);
        EXPECT_EQ(permission().actionButton()->title(), r.button);
        EXPECT_EQ(permission().skipButton()->isVisibleTo(view.get()), r.skip);
        // Title and instruction show whole (the title on one line, the
        // instruction on at most two), whatever the buttons beside them.
        EXPECT_EQ(permission().title()->displayedLines(), QStringList(r.title));
        EXPECT_EQ(permission().instruction()->displayedLines().join(' '), r.line);
        // The ask card (and its divider) only once typed chat is possible.
        EXPECT_EQ(permission().askCard()->isVisibleTo(view.get()), r.screen);
        EXPECT_EQ(permission().askDivider()->isVisibleTo(view.get()), r.screen);
        EXPECT_EQ(grabbedSize(), QSize(320, r.height));
    }
    // While a request is pending both buttons are disabled.
    signedInWith(MicrophoneAuthorization::NotDetermined, true, false, false);
    permission().actionButton()->click();
    EXPECT_EQ(permission().actionButton()->title(), "Allowing...");
    EXPECT_EQ(permission().instruction()->text(), "Click Allow in the system prompt.");
    EXPECT_FALSE(permission().actionButton()->isEnabled());
    EXPECT_FALSE(permission().skipButton()->isEnabled());
    sim->simPermissions().completeMicrophoneRequest();
    ASSERT_TRUE(test::spinUntil([&] { return permission().actionButton()->isEnabled(); }));
    EXPECT_EQ(permission().indicator()->text(), "2 of 3"); // granted: on to screen recording
    // A prompt that never answers gives the buttons back after the time-out.
    signedInWith(MicrophoneAuthorization::NotDetermined, true, false, false);
    permission().actionButton()->click();
    ASSERT_FALSE(permission().skipButton()->isEnabled());
    advance(TovrikAppModel::permissionRequestTimeout + 0.1, 1.0);
    EXPECT_TRUE(permission().skipButton()->isEnabled());
    EXPECT_TRUE(permission().actionButton()->isEnabled());
    // Skip moves on to the next missing step, which is still step 2.
    permission().skipButton()->click();
    EXPECT_EQ(permission().indicator()->text(), "2 of 3");
    EXPECT_FALSE(permission().skipButton()->isVisibleTo(view.get()));
    // A refused microphone opens its privacy page, and the guide follows the model.
    signedInWith(MicrophoneAuthorization::Denied, true, false, false);
    PermissionGuideWindowController guide(model.get());
    EXPECT_EQ(guide.panel(), nullptr); // no window before the first show
    permission().actionButton()->click();
    ASSERT_EQ(sim->simPermissions().openedPanes, QList<platform::PrivacyPane>{platform::PrivacyPane::Microphone});
    ASSERT_NE(guide.panel(), nullptr);
    QWidget* window = guide.panel();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->height(), 126);
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(window->testAttribute(Qt::WA_ShowWithoutActivating));
    // Another kind reuses the window.
    guide.show(PermissionGuideKind::screenRecording);
    EXPECT_EQ(guide.panel(), window);
    EXPECT_EQ(window->height(), 154);
    EXPECT_EQ(guide.view()->kind(), PermissionGuideKind::screenRecording);
    // Skipping the microphone hides it.
    permission().skipButton()->click();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(PagesTest, GuidePlacementTextsAndChipStates)
{
    using namespace guide_geometry;
    struct Size {
        double visibleWidth;
        PermissionGuideKind kind;
        QRectF frame;
    };
    const Size sizes[] = {
        {400, PermissionGuideKind::microphone, {20, 38, 360, 126}},
        {2000, PermissionGuideKind::accessibility, {720, 38, 560, 154}},
        {600, PermissionGuideKind::screenRecording, {24, 38, 552, 154}},
    };
    for (const Size& s : sizes)
        EXPECT_EQ(guideFrame(QRectF(0, 20, s.visibleWidth, 300), s.kind), s.frame) << s.visibleWidth;
    // The display under the pointer, else the main one, else a fallback.
    const auto displays = platform::sim::SimDisplays::withFrames(
        {platform::sim::SimDisplays::make(1, {0, 0, 1000, 800}, 1, true),
         platform::sim::SimDisplays::make(2, {1000, -200, 1600, 1000})});
    EXPECT_EQ(visibleFrameUnder(displays, QPointF(1500, 500)), displays[1].visibleFrame);
    EXPECT_EQ(visibleFrameUnder(displays, QPointF(-50, 500)), displays[0].visibleFrame);
    EXPECT_EQ(guideFrame(visibleFrameUnder({}, QPointF()), PermissionGuideKind::accessibility),
              QRectF(40, 18, 560, 154));

    struct Text {
        PermissionGuideKind kind;
        const char *title, *subtitle;
        bool draggable;
    };
    const Text texts[] = {
        {PermissionGuideKind::microphone, "I'm Tovrik - turn my toggle on above.",
         "Look for Tovrik above, then flip the toggle on.", false},
        {PermissionGuideKind::accessibility, "I'm Tovrik - I can't use the keyboard and mouse here.",
         "This X server has no XTEST extension, so Tovrik cannot use the keyboard and mouse. Enable XTEST, or use an "
         "X11 session.",
         true},
        {PermissionGuideKind::screenRecording, "I'm Tovrik - I can't see the screen here.",
         "This X server refuses to let Tovrik capture the screen. Run it as a trusted X client, or use an X11 session.",
         true},
    };
    // The guide names what the X server lacks; nothing sends the user to a
    // settings list that this desktop does not have.
    sim->simPermissions().missingInput = {QStringLiteral("XTEST")};
    EXPECT_EQ(permissionGuideSubtitle(PermissionGuideKind::accessibility, {QStringLiteral("XInput2")}),
              "This X server has no XInput2 extension, so Tovrik cannot follow the keyboard and mouse. Enable XInput2, "
              "or use an X11 session.");
    EXPECT_EQ(permissionGuideSubtitle(PermissionGuideKind::accessibility, {"XTEST", "XInput2"}),
              "This X server has neither XTEST nor XInput2, so Tovrik cannot use the keyboard and mouse. Enable both, or "
              "use an X11 session.");
    for (const Text& t : texts) {
        PermissionGuideView view(t.kind);
        view.resize(400, 154);
        EXPECT_EQ(view.title()->text(), t.title);
        EXPECT_EQ(view.subtitle()->text(), t.subtitle);
        EXPECT_EQ(view.chip()->isDraggable(), t.draggable);
        EXPECT_EQ(view.chip()->isHandLabelVisible(), t.draggable);
        EXPECT_EQ(view.chip()->height(), t.draggable ? 58 : 46);
        // Hovering grows only a draggable chip; leaving returns it to rest.
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(view.chip(), &enter);
        EXPECT_EQ(view.chip()->insets(), t.draggable ? QPointF(7, 3) : QPointF(12, 6));
        EXPECT_EQ(view.chip()->plateColor(), whiteAt(t.draggable ? 0.115 : 0.08));
        EXPECT_EQ(view.chip()->borderColor(), whiteAt(t.draggable ? 0.18 : 0.1));
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(view.chip(), &leave);
        EXPECT_EQ(view.chip()->insets(), QPointF(12, 6));
    }

    // What a drag carries: one URL, the running program's own file, copy only.
    std::unique_ptr<QMimeData> payload(AppBundleDragChipView::dragPayload());
    ASSERT_EQ(payload->urls().size(), 1);
    EXPECT_EQ(payload->urls().first(), QUrl::fromLocalFile(QCoreApplication::applicationFilePath()));
    EXPECT_EQ(AppBundleDragChipView::dragActions, Qt::DropActions(Qt::CopyAction));
}

TEST_F(PagesTest, SettingsPagesHaveTheirHeights)
{
    struct Row {
        bool ready;
        const char* page;
        const char* status; // the page's status message
        SettingsView::Screen screen;
        int height;
    };
    const Row rows[] = {
        {true, "settings", "", SettingsView::Screen::FullAdvanced, 650},
        {true, "settings", "Checking latest version...", SettingsView::Screen::FullAdvanced, 698},
        {true, "settings", "  \n ", SettingsView::Screen::FullAdvanced, 650}, // blank: no label, no room
        {false, "settings", "", SettingsView::Screen::Setup, 176},
        {false, "settings", "Checking latest version...", SettingsView::Screen::Setup, 224},
        {true, "voice", "", SettingsView::Screen::Voice, 304},
        {true, "shortcuts", "", SettingsView::Screen::Shortcut, 354},
        {true, "shortcuts", "Voice shortcut updated.", SettingsView::Screen::Shortcut, 392},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.page) + " / " + r.status);
        signedInWith(MicrophoneAuthorization::Authorized, true, true, r.ready);
        model->showAdvancedSettings();
        if (QString(r.page) == "voice")
            model->showVoiceSettings();
        if (QString(r.page) == "shortcuts") {
            model->showShortcutSettings();
            model->handleShortcutCaptureFailed(r.status);
        } else {
            model->setUpdateStatusMessage(r.status);
        }
        ASSERT_EQ(view->currentScreen(), r.screen);
        EXPECT_EQ(grabbedSize(), QSize(320, r.height));
        if (r.screen == SettingsView::Screen::FullAdvanced || r.screen == SettingsView::Screen::Setup) {
            auto* page = static_cast<AdvancedSection*>(view->currentScreenWidget());
            EXPECT_EQ(page->updateStatusLabel()->isVisibleTo(view.get()), !isBlank(r.status));
        }
        // Every line of the page lies inside the panel, above its 14-point
        // bottom padding.
        EXPECT_EQ(view->currentScreenWidget()->geometry().bottom(), view->contentArea()->height() - 14 - 1);
        for (PanelText* text : view->currentScreenWidget()->findChildren<PanelText*>()) {
            if (!text->isVisibleTo(view.get()) || text->text().isEmpty())
                continue;
            const QRect place(text->mapTo(view.get(), QPoint(0, 0)), text->size());
            EXPECT_TRUE(view->rect().adjusted(0, 0, 0, -14).contains(place)) << text->text().toStdString();
        }
    }
}

TEST_F(PagesTest, FullSettingsPageRowsCallTheModelAndVoiceCardsPreviewTheVoiceClicked)
{
    signedInWith(MicrophoneAuthorization::Authorized, true, true, true);
    changeSettings([](TovrikSettings& s) { s.hostedAccountEmail = QStringLiteral("  a@b.c \n"); });
    model->showAdvancedSettings();
    AdvancedSection& page = *view->fullAdvancedSection();
    EXPECT_EQ(page.row("Shortcuts")->subtitleLabel()->text(), "Ctrl + Alt / Ctrl + Shift + Alt");
    EXPECT_EQ(page.row("Buy credits")->subtitleLabel()->text(), "40 credits remaining");
    EXPECT_EQ(page.row("Sign out")->subtitleLabel()->text(), "a@b.c");
    EXPECT_EQ(page.row("Voice")->subtitleLabel()->text(), model->selectedElevenLabsVoiceLabel());
    EXPECT_TRUE(page.row("Quit Tovrik")->isDestructive());
    EXPECT_EQ(page.findChild<PanelText*>("versionFooter")->text(), "Version 1.10.15");
    EXPECT_EQ(view->setupSection()->findChild<PanelText*>("versionFooter")->text(), "Version 1.10.15");
    EXPECT_NE(view->setupSection()->row("Quit Tovrik"), nullptr);
    EXPECT_EQ(view->setupSection()->row("Voice"), nullptr);
    // A switch saves its field and shows the stored value.
    page.toggle("Text only")->click();
    EXPECT_TRUE(model->settings().isSilentModeEnabled);
    EXPECT_TRUE(page.toggle("Text only")->settingsSwitch()->isOn());
    page.toggle("UI autopilot")->click();
    EXPECT_TRUE(model->settings().isUIAutopilotEnabled);
    // While a check runs the update row does nothing.
    model->setUpdateCheckBusy(true);
    model->setUpdateStatusMessage(QStringLiteral("Checking latest version..."));
    page.row("Check for updates")->click();
    EXPECT_EQ(model->updateStatusMessage(), "Checking latest version...");
    EXPECT_TRUE(model->isUpdateCheckBusy());
    // The links open their pages.
    page.row("Shortcuts")->click();
    EXPECT_EQ(view->currentScreen(), SettingsView::Screen::Shortcut);
    model->showMainScreen();
    page.row("Voice")->click();
    EXPECT_EQ(view->currentScreen(), SettingsView::Screen::Voice);
    // The voice cards: two columns, a click previews the voice clicked.
    test::drainEvents();
    const auto cards = view->voiceSection()->cards();
    ASSERT_EQ(cards.size(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(cards[i]->x(), cards[i % 2]->x());
        EXPECT_EQ(cards[i]->y(), cards[i - i % 2]->y());
    }
    EXPECT_LT(cards[0]->x() + cards[0]->width(), cards[1]->x());
    const VoiceMenuOption picked = cards[3]->option();
    cards[3]->click();
    EXPECT_EQ(model->settings().elevenLabsVoiceID, picked.id);
    EXPECT_TRUE(cards[3]->showsCheckmark());
    EXPECT_FALSE(cards[0]->showsCheckmark());
    EXPECT_EQ(view->voiceSection()->statusLine()->text(), "Playing " + picked.label + "...");
}

TEST_F(PagesTest, TurningKeepReplyBubbleOffDismissesAPinnedBubbleOnly)
{
    signedInWith(MicrophoneAuthorization::Authorized, true, true, true);
    model->showAdvancedSettings();
    AdvancedSection& page = *view->fullAdvancedSection();
    OverlayWindowController& overlay = *model->overlayController();
    auto* keep = page.toggle(QStringLiteral("Keep reply bubble"));
    keep->click(); // on: nothing is dismissed
    ASSERT_TRUE(model->settings().keepResponseBubbleVisibleUntilDismissed);
    overlay.showResponse(QStringLiteral("Kept answer"), std::nullopt, QSizeF(), std::nullopt, false, 0, true);
    ASSERT_TRUE(overlay.isResponseBubblePinned());
    keep->click(); // off: the pinned bubble goes
    EXPECT_FALSE(model->settings().keepResponseBubbleVisibleUntilDismissed);
    EXPECT_FALSE(overlay.isResponseBubblePinned());
    EXPECT_TRUE(overlay.bubbleText().isEmpty());
    // An unpinned answer stays when the switch is turned off again.
    keep->click();
    overlay.showResponse(QStringLiteral("Passing answer"), std::nullopt, QSizeF(), std::nullopt, false, 30, false);
    keep->click();
    EXPECT_EQ(overlay.bubbleText(), "Passing answer");
}

TEST_F(PagesTest, ChipsShowTheKeysALinuxKeyboardPrintsAndShortcutCaptureListensCancelsOnEscAndEndsOnBack)
{
    // Stored text forms keep their names ("option", "command").
    SettingsStore store;
    TovrikSettings s = store.load().settings;
    s.voiceShortcut = QStringLiteral("control+option");
    s.panelShortcut = QStringLiteral("command+option+shift+control");
    ASSERT_TRUE(store.save(s).ok);
    signedInWith(MicrophoneAuthorization::Authorized, true, true, true);
    auto chips = [](KeySequenceView* keys) {
        QStringList texts;
        for (HotkeyChip* chip : keys->findChildren<HotkeyChip*>())
            texts << chip->text();
        return texts;
    };
    EXPECT_EQ(chips(view->readySection()->voiceRow()->keysView()), QStringList({"Ctrl", "Alt"}));
    EXPECT_EQ(chips(view->readySection()->menuRow()->keysView()), QStringList({"Ctrl", "Shift", "Alt", "Super"}));
    model->showAdvancedSettings();
    EXPECT_EQ(view->fullAdvancedSection()->row("Shortcuts")->subtitleLabel()->text(),
              "Ctrl + Alt / Ctrl + Shift + Alt + Super");
    model->showShortcutSettings();
    EXPECT_EQ(chips(view->shortcutSection()->menuRow()->keysView()), QStringList({"Ctrl", "Shift", "Alt", "Super"}));
    EXPECT_EQ(SettingsStore().load().settings.voiceShortcut, "control+option");
    // Capture listens on one row at a time, Esc cancels it, leaving the page ends it.
    model->launch();
    model->showShortcutSettings();
    ShortcutSection& page = *view->shortcutSection();
    EXPECT_EQ(page.voiceRow()->keysView()->keys(), QStringList({"Ctrl", "Alt"}));
    page.voiceRow()->button()->click();
    EXPECT_EQ(page.voiceRow()->button()->text(), "Listening");
    page.menuRow()->button()->click(); // the title moves to the menu row
    EXPECT_EQ(page.voiceRow()->button()->text(), "Change");
    EXPECT_EQ(page.menuRow()->button()->text(), "Listening");
    EXPECT_EQ(page.statusLine()->text(), "Press the new menu shortcut. Esc cancels.");
    sim->simEventTap().injectKey(platform::KeyCode::Escape, true, 0);
    ASSERT_TRUE(test::spinUntil([&] { return page.statusLine()->text() == "Shortcut change canceled."; }));
    EXPECT_EQ(page.menuRow()->button()->text(), "Change");

    page.voiceRow()->button()->click();
    view->backButton()->click();
    EXPECT_EQ(view->currentScreen(), SettingsView::Screen::FullAdvanced);
    {
        std::lock_guard<std::mutex> lock(model->hotkeyMonitor().stateLock);
        EXPECT_FALSE(model->hotkeyMonitor().isCapturingShortcut);
    }
    EXPECT_EQ(model->shortcutCaptureStatusMessage(), "Shortcut change canceled.");

    model->showShortcutSettings();
    static_cast<QAbstractButton*>(page.resetButton())->click();
    EXPECT_EQ(page.statusLine()->text(), "Shortcuts reset to defaults.");
    EXPECT_EQ(page.menuRow()->keysView()->keys(), QStringList({"Ctrl", "Shift", "Alt"}));
}
