// tovrik-bench-stand-in: the tests' fake hosted service for the measuring
// scripts that drive the real app, with a scripted UI Autopilot. Each line of
// the --decisions file is one decision (JSON), streamed as the reply to one
// autopilot step request, in order; requests are logged one a line as the
// fake service program does (with the wall-clock time it was read whole, in
// seconds, at the end), and each autopilot step's arrival is logged as
// "autopilot step N".
//
//   tovrik-bench-stand-in --data-dir DIR --account EMAIL:PASSWORD:CREDITS --decisions FILE

#include "support/FakeHostedService.h"
#include "support/TestCertificates.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>
#include <QFile>

#include <cstdio>

using tovrik::test::FakeHostedService;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    QCommandLineOption dataDir(QStringLiteral("data-dir"), QStringLiteral("Where the test CA is kept."),
                               QStringLiteral("path"));
    QCommandLineOption account(QStringLiteral("account"), QStringLiteral("email:password:credits"),
                               QStringLiteral("account"));
    QCommandLineOption decisions(QStringLiteral("decisions"), QStringLiteral("One autopilot decision a line."),
                                 QStringLiteral("file"));
    parser.addOptions({dataDir, account, decisions});
    parser.process(app);
    tovrik::test::setCertificateFolder(parser.value(dataDir));

    FakeHostedService fake;
    if (!fake.start({})) {
        std::fprintf(stderr, "bench stand-in: %s\n", qPrintable(fake.lastError()));
        return 1;
    }
    for (const QString& entry : parser.values(account)) {
        const QStringList parts = entry.split(QLatin1Char(':'));
        if (parts.size() == 3)
            fake.addAccount(parts[0], parts[1], parts[2].toLongLong());
    }
    if (parser.isSet(decisions)) {
        QFile file(parser.value(decisions));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "bench stand-in: cannot read %s\n", qPrintable(file.fileName()));
            return 2;
        }
        QStringList lines;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.trimmed().isEmpty())
                lines << QString::fromUtf8(line.trimmed());
        fake.queueAutopilotReplies(lines);
    }
    std::printf("fake hosted service listening on 127.0.0.1:%u\n", unsigned(fake.port()));
    std::fflush(stdout);
    int steps = 0;
    QObject::connect(&fake, &FakeHostedService::requestReceived, &fake, [&fake, &steps]() {
        const tovrik::test::FakeRequest r = fake.requests().constLast();
        std::printf("%s %s%s %.6f\n", r.method.constData(), qPrintable(r.host), r.target.constData(),
                    double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
        if (fake.autopilotRequests().size() > steps) {
            std::printf("autopilot step %d (%lld bytes)\n", steps = int(fake.autopilotRequests().size()),
                        static_cast<long long>(r.body.size()));
            // A typing failure reported to the model in the step's note.
            static const QRegularExpression typed(QStringLiteral("[0-9]+ of [0-9]+ characters were typed; the rest was not\\."));
            const auto match = typed.match(QString::fromUtf8(r.body));
            if (match.hasMatch())
                std::printf("note: %s\n", qPrintable(match.captured()));
        }
        std::fflush(stdout);
    });
    return app.exec();
}
