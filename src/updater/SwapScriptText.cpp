// The swap script comes from a generated text; kept apart
// from the service's sources so that moc never reads the raw literals.

#include "updater/MacUpdateService.h"
#include "updater/SwapScriptText.h"

namespace tovrik {

QString MacUpdateService::swapScriptText(const QString& privilegedRunner, const QString& teamPublicKey)
{
    QString text = QString::fromUtf8(update::generated::swapScriptTemplate);
    text.replace(QLatin1String("@PRIVILEGED_RUNNER@"), shellQuote(privilegedRunner));
    QString key = teamPublicKey;
    key.remove('\''); // the key sits in single quotes
    text.replace(QLatin1String("@TEAM_PUBLIC_KEY@"), key);
    return text;
}

} // namespace tovrik
