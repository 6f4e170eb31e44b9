// The step request's system prompt and the run memory's instruction text,
// compared line by line with the golden texts under golden/, so that one
// changed character fails with the line that holds it.

#include "autopilot/AutopilotStepRequest.h"
#include "autopilot/AutopilotTaskMemory.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace tovrik;

namespace {

// The golden file's text; the file ends with one newline of its own, which
// is not part of the text when `withFinalNewline` is false.
QString golden(const char* name, bool withFinalNewline)
{
    QString root = qEnvironmentVariable("TOVRIK_SOURCE_DIR");
    QFile file(root + QStringLiteral("/tests/autopilot/golden/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(file.readAll());
    if (!withFinalNewline && text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text;
}

void expectSameLines(const QString& actual, const QString& expected)
{
    const QStringList got = actual.split(QLatin1Char('\n'));
    const QStringList want = expected.split(QLatin1Char('\n'));
    EXPECT_EQ(got.size(), want.size());
    for (qsizetype i = 0; i < std::min(got.size(), want.size()); ++i)
        EXPECT_EQ(got[i].toStdString(), want[i].toStdString()) << "line " << i + 1;
}

} // namespace

TEST(PromptGolden, RunMemoryPromptIsItsGoldenTextLineByLine)
{
    const QString expected = golden("run-memory-prompt.txt", false);
    ASSERT_EQ(expected.count(QLatin1Char('\n')), 7);
    expectSameLines(AutopilotTaskMemory::prompt(), expected);
}

TEST(PromptGolden, StepSystemPromptIsItsGoldenLinesThenTheMemoryText)
{
    const QString fixed = golden("step-system-prompt.txt", true);
    ASSERT_EQ(fixed.count(QLatin1Char('\n')), 53);
    const QString& prompt = AutopilotStepRequest::systemPrompt();
    // The 53 fixed lines each end with a newline; the memory text follows
    // with nothing between.
    ASSERT_TRUE(prompt.endsWith(AutopilotTaskMemory::prompt()));
    const QString head = prompt.left(prompt.size() - AutopilotTaskMemory::prompt().size());
    ASSERT_TRUE(head.endsWith(QLatin1Char('\n')));
    expectSameLines(head.chopped(1), fixed.chopped(1));
}
