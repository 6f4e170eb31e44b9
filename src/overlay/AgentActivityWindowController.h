#pragma once

// A small floating status panel for an agent worker: collapsed, a 42 × 42
// icon tile in the top-right corner of a screen; while the pointer hovers it,
// a 376 × 238 card with the title, a "Running" pill, the current step, the
// tail of the worker's log and an indeterminate progress bar.
//
// The controller holds the published texts and the panel. The model creates
// one at start-up and keeps it; nothing in the app creates its panel, shows
// it or writes its texts yet, so it carries its initial values. A build that
// shows it creates a floating window hosting AgentActivityView, gives both to
// setPanel()/setHostingView() and places it with resizePanel().
//
// Places are global AppKit coordinates (points, y up), as the overlay's.
// Everything runs on the main thread; the resize animation runs on
// tovrik::Clock.

#include "platform/Types.h"

#include <QList>
#include <QObject>
#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QWidget>
#include <optional>

namespace tovrik {
class ClockTimer;
}

namespace tovrik::overlay {

class AgentActivityView;

class AgentActivityWindowController : public QObject {
    Q_OBJECT
public:
    explicit AgentActivityWindowController(QObject* parent = nullptr);
    // Releases the panel and hosting view it holds.
    ~AgentActivityWindowController() override;

    static constexpr QSizeF collapsedSize{42, 42};
    static constexpr QSizeF expandedSize{376, 238};
    static constexpr double screenInset = 18;
    static constexpr double resizeDuration = 0.14;

    // ---- published (each write that changes a value emits changed()) ----
    const QString& title() const { return m_title; }
    const QString& detail() const { return m_detail; }
    const QString& logTail() const { return m_logTail; }
    const QString& logLocation() const { return m_logLocation; }
    bool isExpanded() const { return m_isExpanded; }
    void setTitle(const QString& v);
    void setDetail(const QString& v);
    void setLogTail(const QString& v);
    void setLogLocation(const QString& v);
    void setExpanded(bool v);

    // ---- the window (optional; the controller owns what it is given) ----
    QWidget* panel() const { return m_panel; }
    void setPanel(QWidget* panel);
    AgentActivityView* hostingView() const;
    void setHostingView(AgentActivityView* view);
    // When set, the panel is placed in this screen's visible frame.
    const std::optional<platform::DisplayInfo>& anchorScreen() const { return m_anchorScreen; }
    void setAnchorScreen(std::optional<platform::DisplayInfo> screen) { m_anchorScreen = std::move(screen); }

    // The pointer entered (true) or left (false) the view: expands or
    // collapses, then resizes the panel with animation.
    void hoverChanged(bool hovering);
    // Sizes and places the panel for isExpanded(): animated over 0.14 s
    // (ease-in-out), else at once. Without a panel, nothing happens.
    void resizePanel(bool animated);
    bool isResizing() const;
    // The panel's frame as last placed (AppKit; null before the first).
    QRectF currentFrame() const { return m_currentFrame; }

    // ---- pure rules ----
    // The frame the panel is placed in: the anchor's visible frame; else the
    // visible frame of the first screen whose frame holds `mouse`; else the
    // main screen's; with no screen at all, (0, 0, 900, 700).
    static QRectF placementFrame(const std::optional<platform::DisplayInfo>& anchor,
                                 const QList<platform::DisplayInfo>& screens, QPointF mouse);
    // The panel's frame: its top-right corner 18 points inside the
    // placement frame's top-right corner.
    static QRectF panelFrame(QSizeF size, const QRectF& placement);
    // The step icon's symbol name for a step text (see the .cpp for the table).
    static QString stepSymbolName(const QString& detail);

signals:
    void changed();

private:
    void resizeTick();
    void applyFrame(const QRectF& appKitFrame);

    QString m_title;
    QString m_detail;
    QString m_logTail;
    QString m_logLocation;
    bool m_isExpanded = false;
    QPointer<QWidget> m_panel;
    QPointer<QWidget> m_hostingView;
    std::optional<platform::DisplayInfo> m_anchorScreen;

    ClockTimer* m_resizeTimer = nullptr;
    QRectF m_currentFrame;
    QRectF m_resizeFrom;
    QRectF m_resizeTo;
    double m_resizeStart = 0;
};

} // namespace tovrik::overlay
