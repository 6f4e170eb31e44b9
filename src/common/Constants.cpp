#include "common/Constants.h"

#include "common/BuildSettings.h"

#include <sys/random.h>
#include <cerrno>

namespace tovrik::constants {

namespace {
int64_t g_marker = 0;
bool g_initialized = false;
} // namespace

bool systemRandomFill(void* buffer, size_t size)
{
    size_t got = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (got < size) {
        const ssize_t n = getrandom(bytes + got, size - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        got += size_t(n);
    }
    return true;
}

bool initialize() { return initialize(&systemRandomFill); }

bool initialize(RandomFill fill)
{
    uint64_t value = 0;
    if (!fill || !fill(&value, sizeof(value)))
        return false;
    g_marker = int64_t(value | 1u);
    g_initialized = true;
    return true;
}

bool isInitialized() { return g_initialized; }

int64_t syntheticInputEventSourceUserData() { return g_marker; }

QColor turquoiseAccent() { return QColor(47, 125, 246); }
QColor panelBackground() { return QColor(21, 21, 21); }
QColor panelSurface() { return QColor(32, 32, 32); }

const QString& defaultHostedWorkerBaseURL()
{
    static const QString v = QStringLiteral("https://") + QStringLiteral(TOVRIK_WEB_DOMAIN);
    return v;
}

const QString& legacyHostedWorkerBaseURL()
{
    static const QString v = QStringLiteral("https://") + QStringLiteral(TOVRIK_LEGACY_HOST);
    return v;
}

const QSet<QString>& trustedHostedWorkerHosts()
{
    static const QSet<QString> v = {QStringLiteral(TOVRIK_WEB_DOMAIN).toLower(),
                                    (QStringLiteral("www.") + QStringLiteral(TOVRIK_WEB_DOMAIN)).toLower(),
                                    QStringLiteral(TOVRIK_LEGACY_HOST).toLower()};
    return v;
}

const QString& hostedAccountPageURL()
{
    static const QString v = defaultHostedWorkerBaseURL() + QStringLiteral("/account#price-cards");
    return v;
}

const QString& macOSDeveloperTeamIdentifier()
{
    static const QString v = QStringLiteral(TOVRIK_TEAM_IDENTIFIER);
    return v;
}

const QString& googleClientID()
{
    static const QString v = QStringLiteral(TOVRIK_GOOGLE_CLIENT_ID);
    return v;
}

const QString& googleClientSecret()
{
    static const QString v = QStringLiteral(TOVRIK_GOOGLE_CLIENT_SECRET);
    return v;
}

const QString& googleAuthorizationEndpoint()
{
    static const QString v = QStringLiteral(TOVRIK_GOOGLE_AUTH_ENDPOINT);
    return v;
}

const QString& googleTokenEndpoint()
{
    static const QString v = QStringLiteral(TOVRIK_GOOGLE_TOKEN_ENDPOINT);
    return v;
}

const QVector<ElevenLabsVoiceOption>& elevenLabsVoiceOptions()
{
    static const QVector<ElevenLabsVoiceOption> v = {
        {QStringLiteral("kPzsL2i3teMYv0FxEYQ6"), QStringLiteral("Ava"), QStringLiteral("Female")},
        {QStringLiteral("21m00Tcm4TlvDq8ikWAM"), QStringLiteral("Mila"), QStringLiteral("Female")},
        {QStringLiteral("pNInz6obpgDQGcFmaJgB"), QStringLiteral("Theo"), QStringLiteral("Male")},
        {QStringLiteral("TxGEqnHWrfWFTfGW9XjX"), QStringLiteral("Jonas"), QStringLiteral("Male")},
        {QStringLiteral("MF3mGyEYCl7XYWbV9V6O"), QStringLiteral("Robin"), QStringLiteral("Unisex")},
        {QStringLiteral("yoZ06aMxZJJ28mfd3POQ"), QStringLiteral("Sasha"), QStringLiteral("Unisex")},
    };
    return v;
}

} // namespace constants
