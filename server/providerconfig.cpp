#include "providerconfig.h"

#include <QtGlobal>

namespace {

ProviderEndpoint read(const char *prefix, const char *defaultBase)
{
    const auto env = [prefix](const char *name) {
        return qEnvironmentVariable((QByteArray("TALVORO_") + prefix + '_' + name).constData())
            .trimmed();
    };
    ProviderEndpoint p;
    p.apiKey = env("API_KEY");
    p.baseUrl = env("BASE_URL");
    p.model = env("MODEL");
    p.configured = !p.apiKey.isEmpty() || !p.baseUrl.isEmpty();
    if (p.baseUrl.isEmpty())
        p.baseUrl = QString::fromLatin1(defaultBase);
    while (p.baseUrl.endsWith(QLatin1Char('/')))
        p.baseUrl.chop(1);
    return p;
}

} // namespace

ProviderConfig ProviderConfig::fromEnvironment()
{
    ProviderConfig c;
    c.openAI = read("OPENAI", "https://api.openai.com/v1");
    c.anthropic = read("ANTHROPIC", "https://api.anthropic.com/v1");
    c.gemini = read("GEMINI", "https://generativelanguage.googleapis.com/v1beta");
    c.image = read("IMAGE", "https://api.openai.com/v1");
    if (!c.image.configured && c.openAI.configured) {
        const QString model = c.image.model;
        c.image = c.openAI;
        c.image.model = model;
    }
    return c;
}

const ProviderEndpoint &ProviderConfig::forFamily(ProxyFamily family) const
{
    switch (family) {
    case ProxyFamily::Anthropic:
        return anthropic;
    case ProxyFamily::Gemini:
        return gemini;
    case ProxyFamily::OpenAI:
        break;
    }
    return openAI;
}
