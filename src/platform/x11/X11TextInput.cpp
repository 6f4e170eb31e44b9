// Typing text through XTest: characters that no key of the layout types are
// typed with spare keycodes lent their symbols, in rounds.
//
// A program translates a key with the keyboard map it last read, and it reads
// the map when it handles the change notification (xkbcommon) or when it
// next translates a key after one (Xlib, whose flag that the map changed is
// set when the notification is read off the connection, possibly before the
// keys queued ahead of it are handled). Timing cannot tell when that is, so
// what the server reports does (KeymapReads):
//  - a round's keys are typed only once the program receiving the keys has
//    read the map after the round's last change (a tap of the probe keycode,
//    which types nothing, makes a program that reads on its next key read);
//  - a keycode whose keys were typed is given another symbol only after a
//    fence: the probe keycode's symbol changes (nothing typed changes with
//    it), the probe is tapped and the program reads the map after that
//    change; and a program that takes pings (_NET_WM_PING) answers one sent
//    after that, which it does only once it has handled every key queued
//    ahead of the ping; one that does not is watched until it has read
//    everything sent to it and the thread that read it waits again
//    (ProcessActivity.h). (A read alone proves less: a program that falls
//    behind may read the notification off its connection, and later the
//    next one, while keys queued before it wait to be translated.)
// Lent keycodes go back the same way, once the program has handled every
// key typed with them (or its window is gone), with no bound and no tap.
// Where the program does not read or answer within a bound (it never reads
// the map, an input method translates the keys), the character fails before
// anything of it is typed; a character fails before its keys when its
// text's receiver went away, the focus left it or another client holds the
// keyboard (X11TypingGuard.h), and a text before its first key when the
// program sends its keys to an input method. The waits run on the thread that types, never the main thread
// (the service types on a thread of its own), and end early when the
// typing is stopped or other input waits to go out.
//
// A round lends the symbols the text needs next, in the order it needs them,
// on both levels of each spare keycode, keeping those lent already that it
// needs.

#include "platform/x11/X11Input.h"

#define XK_MISCELLANY
#include <X11/keysymdef.h>

#include <QChar>
#include <QCoreApplication>
#include <QScopeGuard>
#include <QTextBoundaryFinder>
#include <QThread>
#include <QTimer>
#include <algorithm>

namespace tovrik::platform::x11 {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Lent keycodes are given back after a second without typing, once the
// receiver has handled every key typed with them: a wait for that gives way
// to other input at once and to the next text, and is tried again until it
// comes or the receiver's window is gone.
constexpr milliseconds kGiveBackAfter{1000};
constexpr milliseconds kGiveBackSlice{1000};
constexpr milliseconds kGiveBackRetry{100};

std::vector<uint32_t> keysymsOf(const QString& text)
{
    std::vector<uint32_t> out;
    for (char32_t cp : text.toUcs4())
        out.push_back(keysymForCodePoint(cp));
    return out;
}

char32_t codePointOf(uint32_t keysym)
{
    if (keysym >= 0x20 && keysym < 0x100)
        return char32_t(keysym);
    if (keysym > 0x1000000 && keysym <= 0x110ffff)
        return char32_t(keysym - 0x1000000);
    return 0;
}

// Two symbols that differ only in case on one keycode would make the server
// give the key the alphabetic type, on which Caps Lock picks the level.
bool caseVariants(uint32_t a, uint32_t b)
{
    const char32_t x = codePointOf(a), y = codePointOf(b);
    return x && y && x != y && (QChar::toUpper(x) == y || QChar::toLower(x) == y);
}

bool contains(const std::vector<uint32_t>& v, uint32_t s)
{
    return std::find(v.begin(), v.end(), s) != v.end();
}

} // namespace

bool X11Input::layoutTypes(uint32_t sym) const
{
    for (const auto& [kc, level] : m_map.find(sym))
        if (kc != m_probe && !m_lentKeys.count(kc))
            return true;
    return false;
}

bool X11Input::typeKeysym(uint32_t sym)
{
    uint8_t keycode = 0;
    int level = 0;
    if (auto it = m_lent.find(sym); it != m_lent.end()) {
        keycode = it->second.keycode;
        level = it->second.level;
        m_pressedSinceFence[keycode] = true;
    } else {
        for (const auto& [kc, l] : m_map.find(sym))
            if (kc != m_probe && !m_lentKeys.count(kc)) {
                keycode = kc;
                level = l;
                break;
            }
    }
    if (!keycode || (m_stop && m_stop->load()))
        return false;
    uint8_t shift = 0;
    if (level == 1 && !heldByAnyone(XK_Shift_L) && !heldByAnyone(XK_Shift_R)) {
        shift = firstKeycode(XK_Shift_L);
        if (!shift || !keycodeEvent(shift, true))
            return false;
    }
    bool ok = keycodeEvent(keycode, true) && keycodeEvent(keycode, false);
    if (shift)
        ok = keycodeEvent(shift, false) && ok;
    return ok;
}

void X11Input::willTypeText(const QString& text)
{
    // Taken up by the text's first character: the typing lock may be held
    // by a give-back's wait, which the caller's thread must not wait for.
    std::vector<std::vector<uint32_t>> plan;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    while (graphemes.toNextBoundary() != -1) {
        const qsizetype end = graphemes.position();
        plan.push_back(keysymsOf(text.mid(start, end - start)));
        start = end;
    }
    std::lock_guard lock(m_nextPlanMutex);
    m_nextPlan = std::move(plan);
}

bool X11Input::postText(const QString& text)
{
    const std::atomic<bool> never{false};
    return postTextUnlessStopped(text, never);
}

bool X11Input::postTextUnlessStopped(const QString& text, const std::atomic<bool>& stop)
{
    // As other input: a give-back waiting for the receiver gives way.
    const auto lock = lockInput();
    m_typingFailure = TypingFailure::NoKeyboardEvent;
    if (!m_hasXTest || !m_conn.ok() || stop)
        return false;
    m_stop = &stop;
    const auto forget = qScopeGuard([this] { m_stop = nullptr; });
    if (!m_map.load(m_conn))
        return false;
    // A keycode that no longer types what we lent it was remapped by
    // someone else (a new layout): it is not ours any more.
    for (auto it = m_lentKeys.begin(); it != m_lentKeys.end();)
        it = m_map.keysym(it->first, 0) == it->second[0] ? std::next(it) : m_lentKeys.erase(it);
    std::erase_if(m_lent, [this](const auto& entry) { return !m_lentKeys.count(entry.second.keycode); });

    if (std::lock_guard next(m_nextPlanMutex); m_nextPlan) {
        m_plan = std::move(*m_nextPlan);
        m_planAt = 0;
        m_nextPlan.reset();
    }
    const std::vector<uint32_t> syms = keysymsOf(text);
    const bool planned = m_planAt < m_plan.size() && m_plan[m_planAt] == syms;
    if (!planned) {
        m_plan.clear();
        m_planAt = 0;
    }
    // Keys go only to the window the text's first character went to, and
    // only while nobody else holds the keyboard (X11TypingGuard.h): a window
    // gone, the focus moved or a grab fails the text before anything more
    // is typed.
    bool ok = true;
    if (m_guard && m_planAt == 0)
        m_guard->forget();
    if (const auto refused = m_guard ? m_guard->look() : std::nullopt) {
        m_typingFailure = *refused;
        ok = false;
    } else if (!m_guard && m_planAt == 0 && keyboardGrabbedElsewhere()) {
        m_typingFailure = TypingFailure::KeyboardGrabbed;
        ok = false;
    } else if (!bypassesInputMethods()) {
        m_typingFailure = TypingFailure::InputMethod;
        ok = false;
    }
    // A character without a key fails the text instead of vanishing, and
    // one whose keys cannot be lent fails before anything of it is typed.
    ok = ok && (syms.empty() || (!contains(syms, 0) && lendFor(syms)));
    if (!ok && m_guard && m_typingFailure != TypingFailure::InputMethod)
        if (const auto why = m_guard->look())
            m_typingFailure = *why; // what the wait came to is the window's doing
    if (ok && std::any_of(syms.begin(), syms.end(), [this](uint32_t sym) { return m_lent.count(sym) > 0; }))
        m_lentReceiver = keyWindow();
    ok = ok && typeGuarded(syms);
    if (planned)
        ++m_planAt;
    if (!m_lentKeys.empty() || m_probeSym)
        scheduleRestore(kGiveBackAfter, ++m_textGeneration);
    return ok;
}

bool X11Input::typeGuarded(const std::vector<uint32_t>& syms)
{
    if (!m_guard) {
        bool ok = true;
        for (size_t i = 0; ok && i < syms.size(); ++i)
            ok = typeKeysym(syms[i]);
        return ok;
    }
    const auto refused = m_guard->hold(m_stop);
    const auto release = qScopeGuard([this] { m_guard->release(); });
    if (refused) {
        m_typingFailure = *refused;
        return false;
    }
    bool ok = true;
    for (size_t i = 0; ok && i < syms.size(); ++i)
        ok = typeKeysym(syms[i]);
    return ok;
}

bool X11Input::readyToConfirm()
{
    if (!m_readsTried) {
        m_readsTried = true;
        m_reads = KeymapReads::start(xcb_get_setup(m_conn)->resource_id_base, xcb_get_setup(m_conn)->resource_id_mask);
        m_pingAtom = internAtom(m_conn, "_NET_WM_PING");
        if (m_reads)
            m_reads->setPingAtom(m_pingAtom);
    }
    if (!m_reads)
        return false;
    if (m_probe && m_map.keysym(m_probe, 0) != m_probeSym) {
        // Someone else gave the probe a symbol (a new layout): a tap of it
        // would type.
        m_probe = 0;
        m_probeSym = 0;
    }
    if (!m_probe) {
        const std::vector<uint8_t> spare = m_map.spareKeycodes();
        if (spare.empty())
            return false;
        m_probe = spare.front();
    }
    return true;
}

bool X11Input::lendFor(const std::vector<uint32_t>& syms)
{
    std::vector<uint32_t> wanted; // this character's symbols that the layout has no key for
    for (uint32_t s : syms)
        if (!layoutTypes(s) && !contains(wanted, s))
            wanted.push_back(s);
    if (std::all_of(wanted.begin(), wanted.end(), [this](uint32_t s) { return m_lent.count(s) > 0; }))
        return true;
    if (!readyToConfirm())
        return false; // nothing could confirm that the keys are read right
    std::vector<uint8_t> spare = m_map.spareKeycodes();
    std::map<uint8_t, KeySyms> next;
    for (const auto& [kc, content] : m_lentKeys)
        next[kc] = content;
    for (uint8_t kc : spare)
        if (kc != m_probe)
            next.try_emplace(kc, KeySyms{0, 0});
    const size_t capacity = 2 * next.size();
    if (wanted.size() > capacity)
        return false;

    // This round's symbols: this character's, then those the text needs
    // next, in the order it needs them.
    std::vector<uint32_t> round = wanted;
    for (size_t i = m_planAt + 1; i < m_plan.size() && round.size() < capacity; ++i)
        for (uint32_t s : m_plan[i])
            if (s && round.size() < capacity && !contains(round, s) && !layoutTypes(s))
                round.push_back(s);
    // Lent symbols the round needs stay where they are; the others go.
    for (auto& [kc, content] : next) {
        if (content[1] == 0 && content[0] != 0 && contains(round, content[0]))
            continue; // one symbol on both levels: its second level is free
        for (uint32_t& s : content)
            if (s != 0 && !contains(round, s))
                s = 0;
        if (content[0] == XK_VoidSymbol && content[1] == 0)
            content[0] = 0;
    }
    for (uint32_t s : round) {
        if (std::any_of(next.begin(), next.end(), [s](const auto& e) { return e.second[0] == s || e.second[1] == s; }))
            continue;
        bool placed = false;
        for (int level = 0; level < 2 && !placed; ++level)
            for (auto& [kc, content] : next) {
                const bool free = level == 0 ? content[0] == 0 || content[0] == XK_VoidSymbol : content[0] != 0 && content[1] == 0;
                if (!free || caseVariants(content[size_t(1 - level)], s))
                    continue;
                content[size_t(level)] = s;
                placed = true;
                break;
            }
        if (!placed && contains(wanted, s))
            return false;
    }
    std::map<uint8_t, KeySyms> changes;
    bool needsFence = false;
    for (auto& [kc, content] : next) {
        if (content[0] == 0 && content[1] != 0)
            content[0] = XK_VoidSymbol; // the first level types nothing
        const auto was = m_lentKeys.find(kc);
        const KeySyms before = was == m_lentKeys.end() ? KeySyms{0, 0} : was->second;
        if (content == before)
            continue;
        changes[kc] = content;
        needsFence = needsFence || m_pressedSinceFence[kc];
    }
    if (needsFence && !fence(kReadBound))
        return false;
    if (!changeKeycodes(changes))
        return false;
    return tapProbeAndWait(kReadBound);
}

bool X11Input::setKeysyms(uint8_t keycode, KeySyms syms)
{
    // As lending writes it; nothing lent clears every level.
    std::vector<uint32_t> row = syms[0] ? lentKeysyms(syms[0], syms[1], m_map.keysymsPerKeycode())
                                        : std::vector<uint32_t>(size_t(std::max(1, m_map.keysymsPerKeycode())), 0);
    const auto cookie = xcb_change_keyboard_mapping_checked(m_conn, 1, keycode, uint8_t(row.size()), row.data());
    if (m_reads)
        ++m_changes; // counted by the server whether or not it is refused
    XcbReply<xcb_generic_error_t> error(xcb_request_check(m_conn, cookie));
    return !error;
}

bool X11Input::writeKeycodes(const std::map<uint8_t, KeySyms>& contents)
{
    if (contents.empty())
        return true;
    if (!m_hasXkb) {
        // One change (and one notification to every client) a keycode.
        bool ok = true;
        for (const auto& [kc, syms] : contents)
            ok = setKeysyms(kc, syms) && ok;
        return ok;
    }
    // One change for all: the range from the first keycode to the last,
    // the keycodes between written as they are.
    const uint8_t first = contents.begin()->first;
    const uint8_t last = contents.rbegin()->first;
    auto keys = readXkbKeySyms(m_conn, first, uint8_t(last - first + 1));
    if (!keys)
        return false;
    for (const auto& [kc, syms] : contents) {
        XkbKeySyms& key = (*keys)[size_t(kc - first)];
        if (syms == KeySyms{0, 0}) {
            // Back to what it held before, or to no symbols at all.
            const auto original = m_originalKeys.find(kc);
            key = original == m_originalKeys.end() ? XkbKeySyms() : original->second;
            if (original != m_originalKeys.end())
                m_originalKeys.erase(original);
        } else {
            m_originalKeys.try_emplace(kc, key);
            key = XkbKeySyms::lent(syms[0], syms[1]);
        }
    }
    const bool ok = writeXkbKeySyms(m_conn, first, *keys);
    if (m_reads)
        ++m_changes; // counted by the server whether or not it is refused
    return ok;
}

bool X11Input::saveLentRecord(const std::map<uint8_t, KeySyms>& extra)
{
    std::vector<LentKeycode> lines;
    auto add = [&lines](uint8_t kc, const KeySyms& syms) {
        if (syms[0])
            lines.push_back({kc, syms[0], syms[1]});
    };
    for (const auto& [kc, syms] : m_lentKeys)
        add(kc, syms);
    for (const auto& [kc, syms] : extra)
        add(kc, syms);
    if (m_probeSym)
        add(m_probe, {m_probeSym, 0});
    return m_lentRecord.save(lines);
}

bool X11Input::changeKeycodes(const std::map<uint8_t, KeySyms>& contents)
{
    if (contents.empty())
        return true;
    // On disk before the keyboard map changes, with both what a keycode
    // types now and what it will: a run killed in between or later leaves a
    // line too many (given back only while the keycode still types that),
    // never a keycode lent without a line. It is not written again after
    // the change (the next change or the giving back does): a run killed
    // right after the change does not leave a file half written.
    saveLentRecord(contents);
    const bool ok = writeKeycodes(contents);
    for (const auto& [kc, syms] : contents) {
        if (!ok)
            break;
        if (syms == KeySyms{0, 0})
            m_lentKeys.erase(kc);
        else
            m_lentKeys[kc] = syms;
    }
    m_lent.clear();
    for (const auto& [kc, syms] : m_lentKeys) {
        if (syms[0] && syms[0] != XK_VoidSymbol)
            m_lent[syms[0]] = {kc, 0};
        if (syms[1])
            m_lent[syms[1]] = {kc, 1};
    }
    return m_map.load(m_conn) && ok;
}

bool X11Input::fence(milliseconds bound)
{
    if (!m_probe || !m_reads)
        return false;
    const uint32_t was = m_probeSym;
    const uint32_t sym = was ? 0 : uint32_t(XK_VoidSymbol);
    m_probeSym = XK_VoidSymbol; // on disk before the change
    saveLentRecord();
    const bool changed = writeKeycodes({{m_probe, {sym, 0}}});
    m_probeSym = changed ? sym : was;
    if (!changed || !tapProbeAndWait(bound))
        return false;
    const Proof proof = waitUntilHandled(keyWindow(), bound);
    if (proof != Proof::Handled) {
        m_typingFailure = failureFor(proof);
        return false;
    }
    m_pressedSinceFence.fill(false);
    return true;
}

bool X11Input::restoreLent(bool waitForReceiver, milliseconds bound)
{
    if ((m_lentKeys.empty() && !m_probeSym) || !m_conn.ok())
        return true;
    // A keycode keeps its symbols while a key typed with it may still be
    // translated. Nothing is typed for this (no tap of the probe): the
    // user may be at the keyboard by now.
    bool typed = false;
    for (const auto& [kc, syms] : m_lentKeys)
        typed = typed || m_pressedSinceFence[kc];
    if (typed && waitForReceiver) {
        const Proof proof = waitUntilHandled(m_lentReceiver, bound);
        if (proof == Proof::NotYet || proof == Proof::Impossible)
            return false;
    }
    m_pressedSinceFence.fill(false);
    // A keycode still held keeps its symbols until it is let go.
    std::map<uint8_t, KeySyms> giveBack;
    for (const auto& [kc, syms] : m_lentKeys)
        if (m_heldKeys[kc] == 0)
            giveBack[kc] = {0, 0};
    if (m_probeSym)
        giveBack[m_probe] = {0, 0};
    if (changeKeycodes(giveBack))
        m_probeSym = 0;
    saveLentRecord();
    m_map.load(m_conn);
    return true;
}

void X11Input::giveBackLeftovers()
{
    if (!m_conn.ok())
        return;
    const auto left = m_lentRecord.leftovers();
    // Lending uses only keycodes the layout does not describe: one it does
    // (its `a` key shows a and A as a keycode lent them would) was not lent.
    // Without the layout nothing is given back, and the records stay for a
    // start that can tell.
    const auto& layout = m_map.layoutKeys();
    if (!layout && !left.keycodes.empty()) {
        qWarning("tovrik: the keyboard layout the X server names could not be compiled; what a run that "
                 "ended without giving it back left lent stays lent");
        return;
    }
    bool changed = false;
    for (const LentKeycode& entry : left.keycodes) {
        // Only what the server maps exactly as lending does: anything else
        // was remapped since by someone else (or was never lent).
        std::vector<uint32_t> levels(size_t(std::max(0, m_map.keysymsPerKeycode())));
        for (size_t level = 0; level < levels.size(); ++level)
            levels[level] = m_map.keysym(entry.keycode, int(level));
        if (!(*layout)[entry.keycode] && showsLentKeysym(levels, entry.keysym, entry.shifted)
            && writeKeycodes({{entry.keycode, {0, 0}}}))
            changed = true;
    }
    if (changed)
        m_map.load(m_conn);
    LentKeycodeRecord::forget(left.files);
}

void X11Input::scheduleRestore(milliseconds after, quint64 generation)
{
    if (!m_timerContext || !QCoreApplication::instance())
        return; // given back on the next text or when input goes away
    // On the give-back thread, whichever thread typed.
    QObject* context = m_timerContext.get();
    QMetaObject::invokeMethod(context, [this, context, generation, after]() {
        QTimer::singleShot(after, context, [this, generation]() {
            std::lock_guard lock(m_mutex);
            if (generation == m_textGeneration && !restoreLent(true, kGiveBackSlice))
                scheduleRestore(kGiveBackRetry, generation);
        });
    }, Qt::QueuedConnection);
}

} // namespace tovrik::platform::x11
