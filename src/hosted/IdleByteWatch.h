#pragma once

// Watches the bytes that reach an idle pooled connection, before TLS reads
// them. TLS keeps bytes that do not make a whole record (a server's stray
// CRLF outside TLS, say) to itself without a word; the next answer on that
// connection then fails although the server took the request. So every
// byte that arrives while the connection is idle is looked at first, on the
// descriptor, and must frame whole TLS records (a TLS 1.3 session ticket, a
// key update, an alert); the kernel's count of bytes received shows whether
// any byte went past unseen.

#include <QObject>
#include <QSslSocket>

namespace tovrik {

class IdleByteWatch : public QObject {
    Q_OBJECT
public:
    // Starts watching `socket` (encrypted, its last answer read whole); the
    // watch is the socket's child and ends with it or when deleted.
    static IdleByteWatch* start(QSslSocket* socket);
    static IdleByteWatch* of(const QSslSocket* socket);

    // Looks at the bytes waiting on the descriptor, before TLS takes them.
    void look();
    // Whether every byte that arrived since the watch began was seen and
    // framed whole TLS records. Call after TLS read what was waiting.
    bool clean();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit IdleByteWatch(QSslSocket* socket);
    void frame(const char* data, qint64 size);

    int m_fd = -1;
    bool m_begun = false;
    quint64 m_seenUpTo = 0;   // the kernel's count of bytes received, up to what was looked at
    bool m_spoiled = false;   // bytes that frame no record, or bytes never seen
    QByteArray m_header;      // of the record being read
    qint64 m_recordLeft = 0;  // its bytes still to come
};

} // namespace tovrik
