// Permission onboarding step by step on the sim backend: which step is
// active, its texts, what each action asks of the system, the guide, and
// the bounded wait for a microphone answer.

#include "ModelTestSupport.h"

namespace tovrik::test {
namespace {

using platform::MicrophoneAuthorization;
using platform::PrivacyPane;

class ModelPermissionsTest : public ModelTest {
protected:
    platform::sim::SimPermissions& perms() { return sim->simPermissions(); }
};

TEST_F(ModelPermissionsTest, RefreshPublishesEveryFlagAndNoStepIsLeftOnceAllAreGranted)
{
    setPermissions(false, true, MicrophoneAuthorization::Restricted, false);
    auto& m = makeModel();
    EXPECT_TRUE(m.screenRecordingGranted() && m.microphoneNeedsSettings());
    EXPECT_FALSE(m.accessibilityGranted() || m.microphoneGranted() || m.hasMicrophoneInputDevice());
    int changes = 0;
    QObject::connect(&m, &TovrikAppModel::changed, [&changes]() { ++changes; });
    m.refreshPermissions();
    EXPECT_EQ(changes, 0) << "an unchanged refresh publishes nothing";
    setPermissions(true, true, MicrophoneAuthorization::Authorized, true);
    EXPECT_GT(changes, 0);
    EXPECT_TRUE(m.accessibilityGranted() && m.microphoneGranted() && m.hasMicrophoneInputDevice());
    EXPECT_FALSE(m.microphoneNeedsSettings());
    // Everything granted: no step is left (the steps in order are checked on
    // the permission screen's indicator).
    EXPECT_FALSE(m.activePermissionStep().has_value() || m.canSkipCurrentPermission());
    EXPECT_EQ(m.activePermissionStepNumber(), 3);
}

TEST_F(ModelPermissionsTest, MicrophonePromptIsBusyUntilTheAnswerOrTheTimeLimit)
{
    setPermissions(false, false, MicrophoneAuthorization::NotDetermined, true);
    auto& m = makeModel();
    m.performCurrentPermissionAction();
    EXPECT_EQ(perms().microphoneRequests, 1);
    EXPECT_TRUE(m.isCurrentPermissionBusy()); // (its texts and skipping are checked on the permission screen)
    // Unanswered, it stops being busy after the time limit; a late answer
    // still lands.
    advance(TovrikAppModel::permissionRequestTimeout - 1, 1.0);
    EXPECT_TRUE(m.isCurrentPermissionBusy());
    advance(2, 1.0);
    EXPECT_FALSE(m.isCurrentPermissionBusy());
    EXPECT_EQ(m.activePermissionActionTitle(), QStringLiteral("Allow"));
    perms().completeMicrophoneRequest();
    drainEvents();
    EXPECT_TRUE(!m.isCurrentPermissionBusy() && m.microphoneGranted());
    EXPECT_EQ(m.activePermissionStep(), PermissionSetupStep::screenRecording);
}

TEST_F(ModelPermissionsTest, RefusedMicrophoneOpensPrivacyPageAndGuideUntilGranted)
{
    setPermissions(false, false, MicrophoneAuthorization::Denied, true);
    auto& m = makeModel();
    m.performCurrentPermissionAction();
    EXPECT_FALSE(m.isCurrentPermissionBusy());
    EXPECT_EQ(perms().openedPanes, QList<PrivacyPane>{PrivacyPane::Microphone});
    EXPECT_EQ(m.visiblePermissionGuideKind(), PermissionGuideKind::microphone);
    EXPECT_EQ(perms().microphoneRequests, 0);
    m.refreshPermissions();
    EXPECT_EQ(m.visiblePermissionGuideKind(), PermissionGuideKind::microphone);
    setPermissions(false, false, MicrophoneAuthorization::Authorized, true);
    EXPECT_FALSE(m.visiblePermissionGuideKind().has_value());
    // Skipped instead: the guide goes and only the microphone step can be
    // skipped.
    setPermissions(false, false, MicrophoneAuthorization::Denied, true);
    m.performCurrentPermissionAction();
    ASSERT_TRUE(m.visiblePermissionGuideKind().has_value());
    m.skipCurrentOptionalPermission();
    EXPECT_TRUE(m.isMicrophoneStepSkipped());
    EXPECT_FALSE(m.visiblePermissionGuideKind().has_value() || m.isCurrentPermissionBusy());
    EXPECT_EQ(m.activePermissionStep(), PermissionSetupStep::screenRecording);
    m.skipCurrentOptionalPermission();
    EXPECT_EQ(m.activePermissionStep(), PermissionSetupStep::screenRecording);
}

TEST_F(ModelPermissionsTest, NoMicrophoneDeviceOnlyRefreshesAndSkipClearsBusyForGood)
{
    setPermissions(false, false, MicrophoneAuthorization::NotDetermined, false);
    auto& m = makeModel();
    m.performCurrentPermissionAction();
    EXPECT_EQ(perms().microphoneRequests, 0);
    EXPECT_TRUE(perms().openedPanes.isEmpty() && m.permissionIntroDismissed());
    EXPECT_FALSE(m.isCurrentPermissionBusy());
    // A device plugged in meanwhile is seen by the action's own refresh,
    // which then asks for access.
    perms().microphoneDevice = true;
    m.performCurrentPermissionAction();
    EXPECT_TRUE(m.hasMicrophoneInputDevice());
    EXPECT_EQ(perms().microphoneRequests, 1);
    ASSERT_TRUE(m.isCurrentPermissionBusy());
    // Skipped while the prompt is open: not busy, and a late answer changes
    // nothing.
    m.skipCurrentOptionalPermission();
    EXPECT_FALSE(m.isCurrentPermissionBusy());
    setPermissions(true, false, MicrophoneAuthorization::NotDetermined, true);
    m.performCurrentPermissionAction(); // screen recording
    perms().completeMicrophoneRequest();
    drainEvents();
    EXPECT_FALSE(m.isCurrentPermissionBusy());
}

TEST_F(ModelPermissionsTest, ScreenRecordingPromptSettingsFallbackThenAccessibility)
{
    setPermissions(false, false, MicrophoneAuthorization::Authorized, true);
    auto& m = makeModel();
    m.performCurrentPermissionAction();
    EXPECT_EQ(perms().screenRecordingRequests, 1);
    EXPECT_FALSE(m.isCurrentPermissionBusy());
    EXPECT_EQ(m.screenRecordingPermissionFlow(), ScreenRecordingPermissionFlow::awaitingSystemPrompt);
    EXPECT_EQ(m.activePermissionSubtitle(), QStringLiteral("Click Open Settings in the system prompt."));
    EXPECT_TRUE(perms().openedPanes.isEmpty());
    m.performCurrentPermissionAction();
    EXPECT_EQ(perms().screenRecordingRequests, 1) << "the second click goes to the settings instead";
    EXPECT_EQ(m.screenRecordingPermissionFlow(), ScreenRecordingPermissionFlow::settingsFallback);
    EXPECT_EQ(perms().openedPanes, QList<PrivacyPane>{PrivacyPane::ScreenRecording});
    EXPECT_EQ(m.visiblePermissionGuideKind(), PermissionGuideKind::screenRecording);
    EXPECT_EQ(m.activePermissionSubtitle(), "Approve the capture check so I can see the active screen.");
    setPermissions(false, true, MicrophoneAuthorization::Authorized, true);
    EXPECT_EQ(m.screenRecordingPermissionFlow(), ScreenRecordingPermissionFlow::idle);
    EXPECT_FALSE(m.visiblePermissionGuideKind().has_value());
    EXPECT_EQ(m.activePermissionStep(), PermissionSetupStep::accessibility);
    // The accessibility step: a request, its privacy page and the guide.
    m.performCurrentPermissionAction();
    EXPECT_EQ(perms().accessibilityRequests, 1);
    EXPECT_FALSE(m.isCurrentPermissionBusy());
    EXPECT_EQ(perms().openedPanes, (QList<PrivacyPane>{PrivacyPane::ScreenRecording, PrivacyPane::Accessibility}));
    EXPECT_EQ(m.visiblePermissionGuideKind(), PermissionGuideKind::accessibility);
    setPermissions(true, true, MicrophoneAuthorization::Authorized, true);
    EXPECT_FALSE(m.visiblePermissionGuideKind().has_value());
    // With every permission granted the action only dismisses the intro.
    m.performCurrentPermissionAction();
    EXPECT_EQ(perms().accessibilityRequests, 1);
}

// Requests the system grants at once open no settings and no guide.
TEST_F(ModelPermissionsTest, ScreenRecordingAndAccessibilityGrantedByTheirRequests)
{
    setPermissions(false, false, MicrophoneAuthorization::Authorized, true);
    perms().grantScreenRecordingOnRequest = true;
    perms().grantAccessibilityOnRequest = true;
    auto& m = makeModel();
    m.performCurrentPermissionAction();
    EXPECT_TRUE(m.screenRecordingGranted());
    EXPECT_EQ(m.screenRecordingPermissionFlow(), ScreenRecordingPermissionFlow::idle);
    EXPECT_EQ(m.activePermissionStep(), PermissionSetupStep::accessibility);
    m.performCurrentPermissionAction();
    EXPECT_TRUE(m.accessibilityGranted() && perms().openedPanes.isEmpty());
    EXPECT_FALSE(m.activePermissionStep().has_value() || m.visiblePermissionGuideKind().has_value());
}

} // namespace
} // namespace tovrik::test
