// scripts/try.sh --help prints its help and the stand-in's options, and
// nothing else: no build, no stand-in started, no error.

#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

namespace {

TEST(TryScript, HelpPrintsOnlyHelp)
{
    for (const char* option : {"--help", "-h"}) {
        QProcess script;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TOVRIK_BUILD_DIR"), qEnvironmentVariable("TOVRIK_BINARY_DIR"));
        env.remove(QStringLiteral("DISPLAY")); // help needs no display either
        script.setProcessEnvironment(env);
        script.start(QStringLiteral("bash"),
                     {qEnvironmentVariable("TOVRIK_SOURCE_DIR") + QStringLiteral("/scripts/try.sh"), QString::fromLatin1(option)});
        ASSERT_TRUE(script.waitForFinished(30000));
        const QString out = QString::fromUtf8(script.readAllStandardOutput());
        const QString errors = QString::fromUtf8(script.readAllStandardError());
        EXPECT_EQ(script.exitCode(), 0) << option;
        EXPECT_TRUE(errors.isEmpty()) << errors.toStdString();
        EXPECT_TRUE(out.startsWith(QStringLiteral("Tries Tovrik against the local stand-in"))) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("--data-dir PATH keeps the stand-in's CA"))) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("--decisions <file>"))) << out.toStdString();
    }
}

} // namespace
