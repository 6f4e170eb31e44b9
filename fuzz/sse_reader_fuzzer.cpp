// libFuzzer target: the chat reply's event-stream reader. The input is split
// into chunks at positions drawn from its first bytes, fed to the parser,
// and every event's data is decoded as the chat stream does (UTF-8 with
// replacement, JSON).
// Checks: no crash, caps honoured, and chunking never changes the events.

#include "hosted/ServerSentEventParser.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Seen {
    std::vector<tovrik::ServerSentEvent> events;
    bool ok = true;
    bool partial = false;
};

Seen run(const std::string& stream, const std::vector<size_t>& cuts)
{
    Seen seen;
    tovrik::ServerSentEventParser parser(
        [&seen](const tovrik::ServerSentEvent& e) {
            seen.events.push_back(e);
            const std::string valid = tovrik::validUTF8(e.data);
            const QByteArray data = QByteArray::fromStdString(valid);
            // The replacement leaves valid UTF-8, which it keeps as is.
            if (!data.isValidUtf8() || tovrik::validUTF8(valid) != valid)
                std::abort();
            const QJsonDocument doc = QJsonDocument::fromJson(data);
            if (doc.isObject())
                (void)doc.object().value(QLatin1String("text")).toString();
            (void)QString::fromUtf8(data);
        },
        4096, 8192);
    size_t start = 0;
    for (size_t cut : cuts) {
        if (cut <= start || cut > stream.size())
            continue;
        seen.ok = parser.feed(std::string_view(stream).substr(start, cut - start)) && seen.ok;
        start = cut;
    }
    seen.ok = parser.feed(std::string_view(stream).substr(start)) && seen.ok;
    seen.partial = parser.finish();
    return seen;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte picks the chunk sizes, the rest is the stream.
    const unsigned step = (data[0] % 7) + 1;
    const std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<size_t> cuts;
    for (size_t i = step; i < stream.size(); i += step)
        cuts.push_back(i);
    const Seen whole = run(stream, {});
    const Seen split = run(stream, cuts);
    // While no cap was hit, chunking must not change what was dispatched.
    if (whole.ok && split.ok) {
        if (whole.events.size() != split.events.size())
            std::abort();
        for (size_t i = 0; i < whole.events.size(); ++i) {
            if (whole.events[i].data != split.events[i].data || whole.events[i].type != split.events[i].type)
                std::abort();
            if (whole.events[i].data.size() > 8192)
                std::abort();
        }
    }
    return 0;
}
