#include "service/modelcatalogue.h"

#include "core/serviceorigin.h"

namespace {

struct Row {
    const char *id;
    const char *displayName;
    QString (*url)();
    const char *icon;
};

// Display names are UTF-8: "DALL·E" holds U+00B7 MIDDLE DOT.
const Row kRows[] = {
    {"gpt-3.5-turbo-0125", "GPT-3.5", ServiceEndpoints::proxyOpenAI, "chat3.5"},
    {"claude-3-haiku-20240307", "Claude-3", ServiceEndpoints::proxyClaude, "claude3"},
    {"gpt-4o", "GPT-4o", ServiceEndpoints::proxyOpenAI, "chat4"},
    {"claude-3-5-sonnet-20240620", "Claude-3.5", ServiceEndpoints::proxyClaude, "claude3.5"},
    {"gemini-1.5-pro", "Gemini-Pro", ServiceEndpoints::proxyGemini, "gemini"},
    {"dall-e-3", "DALL\u00B7E", ServiceEndpoints::generateImage, "dall"},
};

const Row *findRow(const QString &id)
{
    for (const Row &row : kRows) {
        if (id == QLatin1String(row.id))
            return &row;
    }
    return nullptr;
}

std::optional<QString> fromView(const QString &selected)
{
    if (selected.isEmpty())
        return std::nullopt;
    return selected;
}

} // namespace

QStringList ModelCatalogue::identifiers()
{
    QStringList ids;
    for (const Row &row : kRows)
        ids.append(QLatin1String(row.id));
    return ids;
}

QHash<QString, QString> ModelCatalogue::modelURLs()
{
    QHash<QString, QString> urls;
    for (const Row &row : kRows)
        urls.insert(QLatin1String(row.id), row.url());
    return urls;
}

QHash<QString, QString> ModelCatalogue::modelDisplayNames()
{
    QHash<QString, QString> names;
    for (const Row &row : kRows)
        names.insert(QLatin1String(row.id), QString::fromUtf8(row.displayName));
    return names;
}

QString ModelCatalogue::modelDisplayName(const std::optional<QString> &selected)
{
    const Row *row = findRow(selected.value_or(defaultModel()));
    return row ? QString::fromUtf8(row->displayName) : QStringLiteral("选择模型");
}

QString ModelCatalogue::modelIconName(const std::optional<QString> &selected)
{
    const Row *row = selected ? findRow(*selected) : nullptr;
    return row ? QLatin1String(row->icon) : QStringLiteral("questionmark.circle");
}

std::optional<ReplyFamily> ModelCatalogue::replyFamily(const QString &model)
{
    if (model == u"gpt-3.5-turbo-0125" || model == u"gpt-4o")
        return ReplyFamily::OpenAIStream;
    if (model == u"claude-3-5-sonnet-20240620" || model == u"claude-3-haiku-20240307")
        return ReplyFamily::ClaudeStream;
    if (model == u"gemini-1.5-pro")
        return ReplyFamily::PlainDataStream;
    if (model == u"dall-e-3")
        return ReplyFamily::ImageResult;
    return std::nullopt;
}

PriceTier ModelCatalogue::priceTier(const QString &model)
{
    constexpr PriceTier low{0.0007, 0.0021, 0};
    constexpr PriceTier high{0.007, 0.021, 0};
    if (model == u"gpt-3.5-turbo-0125")
        return low;
    if (model == u"gpt-4o" || model == u"claude-3-5-sonnet-20240620")
        return high;
    if (model == u"claude-3-haiku-20240307")
        return low;
    if (model == u"dall-e-3")
        return PriceTier{0, 0, 100};
    return high;
}

QString ModelCatalogue::displayName(const QString &selected)
{
    return modelDisplayName(fromView(selected));
}

QString ModelCatalogue::iconName(const QString &selected)
{
    return modelIconName(fromView(selected));
}
