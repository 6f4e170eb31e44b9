#pragma once

#include <QByteArray>
#include <QString>

#include <utility>

namespace tovrik {

// A multipart/form-data body (RFC 7578), built in memory. Parts appear in the
// order they were added; every line ends with CRLF:
//   --B CRLF Content-Disposition: form-data; name="n"[; filename="f"] CRLF
//   [Content-Type: t CRLF] CRLF <bytes> CRLF ... --B-- CRLF
// Names and file names escape '"' as %22 and CR/LF as %0D/%0A.
class MultipartBuilder {
public:
    // A random boundary ("TovrikBoundary-" + 32 hex digits) unless given.
    explicit MultipartBuilder(QByteArray boundary = {});

    void addField(const QString& name, const QString& value);
    void addFile(const QString& name, const QString& fileName, const QByteArray& contentType, const QByteArray& data);

    // For a file sent from disk: the body before its bytes (the parts added
    // so far and this part's head) and after them (the part's end and the
    // closing delimiter); head + bytes + tail equals addFile() + build().
    std::pair<QByteArray, QByteArray> filePart(const QString& name, const QString& fileName,
                                               const QByteArray& contentType) const;

    const QByteArray& boundary() const { return m_boundary; }
    // "multipart/form-data; boundary=" + boundary
    QByteArray contentType() const;
    // The whole body with the closing delimiter.
    QByteArray build() const;

    static QByteArray randomBoundary();

private:
    QByteArray m_boundary;
    QByteArray m_parts;
};

} // namespace tovrik
