#include "hosted/ContentDecoder.h"

#include <zlib.h>

#include <algorithm>

namespace tovrik {

struct ContentDecoder::Stream {
    z_stream z{};
    bool initialised = false;
    ~Stream()
    {
        if (initialised)
            inflateEnd(&z);
    }
};

ContentDecoder::ContentDecoder(const QByteArray& contentEncoding)
{
    const QByteArray coding = contentEncoding.trimmed().toLower();
    if (coding.isEmpty() || coding == "identity")
        return;
    if (coding != "gzip" && coding != "x-gzip") {
        m_error = QStringLiteral("unexpected content coding \"%1\"").arg(QString::fromLatin1(coding.left(64)));
        return;
    }
    m_stream = std::make_unique<Stream>();
    if (inflateInit2(&m_stream->z, 16 + MAX_WBITS) != Z_OK) {
        m_error = QStringLiteral("cannot decode gzip");
        return;
    }
    m_stream->initialised = true;
}

ContentDecoder::~ContentDecoder() = default;

void ContentDecoder::push(const QByteArray& bytes)
{
    if (bytes.isEmpty() || !isValid())
        return;
    if (m_inputAt > 0) {
        m_input.remove(0, m_inputAt);
        m_inputAt = 0;
    }
    m_input += bytes;
}

bool ContentDecoder::pull(QByteArray* out, qsizetype maxBytes)
{
    if (!isValid())
        return false;
    if (!m_stream) {
        const qsizetype n = std::min(maxBytes, m_input.size() - m_inputAt);
        out->append(m_input.constData() + m_inputAt, n);
        m_inputAt += n;
        if (m_inputAt == m_input.size()) {
            m_input.clear();
            m_inputAt = 0;
        }
        return true;
    }
    z_stream& z = m_stream->z;
    qsizetype produced = 0;
    while (produced < maxBytes && (m_inputAt < m_input.size() || m_outputPending)) {
        if (m_streamEnded) {
            // Another gzip member follows.
            if (inflateReset(&z) != Z_OK) {
                m_error = QStringLiteral("malformed gzip body");
                return false;
            }
            m_streamEnded = false;
        }
        const qsizetype room = std::min<qsizetype>(maxBytes - produced, 64 * 1024);
        const qsizetype before = out->size();
        out->resize(before + room);
        z.next_in = reinterpret_cast<Bytef*>(m_input.data() + m_inputAt);
        z.avail_in = uInt(m_input.size() - m_inputAt);
        z.next_out = reinterpret_cast<Bytef*>(out->data() + before);
        z.avail_out = uInt(room);
        const int rc = inflate(&z, Z_NO_FLUSH);
        const qsizetype made = room - qsizetype(z.avail_out);
        out->resize(before + made);
        m_inputAt = m_input.size() - qsizetype(z.avail_in);
        produced += made;
        m_sawData = true;
        // A full output buffer may leave decoded bytes inside zlib.
        m_outputPending = rc == Z_OK && z.avail_out == 0;
        if (rc == Z_STREAM_END) {
            m_streamEnded = true;
        } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && made == 0 && z.avail_in == 0)) {
            m_error = QStringLiteral("malformed gzip body");
            return false;
        } else if (made == 0 && z.avail_out != 0) {
            break; // needs more input
        }
    }
    if (m_inputAt == m_input.size()) {
        m_input.clear();
        m_inputAt = 0;
    }
    return true;
}

bool ContentDecoder::finish()
{
    if (!isValid())
        return false;
    if (!m_stream || !m_sawData)
        return m_input.size() == m_inputAt; // an empty body is an empty body
    if (!m_streamEnded || m_inputAt < m_input.size()) {
        m_error = QStringLiteral("truncated gzip body");
        return false;
    }
    return true;
}

} // namespace tovrik
