#pragma once

// Undoes the content coding of an answer's body: none (`identity`) or gzip,
// the one the requests ask for (`Accept-Encoding: gzip`). Compressed bytes
// are taken whole (push) and decoded in bounded steps (pull), so that the
// reader can check its own size cap between steps and a small compressed
// body never becomes a large allocation at once. Plain C++ over bytes.

#include <QByteArray>
#include <QString>

#include <memory>

namespace tovrik {

class ContentDecoder {
public:
    // For the value of Content-Encoding. Any coding but identity and gzip
    // (x-gzip) is refused: isValid() is false and error() says why.
    explicit ContentDecoder(const QByteArray& contentEncoding = {});
    ~ContentDecoder();
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    static QByteArray acceptEncoding() { return QByteArrayLiteral("gzip"); }

    bool isValid() const { return m_error.isEmpty(); }
    bool isIdentity() const { return !m_stream; }
    const QString& error() const { return m_error; }

    // Takes body bytes as received.
    void push(const QByteArray& bytes);
    // Appends at most `maxBytes` decoded bytes to `out`; false once the
    // coded data are invalid. Returns with nothing appended when all pushed
    // bytes are decoded.
    bool pull(QByteArray* out, qsizetype maxBytes);
    // Whether decoded bytes may still be pending from what was pushed.
    bool hasPending() const { return m_inputAt < m_input.size() || m_outputPending; }
    // The body ended: true when the coded data ended exactly there.
    bool finish();

private:
    struct Stream;
    std::unique_ptr<Stream> m_stream; // null for identity
    QByteArray m_input;
    qsizetype m_inputAt = 0;
    bool m_streamEnded = false;
    bool m_outputPending = false;
    bool m_sawData = false;
    QString m_error;
};

} // namespace tovrik
