// libFuzzer target: the hosted client's reader of HTTP/1.1 answers. The
// input is fed whole and in chunks whose size its first byte picks; the
// connection closes after it when its second byte is odd.
// Checks: no crash, the body never holds more than was fed, and chunking
// never changes the outcome (complete or not, status, body).

#include "hosted/HTTPResponseParser.h"

#include <cstdint>
#include <cstdlib>

namespace {

struct Outcome {
    bool ok = true;
    bool complete = false;
    int status = 0;
    QByteArray body;
};

Outcome run(const QByteArray& bytes, qsizetype step, bool close)
{
    tovrik::HTTPResponseParser parser("GET");
    Outcome out;
    for (qsizetype at = 0; out.ok && at < bytes.size() && !parser.isComplete(); at += step)
        out.ok = parser.feed(bytes.constData() + at, std::min(step, bytes.size() - at), &out.body);
    out.complete = out.ok && (close ? parser.finish() : parser.isComplete());
    out.status = parser.headComplete() ? parser.head().status : 0;
    if (out.body.size() > bytes.size())
        std::abort();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const qsizetype step = (data[0] % 7) + 1;
    const bool close = data[1] & 1;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));
    const Outcome whole = run(bytes, bytes.size(), close);
    const Outcome split = run(bytes, step, close);
    if (whole.ok != split.ok || whole.complete != split.complete)
        std::abort();
    if (whole.complete && (whole.status != split.status || whole.body != split.body))
        std::abort();
    return 0;
}
