#include "autopilot/UIAutopilotAction.h"

#include <QTextBoundaryFinder>

#include <array>

namespace tovrik {

namespace {

constexpr std::array<const char*, 12> rawValues = {"click", "double_click", "right_click", "middle_click",
                                                   "move",  "drag",         "input",       "key",
                                                   "scroll", "wait",        "done",        "zoom"};

qint64 graphemeCount(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qint64 count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

} // namespace

QString rawValue(UIAutopilotActionKind kind) { return QLatin1String(rawValues[size_t(kind)]); }

std::optional<UIAutopilotActionKind> actionKindFromRawValue(const QString& raw)
{
    for (size_t i = 0; i < rawValues.size(); ++i)
        if (raw == QLatin1String(rawValues[i]))
            return UIAutopilotActionKind(i);
    return std::nullopt;
}

QString UIAutopilotAction::labelOrFallback(const QString& fallback) const
{
    return label.trimmed().isEmpty() ? fallback : label;
}

QString UIAutopilotAction::logDescription() const
{
    using K = UIAutopilotActionKind;
    if (!phase.isEmpty())
        return rawValue(kind) + QLatin1Char('_') + phase + QLatin1Char(' ') + key + QLatin1Char(' ') + button;
    if (!path.isEmpty())
        return QStringLiteral("drag_path %1 points, %2, %3ms").arg(path.size()).arg(button).arg(milliseconds);
    switch (kind) {
    case K::click: return QStringLiteral("click ") + labelOrFallback(QStringLiteral("target"));
    case K::doubleClick: return QStringLiteral("double click ") + labelOrFallback(QStringLiteral("target"));
    case K::rightClick: return QStringLiteral("right click ") + labelOrFallback(QStringLiteral("target"));
    case K::middleClick: return QStringLiteral("middle click ") + labelOrFallback(QStringLiteral("target"));
    case K::move: return QStringLiteral("move to ") + labelOrFallback(QStringLiteral("target"));
    case K::drag: return QStringLiteral("drag ") + labelOrFallback(QStringLiteral("target"));
    case K::input:
        return QStringLiteral("input %1 chars into ").arg(graphemeCount(text)) + labelOrFallback(QStringLiteral("field"));
    case K::key: return QStringLiteral("key ") + key;
    case K::scroll: return QStringLiteral("scroll %1 %2").arg(direction).arg(pixels);
    case K::wait: return QStringLiteral("wait %1ms").arg(milliseconds);
    case K::done: return QStringLiteral("done ") + text;
    case K::zoom:
        return QStringLiteral("zoom %1x%2 on screen %3").arg(zoomWidth).arg(zoomHeight).arg(screenNumber.value_or(1));
    }
    return {};
}

} // namespace tovrik
