#include "autopilot/UIAutopilotParsing.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tovrik {

namespace {

using K = UIAutopilotActionKind;

const QHash<QString, K>& aliases()
{
    static const QHash<QString, K> table = [] {
        QHash<QString, K> t;
        const auto add = [&t](K kind, std::initializer_list<const char*> names) {
            for (const char* n : names)
                t.insert(QLatin1String(n), kind);
        };
        add(K::move, {"hover", "move", "mousemove", "movemouse", "point"});
        add(K::drag, {"dragpath", "drag", "dragdrop", "draganddrop", "drop"});
        add(K::doubleClick, {"doubleclick", "doubletap", "dblclick"});
        add(K::rightClick, {"rightclick", "righttap", "secondaryclick", "contextclick", "contextmenu"});
        add(K::middleClick, {"middleclick", "wheelclick", "scrollclick", "auxclick", "mouse3"});
        add(K::input, {"type", "write"});
        add(K::key, {"keydown", "keyup", "holdkey", "keyhold", "press", "hotkey", "shortcut", "keyboard", "keypress",
                     "presskey"});
        add(K::click, {"mousedown", "mouseup", "hold", "mousehold"});
        add(K::done, {"finish"});
        return t;
    }();
    return table;
}

std::optional<QJsonValue> member(const QJsonObject& o, const char* key)
{
    const auto it = o.constFind(QLatin1String(key));
    if (it == o.constEnd())
        return std::nullopt;
    return it.value();
}

// The value of the first key that exists.
std::optional<QJsonValue> firstPresent(const QJsonObject& o, std::initializer_list<const char*> keys)
{
    for (const char* k : keys)
        if (auto v = member(o, k))
            return v;
    return std::nullopt;
}

// The first key whose value is text.
std::optional<QString> firstText(const QJsonObject& o, std::initializer_list<const char*> keys)
{
    for (const char* k : keys) {
        const QJsonValue v = o.value(QLatin1String(k));
        if (v.isString())
            return v.toString();
    }
    return std::nullopt;
}

QString textOrEmpty(const std::optional<QJsonValue>& v) { return v && v->isString() ? v->toString() : QString(); }

// Carriage return, line feed and the Unicode line and paragraph separators.
bool containsLineBreak(const QString& text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar(0x2028) || c == QChar(0x2029)
            || c == QChar(0x85);
    });
}

const QRegularExpression& decimalLiteral()
{
    static const QRegularExpression re(QStringLiteral(R"(\A[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?\z)"));
    return re;
}

} // namespace

TovrikError autopilotError(int code, const QString& message) { return TovrikError(kUIAutopilotErrorDomain, code, message); }

QString UIAutopilotCanonicalKeyChord::text() const
{
    QStringList parts;
    for (const char* m : {"control", "option", "shift", "command"})
        if (modifiers.contains(QLatin1String(m)))
            parts << QLatin1String(m);
    parts << key;
    return parts.join(QLatin1Char('+'));
}

std::optional<double> readOptionalDouble(const std::optional<QJsonValue>& value)
{
    if (!value)
        return std::nullopt;
    if (value->isDouble()) {
        const double d = value->toDouble();
        return std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
    }
    if (!value->isString())
        return std::nullopt;
    const QString text = value->toString().trimmed();
    if (!decimalLiteral().match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const double d = text.toDouble(&ok); // C locale
    return ok && std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
}

std::optional<qint64> readOptionalInt(const std::optional<QJsonValue>& value)
{
    if (!value)
        return std::nullopt;
    if (value->isDouble()) {
        const QVariant v = value->toVariant();
        if (v.typeId() == QMetaType::LongLong)
            return v.toLongLong();
        const double d = std::trunc(value->toDouble());
        // 2^63 itself is out of range; -2^63 is not.
        if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
            return std::nullopt;
        return qint64(d);
    }
    if (!value->isString())
        return std::nullopt;
    static const QRegularExpression digits(QStringLiteral(R"(\A[+-]?\d+\z)"));
    const QString text = value->toString().trimmed();
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    return ok ? std::optional<qint64>(n) : std::nullopt;
}

std::optional<QPointF> readUIAutopilotPoint(const QJsonObject& object)
{
    const auto x = readOptionalDouble(member(object, "x"));
    const auto y = readOptionalDouble(member(object, "y"));
    if (x && y)
        return QPointF(*x, *y);
    const QJsonValue point = object.value(QLatin1String("point"));
    if (point.isObject()) {
        const QJsonObject p = point.toObject();
        const auto px = readOptionalDouble(member(p, "x"));
        const auto py = readOptionalDouble(member(p, "y"));
        if (px && py)
            return QPointF(*px, *py);
    }
    return std::nullopt;
}

QString extractJSONObject(const QString& text)
{
    const QString trimmed = text.trimmed();
    const qsizetype open = trimmed.indexOf(QLatin1Char('{'));
    const qsizetype close = trimmed.lastIndexOf(QLatin1Char('}'));
    if (open < 0 || close < 0 || open >= close)
        throw autopilotError(8, QStringLiteral("UI Autopilot did not return a JSON object."));
    return trimmed.mid(open, close - open + 1);
}

std::optional<UIAutopilotCanonicalKeyChord> canonicalUIAutopilotKeyChord(const QString& text)
{
    const QStringList pieces = text.toLower().split(QLatin1Char('+'));
    UIAutopilotCanonicalKeyChord chord;
    bool haveKey = false;
    for (QString piece : pieces) {
        piece = piece.trimmed();
        if (piece.isEmpty())
            return std::nullopt;
        if (piece == QLatin1String("ctrl") || piece == QLatin1String("control")) {
            chord.modifiers.insert(QStringLiteral("control"));
        } else if (piece == QLatin1String("alt") || piece == QLatin1String("option")) {
            chord.modifiers.insert(QStringLiteral("option"));
        } else if (piece == QLatin1String("shift")) {
            chord.modifiers.insert(QStringLiteral("shift"));
        } else if (piece == QLatin1String("cmd") || piece == QLatin1String("command") || piece == QLatin1String("meta")
                   || piece == QLatin1String("super")) {
            chord.modifiers.insert(QStringLiteral("command"));
        } else {
            if (haveKey)
                return std::nullopt;
            haveKey = true;
            QString k = piece;
            k.remove(QLatin1Char(' '));
            static const QHash<QString, QString> names = {
                {QStringLiteral("enter"), QStringLiteral("return")},
                {QStringLiteral("return"), QStringLiteral("return")},
                {QStringLiteral("returnkey"), QStringLiteral("return")},
                {QStringLiteral("space"), QStringLiteral("space")},
                {QStringLiteral("spacebar"), QStringLiteral("space")},
                {QStringLiteral("esc"), QStringLiteral("escape")},
                {QStringLiteral("escape"), QStringLiteral("escape")},
                {QStringLiteral("backspace"), QStringLiteral("delete")},
                {QStringLiteral("delete"), QStringLiteral("delete")},
                {QStringLiteral("backspacekey"), QStringLiteral("delete")},
                {QStringLiteral("deletekey"), QStringLiteral("delete")},
                {QStringLiteral("forwarddelete"), QStringLiteral("forwarddelete")},
                {QStringLiteral("forwarddeletekey"), QStringLiteral("forwarddelete")},
                {QStringLiteral("uparrow"), QStringLiteral("up")},
                {QStringLiteral("arrowup"), QStringLiteral("up")},
                {QStringLiteral("downarrow"), QStringLiteral("down")},
                {QStringLiteral("arrowdown"), QStringLiteral("down")},
                {QStringLiteral("leftarrow"), QStringLiteral("left")},
                {QStringLiteral("arrowleft"), QStringLiteral("left")},
                {QStringLiteral("rightarrow"), QStringLiteral("right")},
                {QStringLiteral("arrowright"), QStringLiteral("right")},
                {QStringLiteral("pgup"), QStringLiteral("pageup")},
                {QStringLiteral("pageupkey"), QStringLiteral("pageup")},
                {QStringLiteral("pgdn"), QStringLiteral("pagedown")},
                {QStringLiteral("pagedownkey"), QStringLiteral("pagedown")},
            };
            chord.key = names.value(k, k);
        }
    }
    if (!haveKey) {
        for (const char* m : {"command", "shift", "option", "control"}) {
            if (chord.modifiers.remove(QLatin1String(m))) {
                chord.key = QLatin1String(m);
                haveKey = true;
                break;
            }
        }
        if (!haveKey)
            return std::nullopt;
    }
    return chord;
}

UIAutopilotAction parseUIAutopilotAction(const QJsonObject& o)
{
    const auto fail30 = [](const char* message) { return autopilotError(30, QLatin1String(message)); };
    UIAutopilotAction a;

    // 1-3: type, phase, kind.
    const std::optional<QJsonValue> typeValue = o.contains(QLatin1String("type")) ? member(o, "type") : member(o, "action");
    const QString T = textOrEmpty(typeValue).trimmed().toLower();
    if (T == QLatin1String("key_down") || T == QLatin1String("mouse_down"))
        a.phase = QStringLiteral("down");
    else if (T == QLatin1String("key_up") || T == QLatin1String("mouse_up"))
        a.phase = QStringLiteral("up");
    QString N = T;
    N.remove(QLatin1Char('_')).remove(QLatin1Char('-')).remove(QLatin1Char(' '));
    std::optional<K> kind;
    if (const auto it = aliases().constFind(N); it != aliases().constEnd())
        kind = it.value();
    else
        kind = actionKindFromRawValue(T);
    if (!kind)
        throw autopilotError(7, QStringLiteral("Unsupported UI Autopilot action: ") + T);
    a.kind = *kind;

    // 4-6: key text, label, chord.
    const QString keyText =
        (a.kind == K::key ? textOrEmpty(firstPresent(o, {"key", "keys", "shortcut", "text", "value"}))
                          : textOrEmpty(member(o, "key")))
            .trimmed();
    a.label = firstText(o, {"label", "target"}).value_or(QString()).trimmed();
    QString canonicalKey;
    if (a.kind == K::key) {
        const auto chord = canonicalUIAutopilotKeyChord(keyText);
        if (!chord)
            throw autopilotError(17, QStringLiteral("UI Autopilot returned an unsupported keyboard shortcut."));
        canonicalKey = chord->text();
        a.key = canonicalKey;
        if (a.phase.isEmpty() && (chord->key == QLatin1String("return") || chord->key == QLatin1String("space"))
            && a.label.isEmpty())
            throw autopilotError(15, QStringLiteral("UI Autopilot must name the focused control before activating "
                                                    "it with the keyboard."));
    } else {
        a.key = keyText;
    }

    // 7: path.
    if (const auto points = member(o, "points")) {
        const QJsonArray list = points->isArray() ? points->toArray() : QJsonArray();
        const bool objects = std::all_of(list.begin(), list.end(), [](const QJsonValue& v) { return v.isObject(); });
        if (list.size() < 2 || list.size() > 256 || !objects || a.kind != K::drag)
            throw fail30("drag_path requires 2 to 256 points.");
        for (const QJsonValue& v : list) {
            const QJsonObject p = v.toObject();
            const auto point = readUIAutopilotPoint(p);
            if (!point || !std::isfinite(point->x()) || !std::isfinite(point->y()))
                throw fail30("Each path point requires finite x and y.");
            a.path.append({*point, readOptionalInt(member(p, "screen"))});
        }
    }

    // 8-9: points.
    if (a.kind != K::key)
        a.imagePoint = a.path.isEmpty() ? readUIAutopilotPoint(o) : std::optional<QPointF>(a.path.first().point);
    if (!a.path.isEmpty()) {
        a.endImagePoint = a.path.last().point;
    } else {
        const auto ex = readOptionalDouble(firstPresent(o, {"toX", "endX", "x2"}));
        const auto ey = readOptionalDouble(firstPresent(o, {"toY", "endY", "y2"}));
        if (ex && ey) {
            a.endImagePoint = QPointF(*ex, *ey);
        } else if (const auto to = firstPresent(o, {"to", "end", "destination"}); to && to->isObject()) {
            const auto tx = readOptionalDouble(member(to->toObject(), "x"));
            const auto ty = readOptionalDouble(member(to->toObject(), "y"));
            if (tx && ty)
                a.endImagePoint = QPointF(*tx, *ty);
        }
    }

    // 10: modifiers.
    QString modifiers;
    const QJsonValue modifiersValue = o.value(QLatin1String("modifiers"));
    if (modifiersValue.isArray()) {
        QStringList parts;
        for (const QJsonValue& v : modifiersValue.toArray())
            if (v.isString())
                parts << v.toString();
        modifiers = parts.join(QLatin1Char('+'));
    } else if (modifiersValue.isString()) {
        modifiers = modifiersValue.toString();
    }
    if (!modifiers.isEmpty()) {
        static const QSet<QString> allowed = {QStringLiteral("ctrl"),   QStringLiteral("control"), QStringLiteral("shift"),
                                              QStringLiteral("alt"),    QStringLiteral("option"),  QStringLiteral("cmd"),
                                              QStringLiteral("command"), QStringLiteral("meta"),   QStringLiteral("space")};
        for (const QString& piece : modifiers.split(QLatin1Char('+'), Qt::SkipEmptyParts))
            if (!allowed.contains(piece.toLower()))
                throw fail30("Unsupported modifier.");
        if (a.kind == K::input || a.kind == K::wait || a.kind == K::zoom || a.kind == K::done)
            throw fail30("This action does not accept modifiers.");
    }
    a.modifiers = modifiers;

    // 11-12: button and kind adjustments.
    const QJsonValue buttonValue = o.value(QLatin1String("button"));
    a.button = (buttonValue.isString() ? buttonValue.toString()
                : a.kind == K::rightClick ? QStringLiteral("right")
                : a.kind == K::middleClick ? QStringLiteral("middle")
                                           : QStringLiteral("left"))
                   .toLower();
    if (a.button != QLatin1String("left") && a.button != QLatin1String("right") && a.button != QLatin1String("middle"))
        throw fail30("Invalid mouse button or missing drag endpoint.");
    if (a.kind == K::click && a.phase.isEmpty()) {
        if (a.button == QLatin1String("right"))
            a.kind = K::rightClick;
        else if (a.button == QLatin1String("middle"))
            a.kind = K::middleClick;
    }
    if (a.kind == K::drag && !(a.imagePoint && a.endImagePoint))
        throw fail30("Invalid mouse button or missing drag endpoint.");
    if (a.kind == K::input && !a.imagePoint)
        throw autopilotError(18, QStringLiteral("UI Autopilot input actions require exact target coordinates from "
                                                "the current screenshot."));

    // 13: pixels. Clamped before the absolute value, so the most negative
    // integer never reaches it.
    std::optional<qint64> pixels;
    if (const auto wd = member(o, "wheel_delta")) {
        pixels = readOptionalInt(wd);
    } else if (const auto ws = member(o, "wheel_steps")) {
        if (const auto steps = readOptionalInt(ws))
            pixels = std::clamp<qint64>(*steps, -16, 16) * 120;
    } else {
        pixels = readOptionalInt(firstPresent(o, {"pixels", "amount"}));
    }
    a.pixels = pixels ? std::abs(std::clamp<qint64>(*pixels, -2400, 2400)) : 700;

    // 14: screens.
    if (!a.path.isEmpty() && a.path.first().screen)
        a.screenNumber = a.path.first().screen;
    else
        a.screenNumber = readOptionalInt(firstPresent(o, {"screen", "screenNumber"}));
    if (!a.path.isEmpty() && a.path.last().screen)
        a.endScreenNumber = a.path.last().screen;
    else
        a.endScreenNumber = readOptionalInt(firstPresent(o, {"toScreen", "endScreen", "destinationScreen"}));

    // 15-16: text, direction.
    const QString text = firstText(o, {"text", "value"}).value_or(QString());
    a.text = a.kind == K::input ? text : text.trimmed();
    const QString direction = o.value(QLatin1String("direction")).toString().trimmed().toLower();
    a.direction = (direction == QLatin1String("up") || direction == QLatin1String("left")
                   || direction == QLatin1String("right"))
        ? direction
        : QStringLiteral("down");

    // 17: duration.
    if (const auto ms = readOptionalInt(firstPresent(o, {"ms", "milliseconds", "duration"})))
        a.milliseconds = std::clamp<qint64>(*ms, 0, 8000);
    else if (a.kind == K::move || a.kind == K::wait)
        a.milliseconds = 1000;
    else if (T == QLatin1String("hold") || T == QLatin1String("mouse_hold") || T == QLatin1String("hold_key")
             || T == QLatin1String("key_hold"))
        a.milliseconds = 1500;
    else if (a.kind == K::drag)
        a.milliseconds = 2000;

    // 18-19.
    if (a.kind == K::input && a.text.isEmpty())
        throw fail30("Literal input cannot be empty.");
    // A line break is typed as Return: like a Return key action it must
    // name the control it activates.
    if (a.kind == K::input && a.label.isEmpty() && containsLineBreak(a.text))
        throw autopilotError(15, QStringLiteral("UI Autopilot must name the focused control before activating "
                                                "it with the keyboard."));
    a.isTimedHold = T == QLatin1String("hold") || T == QLatin1String("mouse_hold");
    const QJsonValue space = o.value(QLatin1String("coordinate_space"));
    a.coordinateSpace = space.isString() ? space.toString() : QStringLiteral("overview");
    a.zoomWidth = readOptionalInt(member(o, "width")).value_or(320);
    a.zoomHeight = readOptionalInt(member(o, "height")).value_or(240);
    if (const auto success = member(o, "success")) {
        if (!success->isBool())
            throw fail30("success must be true or false.");
        a.success = success->toBool();
    }

    // 20.
    if (a.kind == K::key && !a.modifiers.isEmpty()) {
        a.key = a.modifiers + QLatin1Char('+') + canonicalKey;
        a.modifiers.clear();
    }
    return a;
}

UIAutopilotDecision parseUIAutopilotDecision(const QString& reply)
{
    const QString objectText = extractJSONObject(reply);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(objectText.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw TovrikError(kJSONErrorDomain, 3840,
                          QStringLiteral("The reply is not valid JSON (%1 at offset %2).")
                              .arg(parseError.errorString())
                              .arg(parseError.offset));
    if (!document.isObject())
        throw autopilotError(6, QStringLiteral("UI Autopilot returned invalid JSON."));
    const QJsonObject top = document.object();
    const QJsonValue actionValue = top.value(QLatin1String("action"));

    UIAutopilotDecision d;
    d.action = parseUIAutopilotAction(actionValue.isObject() ? actionValue.toObject() : top);
    const QJsonValue message = top.value(QLatin1String("message"));
    d.message = (message.isString() ? message.toString() : d.action.text).trimmed();
    const QJsonObject verification = top.value(QLatin1String("verification")).toObject();
    d.verificationStatus = textOrEmpty(member(verification, "status"));
    d.verificationEvidence = textOrEmpty(member(verification, "evidence"));
    const QJsonValue state = top.value(QLatin1String("task_state"));
    if (state.isObject())
        d.taskState = state.toObject();
    d.expectedResult = textOrEmpty(member(top, "expected_result"));
    return d;
}

} // namespace tovrik
