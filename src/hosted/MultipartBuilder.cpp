#include "hosted/MultipartBuilder.h"

#include <QRandomGenerator>

namespace tovrik {

namespace {
QByteArray escapeQuoted(const QString& s)
{
    QByteArray out = s.toUtf8();
    out.replace('"', "%22");
    out.replace('\r', "%0D");
    out.replace('\n', "%0A");
    return out;
}
} // namespace

MultipartBuilder::MultipartBuilder(QByteArray boundary) : m_boundary(boundary.isEmpty() ? randomBoundary() : std::move(boundary)) {}

QByteArray MultipartBuilder::randomBoundary()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    QByteArray raw(reinterpret_cast<const char*>(words), sizeof(words));
    return QByteArrayLiteral("TovrikBoundary-") + raw.toHex();
}

void MultipartBuilder::addField(const QString& name, const QString& value)
{
    m_parts += "--" + m_boundary + "\r\n";
    m_parts += "Content-Disposition: form-data; name=\"" + escapeQuoted(name) + "\"\r\n\r\n";
    m_parts += value.toUtf8();
    m_parts += "\r\n";
}

std::pair<QByteArray, QByteArray> MultipartBuilder::filePart(const QString& name, const QString& fileName,
                                                             const QByteArray& contentType) const
{
    QByteArray head = m_parts;
    head += "--" + m_boundary + "\r\n";
    head += "Content-Disposition: form-data; name=\"" + escapeQuoted(name) + "\"; filename=\"" + escapeQuoted(fileName)
        + "\"\r\n";
    head += "Content-Type: " + contentType + "\r\n\r\n";
    return {head, "\r\n--" + m_boundary + "--\r\n"};
}

void MultipartBuilder::addFile(const QString& name, const QString& fileName, const QByteArray& contentType,
                               const QByteArray& data)
{
    m_parts = filePart(name, fileName, contentType).first + data + "\r\n";
}

QByteArray MultipartBuilder::contentType() const
{
    return QByteArrayLiteral("multipart/form-data; boundary=") + m_boundary;
}

QByteArray MultipartBuilder::build() const
{
    return m_parts + "--" + m_boundary + "--\r\n";
}

} // namespace tovrik
