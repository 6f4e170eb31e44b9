#pragma once

// Program-wide constants. All are read-only; the per-launch synthetic-input
// marker is drawn by initialize() at process entry, before any event tap or
// synthetic event exists.

#include <QColor>
#include <QPointF>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstddef>
#include <cstdint>

namespace tovrik {

// One row of the built-in voice catalogue.
struct ElevenLabsVoiceOption {
    QString id;
    QString label;
    QString category; // "Female", "Male" or "Unisex"
    bool operator==(const ElevenLabsVoiceOption&) const = default;
};

namespace constants {

// Draws the synthetic-input marker from the system's secure random source.
// Returns false (and draws nothing) when the random source fails.
bool initialize();
// The same with another source of random bytes: `fill(buffer, size)` fills
// the buffer and returns false on failure (tests use a failing source).
using RandomFill = bool (*)(void* buffer, size_t size);
bool initialize(RandomFill fill);
bool systemRandomFill(void* buffer, size_t size);
bool isInitialized();

// Brand colours and names.
QColor turquoiseAccent();   // 47, 125, 246
QColor panelBackground();   // white 21
QColor panelSurface();      // white 32
inline const QString appDisplayName = QStringLiteral("Tovrik");
inline const QString appDisplayVersion = QStringLiteral("1.10.15");
inline const QString appBundleIdentifierFallback = QStringLiteral("ai.tovrik.mac");
inline const QString singleInstanceShowPanelNotification = QStringLiteral("ai.tovrik.mac.show-panel");

// Hosted service and updates.
const QString& defaultHostedWorkerBaseURL();
const QString& legacyHostedWorkerBaseURL();
const QSet<QString>& trustedHostedWorkerHosts();
const QString& hostedAccountPageURL();
inline const QString macOSDesktopAssetVersion = QStringLiteral("20260911-macos-v1.10.32-classic-autopilot");
// The Linux release channel: its manifest locations, tried in order, and the
// platform a manifest must name.
inline const QStringList linuxUpdateManifestPaths = {QStringLiteral("/api/downloads/linux/latest"),
                                                     QStringLiteral("/downloads/linux-latest.json")};
inline const QString linuxUpdatePlatform = QStringLiteral("linux");
const QString& macOSDeveloperTeamIdentifier();
const QString& googleClientID();
const QString& googleClientSecret();
const QString& googleAuthorizationEndpoint();
const QString& googleTokenEndpoint();

// The per-launch marker: odd, never 0.
int64_t syntheticInputEventSourceUserData();

// Model and voice defaults.
inline const QString expertHostedThinkingModel = QStringLiteral("claude-fable-5");
inline const QString defaultElevenLabsModelID = QStringLiteral("eleven_flash_v2_5");
inline const QString defaultElevenLabsVoiceID = QStringLiteral("kPzsL2i3teMYv0FxEYQ6");
inline const QString voiceSamplePreviewText = QStringLiteral("I'm Tovrik, and I'm here to help you with anything.");
const QVector<ElevenLabsVoiceOption>& elevenLabsVoiceOptions();

// Push-to-talk, conversation and shortcut capture.
inline constexpr double pushToTalkMinimumHoldDuration = 0.2;
inline constexpr double pushToTalkShortTapRestartDebounce = 0.24;
inline constexpr double pushToTalkReleaseWatchdogInterval = 0.12;
inline constexpr double pushToTalkMaximumHoldDuration = 600.0;
inline constexpr int maxConversationTurns = 12;
inline constexpr int maxConversationTextLength = 1600;
inline constexpr double modifierOnlyShortcutCaptureDelay = 0.52;

// Panel metrics (points before panelDisplayScale).
inline constexpr double readyPanelWidth = 320;
inline constexpr double menuPanelHeight = 312;
inline constexpr double authenticationPanelHeight = 258;
inline constexpr double authenticationExpandedPanelHeight = 380;
inline constexpr double authenticationStatusExtraHeight = 34;
// The sign-in screen's "Try again" button for an unreadable keyring.
inline constexpr double authenticationKeyringRetryExtraHeight = 40;
inline constexpr double activePermissionPanelHeight = 198;
inline constexpr double activePermissionChatPanelHeight = 292;
inline constexpr double updateStatusExtraHeight = 48;
inline constexpr double settingsPanelHeaderHeight = 51;
inline constexpr double shortcutSettingsPanelHeight = 354;
inline constexpr double voiceSettingsPanelHeight = 304;
inline constexpr double shortcutSettingsPanelStatusExtraHeight = 38;
inline constexpr double setupSettingsPanelHeight = 176;
inline constexpr double fullSettingsPanelHeight = 650;
inline constexpr double settingsWindowScreenMargin = 32;
inline constexpr double settingsVersionFooterTopPadding = 8;
inline constexpr double panelDisplayScale = 1.0;
inline constexpr double panelChromeCornerRadius = 17;

// Companion cursor.
inline const QColor cursorGuideBaseColor = QColor(47, 125, 246);
inline const QColor cursorGuideLightColor = QColor(76, 145, 255);
inline const QColor cursorGuideMidColor = QColor(42, 145, 255);
inline const QColor cursorGuideOutlineColor = QColor(255, 255, 255, 247);
inline constexpr double cursorGuideHeadingOffsetDegrees = 43.5;
inline constexpr double bubbleOffsetX = 10;
inline constexpr double bubbleOffsetY = 18;
inline constexpr double bubbleViewportMargin = 8;
inline const QPointF cursorFollowOffset = QPointF(35, 25);
inline const QPointF targetPointingOffset = QPointF(4, 4);

} // namespace constants
} // namespace tovrik
