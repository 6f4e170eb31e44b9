#pragma once

// This process's resident memory as the kernel counts it, for tests and
// benchmarks that bound what a request makes the client hold.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

namespace tovrik::test {

// A field of /proc/self/status in MiB ("VmRSS", "VmHWM"); 0 when unreadable.
inline double statusMiB(const QByteArray& field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toDouble() / 1024;
    return 0;
}

// Starts a new high-water mark (VmHWM) at the current resident size.
inline bool resetPeakMemory()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

} // namespace tovrik::test
