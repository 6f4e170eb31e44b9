#include "autopilot/DesktopInputService.h"

#include "common/Clock.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QHash>
#include <QPointer>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QSet>
#include <QTextBoundaryFinder>
#include <qcoro/qcorosignal.h>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace tovrik {

namespace {

platform::SyntheticInput* syntheticInput()
{
    return platform::Platform::isInstalled() ? &platform::Platform::get().input() : nullptr;
}

const QSet<QString>& modifierTokens()
{
    static const QSet<QString> tokens{QStringLiteral("ctrl"),   QStringLiteral("control"), QStringLiteral("shift"),
                                      QStringLiteral("alt"),    QStringLiteral("option"),  QStringLiteral("cmd"),
                                      QStringLiteral("command"), QStringLiteral("meta")};
    return tokens;
}

const QHash<QString, uint16_t>& virtualKeys()
{
    static const QHash<QString, uint16_t> keys = [] {
        QHash<QString, uint16_t> k;
        const std::pair<const char*, uint16_t> table[] = {
            {"a", 0}, {"b", 11}, {"c", 8}, {"d", 2}, {"e", 14}, {"f", 3}, {"g", 5}, {"h", 4}, {"i", 34},
            {"j", 38}, {"k", 40}, {"l", 37}, {"m", 46}, {"n", 45}, {"o", 31}, {"p", 35}, {"q", 12}, {"r", 15},
            {"s", 1}, {"t", 17}, {"u", 32}, {"v", 9}, {"w", 13}, {"x", 7}, {"y", 16}, {"z", 6},
            {"0", 29}, {"1", 18}, {"2", 19}, {"3", 20}, {"4", 21}, {"5", 23}, {"6", 22}, {"7", 26}, {"8", 28},
            {"9", 25},
            {"enter", 36}, {"return", 36}, {"tab", 48}, {"escape", 53}, {"esc", 53}, {"backspace", 51},
            {"delete", 51}, {"forwarddelete", 117}, {"space", 49},
            {"up", 126}, {"arrowup", 126}, {"down", 125}, {"arrowdown", 125}, {"left", 123}, {"arrowleft", 123},
            {"right", 124}, {"arrowright", 124},
            {"home", 115}, {"end", 119}, {"pageup", 116}, {"pagedown", 121}, {"pgup", 116}, {"pgdn", 121},
            {"minus", 27}, {"dash", 27}, {"-", 27}, {"plus", 24}, {"equals", 24}, {"equal", 24}, {"=", 24},
            {"comma", 43}, {",", 43}, {"period", 47}, {"dot", 47}, {".", 47}, {"slash", 44}, {"/", 44},
            {"backslash", 42}, {"\\", 42},
            {"f1", 122}, {"f2", 120}, {"f3", 99}, {"f4", 118}, {"f5", 96}, {"f6", 97}, {"f7", 98}, {"f8", 100},
            {"f9", 101}, {"f10", 109}, {"f11", 103}, {"f12", 111}, {"f13", 105}, {"f14", 107}, {"f15", 113},
            {"f16", 106}, {"f17", 64}, {"f18", 79}, {"f19", 80}, {"f20", 90},
        };
        for (const auto& [name, code] : table)
            k.insert(QString::fromLatin1(name), code);
        return k;
    }();
    return keys;
}

uint32_t platformModifiers(uint64_t flags)
{
    uint32_t m = 0;
    if (flags & InputFlag::Control)
        m |= platform::ModControl;
    if (flags & InputFlag::Shift)
        m |= platform::ModShift;
    if (flags & InputFlag::Option)
        m |= platform::ModOption;
    if (flags & InputFlag::Command)
        m |= platform::ModCommand;
    return m;
}

bool postKey(uint16_t keyCode, bool down, uint64_t flags)
{
    auto* input = syntheticInput();
    return input && input->postKey(keyCode, down, platformModifiers(flags));
}

} // namespace

const std::vector<DesktopInputService::ModifierKey>& DesktopInputService::modifierKeys()
{
    static const std::vector<ModifierKey> keys{{"control", 59, InputFlag::Control},
                                               {"option", 58, InputFlag::Option},
                                               {"shift", 56, InputFlag::Shift},
                                               {"command", 55, InputFlag::Command}};
    return keys;
}

DesktopInputService::DesktopInputService(QObject* parent) : QObject(parent)
{
    // The process quits: let go of everything while the display is still
    // there (the owner may be destroyed only after the platform).
    if (auto* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this]() {
            stopTyping();
            releaseHeldInputs();
        });
}

DesktopInputService::~DesktopInputService()
{
    // The process lets go of its input: nothing we pressed stays down.
    onMouseVisual = nullptr;
    stopTyping();
    releaseHeldInputs();
    Clock::instance().cancel(m_heldReleaseTimer);
    *m_alive = false;
}

TovrikError DesktopInputService::inputError(const QString& message) { return TovrikError(kErrorDomain, 2, message); }

TovrikError DesktopInputService::keyboardShortcutError() { return TovrikError(kErrorDomain, 1, kShortcutMessage); }

// ---- held state ----

uint64_t DesktopInputService::heldFlags() const
{
    uint64_t flags = 0;
    for (const auto& h : m_heldKeys)
        flags |= h.flag;
    return flags;
}

bool DesktopInputService::isKeyHeld(uint16_t keyCode) const
{
    return std::any_of(m_heldKeys.begin(), m_heldKeys.end(), [keyCode](const Held& h) { return h.keyCode == keyCode; });
}

bool DesktopInputService::hasHeldInput() const { return !m_heldKeys.empty() || m_heldMouseButton.has_value(); }

bool DesktopInputService::hasHeldMouseButton() const { return m_heldMouseButton.has_value(); }

std::vector<uint16_t> DesktopInputService::heldKeyCodes() const
{
    std::vector<uint16_t> codes;
    for (const auto& h : m_heldKeys)
        codes.push_back(h.keyCode);
    return codes;
}

QString DesktopInputService::inputStateSummary() const
{
    auto codes = heldKeyCodes();
    std::sort(codes.begin(), codes.end());
    QStringList parts;
    for (uint16_t c : codes)
        parts << QString::number(c);
    return QStringLiteral("Held keys: [%1]; mouse: %2.")
        .arg(parts.join(QStringLiteral(", ")), m_heldMouseButton.value_or(QStringLiteral("none")));
}

QString DesktopInputService::heldModifierNames() const
{
    QStringList names;
    for (const auto& m : modifierKeys())
        if (isKeyHeld(m.keyCode))
            names << QString::fromLatin1(m.name);
    return names.join(QLatin1Char('+'));
}

void DesktopInputService::armHeldRelease()
{
    if (m_heldReleaseTimer)
        Clock::instance().cancel(m_heldReleaseTimer);
    m_heldReleaseTimer = 0;
    if (!hasHeldInput())
        return;
    m_heldReleaseTimer = Clock::instance().schedule(kHeldReleaseSeconds, this, [this] {
        m_heldReleaseTimer = 0;
        releaseHeldInputs();
    });
}

void DesktopInputService::releaseHeldInputs()
{
    if (m_heldReleaseTimer)
        Clock::instance().cancel(m_heldReleaseTimer);
    m_heldReleaseTimer = 0;
    if (m_heldMouseButton) {
        const QString button = *m_heldMouseButton;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const QPointF at = pointerLocation().value_or(QPointF(0, 0));
            if (m_heldMouseButton == button && postButton(buttonKind(button), false, at, 1))
                m_heldMouseButton.reset();
            armHeldRelease();
        }
    }
    releaseKeys(heldKeyCodes());
    // A release that could not be posted is tried again later.
    if (hasHeldInput())
        armHeldRelease();
}

void DesktopInputService::releaseKeys(const std::vector<uint16_t>& keys)
{
    for (int pass = 0; pass < 2; ++pass) {
        for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
            auto held = std::find_if(m_heldKeys.begin(), m_heldKeys.end(), [&](const Held& h) { return h.keyCode == *it; });
            if (held == m_heldKeys.end())
                continue;
            const uint64_t flag = held->flag;
            if (!postKey(*it, false, heldFlags() & ~flag))
                continue; // stays recorded; the second pass or a later release tries again
            m_heldKeys.erase(std::find_if(m_heldKeys.begin(), m_heldKeys.end(), [&](const Held& h) { return h.keyCode == *it; }));
        }
    }
}

void DesktopInputService::checkAbort() const
{
    if (shouldAbortForUserInput && shouldAbortForUserInput())
        throw inputError(kTakeoverMessage);
}

QCoro::Task<void> DesktopInputService::pause(int milliseconds, CancellationToken token)
{
    const auto alive = m_alive;
    co_await sleepFor(std::max(milliseconds, 0) / 1000.0, token);
    if (!*alive)
        throw CancellationError();
}

// ---- key texts ----

QString DesktopInputService::normalizeKeyToken(const QString& token)
{
    QString t = token.trimmed().toLower();
    t.remove(QLatin1Char(' ')).remove(QLatin1Char('_'));
    if (t.size() >= 4 && t.endsWith(QLatin1String("key")))
        t.chop(3);
    static const QHash<QString, QString> aliases{
        {QStringLiteral("spacebar"), QStringLiteral("space")},   {QStringLiteral("uparrow"), QStringLiteral("up")},
        {QStringLiteral("arrowup"), QStringLiteral("up")},       {QStringLiteral("downarrow"), QStringLiteral("down")},
        {QStringLiteral("arrowdown"), QStringLiteral("down")},   {QStringLiteral("leftarrow"), QStringLiteral("left")},
        {QStringLiteral("arrowleft"), QStringLiteral("left")},   {QStringLiteral("rightarrow"), QStringLiteral("right")},
        {QStringLiteral("arrowright"), QStringLiteral("right")}, {QStringLiteral("pgup"), QStringLiteral("pageup")},
        {QStringLiteral("pgdn"), QStringLiteral("pagedown")},
    };
    return aliases.value(t, t);
}

QStringList DesktopInputService::splitKeyTokens(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed == QLatin1String("-"))
        return {QStringLiteral("minus")};
    if (trimmed == QLatin1String("+"))
        return {QStringLiteral("plus")};
    QString s = trimmed.toLower();
    s.replace(QLatin1String("+-"), QLatin1String(" minus"))
        .replace(QLatin1String("+="), QLatin1String(" equals"))
        .replace(QLatin1String("++"), QLatin1String(" plus"))
        .replace(QLatin1Char('+'), QLatin1Char(' '))
        .replace(QLatin1Char('-'), QLatin1Char(' '));
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QStringList pieces = s.split(blanks, Qt::SkipEmptyParts);
    if (pieces.isEmpty())
        return {};
    QStringList modifiers;
    QStringList others;
    for (const QString& p : pieces)
        (modifierTokens().contains(p) ? modifiers : others) << p;
    if (modifiers.isEmpty())
        return {normalizeKeyToken(pieces.join(QString()))};
    if (!others.isEmpty())
        modifiers << normalizeKeyToken(others.join(QString()));
    return modifiers;
}

KeyChord DesktopInputService::keyChord(const QString& text)
{
    if (text.trimmed().isEmpty())
        throw keyboardShortcutError();
    KeyChord chord;
    std::optional<QString> mainKey;
    for (const QString& token : splitKeyTokens(text)) {
        if (token == QLatin1String("ctrl") || token == QLatin1String("control"))
            chord.flags |= InputFlag::Control;
        else if (token == QLatin1String("shift"))
            chord.flags |= InputFlag::Shift;
        else if (token == QLatin1String("alt") || token == QLatin1String("option"))
            chord.flags |= InputFlag::Option;
        else if (token == QLatin1String("cmd") || token == QLatin1String("command") || token == QLatin1String("meta"))
            chord.flags |= InputFlag::Command;
        else
            mainKey = token;
    }
    if (mainKey) {
        const auto it = virtualKeys().constFind(*mainKey);
        if (it == virtualKeys().constEnd())
            throw keyboardShortcutError();
        chord.keyCode = *it;
        return chord;
    }
    if (chord.flags & InputFlag::Command)
        chord.keyCode = 55;
    else if (chord.flags & InputFlag::Shift)
        chord.keyCode = 56;
    else if (chord.flags & InputFlag::Option)
        chord.keyCode = 58;
    else if (chord.flags & InputFlag::Control)
        chord.keyCode = 59;
    else
        throw keyboardShortcutError();
    return chord;
}

// ---- keys ----

bool DesktopInputService::endsSession(uint64_t flags, const std::vector<uint16_t>& keyCodes)
{
    // backspace, forward delete, F1-F12
    static const uint16_t sessionKeys[] = {51, 117, 122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111};
    if (!(flags & InputFlag::Control) || !(flags & InputFlag::Option))
        return false;
    return std::any_of(keyCodes.begin(), keyCodes.end(), [](uint16_t code) {
        return std::find(std::begin(sessionKeys), std::end(sessionKeys), code) != std::end(sessionKeys);
    });
}

void DesktopInputService::refuseSessionChord(const KeyChord& chord) const
{
    std::vector<uint16_t> down = heldKeyCodes();
    down.push_back(chord.keyCode);
    if (endsSession(heldFlags() | chord.flags, down))
        throw keyboardShortcutError();
}

void DesktopInputService::setHeldKey(const QString& text, bool down)
{
    struct Rearm {
        DesktopInputService* self;
        ~Rearm() { self->armHeldRelease(); }
    } rearm{this};
    const KeyChord chord = keyChord(text);
    std::vector<Held> keys;
    for (const auto& m : modifierKeys())
        if (chord.flags & m.flag)
            keys.push_back({m.keyCode, m.flag});
    if (std::none_of(keys.begin(), keys.end(), [&](const Held& h) { return h.keyCode == chord.keyCode; })) {
        uint64_t own = 0;
        for (const auto& m : modifierKeys())
            if (m.keyCode == chord.keyCode)
                own = m.flag;
        keys.push_back({chord.keyCode, own});
    }
    if (!down) {
        std::reverse(keys.begin(), keys.end());
        for (const Held& k : keys) {
            if (!isKeyHeld(k.keyCode))
                continue;
            if (!postKey(k.keyCode, false, heldFlags() & ~k.flag))
                throw inputError(kKeyboardEventMessage);
            m_heldKeys.erase(std::find_if(m_heldKeys.begin(), m_heldKeys.end(),
                                          [&](const Held& h) { return h.keyCode == k.keyCode; }));
        }
        return;
    }
    refuseSessionChord(chord);
    for (const Held& k : keys) {
        if (isKeyHeld(k.keyCode))
            continue;
        checkAbort();
        if (!postKey(k.keyCode, true, heldFlags() | k.flag))
            throw inputError(kKeyboardEventMessage);
        m_heldKeys.push_back(k);
    }
}

std::vector<uint16_t> DesktopInputService::holdModifiers(const QString& text)
{
    const auto before = heldKeyCodes();
    auto added = [&] {
        std::vector<uint16_t> codes;
        for (uint16_t c : heldKeyCodes())
            if (std::find(before.begin(), before.end(), c) == before.end())
                codes.push_back(c);
        return codes;
    };
    if (!text.isEmpty()) {
        try {
            setHeldKey(text, true);
        } catch (...) {
            releaseKeys(added());
            throw;
        }
    }
    return added();
}

QCoro::Task<void> DesktopInputService::holdKey(QString text, int milliseconds, CancellationToken token)
{
    const auto alive = m_alive;
    const auto before = heldKeyCodes();
    std::exception_ptr failure;
    try {
        setHeldKey(text, true);
        co_await pause(std::clamp(milliseconds, 100, 8000), token);
        checkAbort();
    } catch (...) {
        failure = std::current_exception();
    }
    if (*alive) {
        std::vector<uint16_t> added;
        for (uint16_t c : heldKeyCodes())
            if (std::find(before.begin(), before.end(), c) == before.end())
                added.push_back(c);
        releaseKeys(added);
    }
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<void> DesktopInputService::pressKey(QString text, CancellationToken token)
{
    const auto alive = m_alive;
    const KeyChord chord = keyChord(text);
    refuseSessionChord(chord);
    const uint64_t held = heldFlags();
    checkAbort();
    if (!postKey(chord.keyCode, true, held | chord.flags))
        throw inputError(kKeyboardEventMessage);
    std::exception_ptr failure;
    try {
        co_await pause(35, token);
        checkAbort();
    } catch (...) {
        failure = std::current_exception();
    }
    if (*alive)
        postKey(chord.keyCode, false, chord.flags | heldFlags());
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<void> DesktopInputService::typeText(QString text, InputCheck validateBeforeCharacter, CancellationToken token)
{
    QTextBoundaryFinder counter(QTextBoundaryFinder::Grapheme, text);
    int total = 0;
    while (counter.toNextBoundary() != -1)
        ++total;
    if (auto* input = syntheticInput())
        input->willTypeText(text);
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    int typed = 0;
    while (graphemes.toNextBoundary() != -1) {
        const qsizetype end = graphemes.position();
        const QString character = text.mid(start, end - start);
        start = end;
        if (validateBeforeCharacter)
            validateBeforeCharacter();
        checkAbort();
        // The platform presses and releases the character's key in one go;
        // a failure leaves nothing of it down. What it could not type is
        // said, so that nobody takes the text for typed.
        auto* input = syntheticInput();
        std::optional<platform::TypingFailure> failed;
        if (!input)
            failed = platform::TypingFailure::NoKeyboardEvent;
        else if (input->typingMayWait())
            failed = co_await postTextAside(input, character, token);
        else if (!input->postText(character))
            failed = input->typingFailure();
        if (failed)
            throw inputError(typingFailureMessage(*failed)
                             + QStringLiteral(" %1 of %2 characters were typed; the rest was not.").arg(typed).arg(total));
        ++typed;
        co_await pause(2, token);
    }
}

namespace {

// Wakes a wait for the typing thread: the character is done, the token is
// cancelled, or it is time to look for a take-over.
class TypingWaker : public QObject {
    Q_OBJECT
public:
    void wake() { emit woke(); }
signals:
    void woke();
};

} // namespace

QString DesktopInputService::typingFailureMessage(platform::TypingFailure cause)
{
    using platform::TypingFailure;
    switch (cause) {
    case TypingFailure::NoKeyboardEvent:
        break;
    case TypingFailure::FocusMoved:
        return QStringLiteral("UI Autopilot stopped typing because another window took the keyboard focus.");
    case TypingFailure::ReceiverGone:
        return QStringLiteral("UI Autopilot stopped typing because the window it was typing into went away.");
    case TypingFailure::KeyboardGrabbed:
        return QStringLiteral("UI Autopilot stopped typing because another program took hold of the keyboard.");
    case TypingFailure::InputMethod:
        return QStringLiteral("UI Autopilot cannot type into this window because its keys go through an input method.");
    case TypingFailure::NoProof:
        return QStringLiteral("UI Autopilot cannot tell when this program has handled its keys, so it stopped typing.");
    case TypingFailure::ReceiverBehind:
        return QStringLiteral("UI Autopilot stopped typing because the program did not keep up with the keys.");
    }
    return kUnicodeEventMessage;
}

struct DesktopInputService::TextJob {
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    bool ok = false;           // written before `done`
    platform::TypingFailure failure = platform::TypingFailure::NoKeyboardEvent; // likewise
    QPointer<QObject> waker;   // main thread only
};

void DesktopInputService::stopTyping()
{
    if (m_textJob)
        m_textJob->stop = true;
    if (m_typingThread)
        m_typingThread->waitForDone();
    m_textJob.reset();
}

QCoro::Task<std::optional<platform::TypingFailure>> DesktopInputService::postTextAside(
    platform::SyntheticInput* input, QString character, CancellationToken token)
{
    const auto alive = m_alive;
    if (!m_typingThread) {
        m_typingThread = std::make_unique<QThreadPool>();
        m_typingThread->setMaxThreadCount(1);
        m_typingThread->setExpiryTimeout(-1);
    }
    auto waker = std::make_unique<TypingWaker>();
    TypingWaker* w = waker.get();
    auto job = std::make_shared<TextJob>();
    job->waker = w;
    m_textJob = job;
    // Queued behind a character that a take-over left finishing, never
    // beside it.
    m_typingThread->start([job, input, character]() {
        job->ok = input->postTextUnlessStopped(character, job->stop);
        if (!job->ok)
            job->failure = input->typingFailure();
        job->done = true;
        if (auto* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, [job]() {
                if (auto* waker = qobject_cast<TypingWaker*>(job->waker.data()))
                    waker->wake();
            }, Qt::QueuedConnection);
    });
    const quint64 cancelId = token.onCancel([w]() { w->wake(); });
    const auto unhook = qScopeGuard([token, cancelId]() { token.removeCallback(cancelId); });
    std::exception_ptr failure;
    while (!job->done) {
        if (token.isCancelled()) {
            failure = std::make_exception_ptr(CancellationError());
            break;
        }
        if (shouldAbortForUserInput && shouldAbortForUserInput()) {
            failure = std::make_exception_ptr(inputError(kTakeoverMessage));
            break;
        }
        const quint64 tick = Clock::instance().schedule(0.01, w, [w]() { w->wake(); });
        co_await qCoro(w, &TypingWaker::woke);
        Clock::instance().cancel(tick);
        if (!*alive) {
            job->stop = true;
            throw CancellationError();
        }
    }
    if (failure) {
        // Nothing more of it is typed; the thread ends it on its own.
        job->stop = true;
        std::rethrow_exception(failure);
    }
    if (m_textJob == job)
        m_textJob.reset();
    if (job->ok)
        co_return std::nullopt;
    co_return job->failure;
}

// ---- scrolling ----

QCoro::Task<void> DesktopInputService::scroll(QString direction, int pixels, CancellationToken token)
{
    const int amount = int(std::clamp<int64_t>(std::llabs(int64_t(pixels)), 1, 2400));
    const int steps = std::max(1, int(std::ceil(amount / 80.0)));
    const QString dir = direction.trimmed().toLower();
    checkAbort();
    int remaining = amount;
    for (int i = 0; i < steps; ++i) {
        if (i > 0)
            checkAbort();
        const int share = remaining / (steps - i);
        remaining -= share;
        int dy = 0;
        int dx = 0;
        if (dir == QLatin1String("up"))
            dy = share;
        else if (dir == QLatin1String("left"))
            dx = -share;
        else if (dir == QLatin1String("right"))
            dx = share;
        else
            dy = -share;
        auto* input = syntheticInput();
        if (!input || !input->postScroll(dy, dx, true))
            throw inputError(kScrollEventMessage);
        co_await pause(12, token);
    }
    checkAbort();
}

} // namespace tovrik

#include "DesktopInputService.moc"
