#include "service/modelcatalogue.h"

#include "core/serviceorigin.h"

namespace {

struct Row {
    QLatin1String id;
    const char *displayName;
    QUrl (*url)();
    const char *icon;
    ReplyFamily family;
};

// Display names are UTF-8: "DALL·E" holds U+00B7 MIDDLE DOT.
const Row kRows[] = {
    {ModelIds::gpt35Turbo, "GPT-3.5", ServiceEndpoints::proxyOpenAI, "chat3.5",
     ReplyFamily::OpenAIStream},
    {ModelIds::claude3Haiku, "Claude-3", ServiceEndpoints::proxyClaude, "claude3",
     ReplyFamily::ClaudeStream},
    {ModelIds::gpt4o, "GPT-4o", ServiceEndpoints::proxyOpenAI, "chat4", ReplyFamily::OpenAIStream},
    {ModelIds::claude35Sonnet, "Claude-3.5", ServiceEndpoints::proxyClaude, "claude3.5",
     ReplyFamily::ClaudeStream},
    {ModelIds::gemini15Pro, "Gemini-Pro", ServiceEndpoints::proxyGemini, "gemini",
     ReplyFamily::PlainDataStream},
    {ModelIds::dallE3, "DALL\u00B7E", ServiceEndpoints::generateImage, "dall",
     ReplyFamily::ImageResult},
};

const Row *findRow(const QString &id)
{
    for (const Row &row : kRows) {
        if (id == row.id)
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
        ids.append(row.id);
    return ids;
}

QHash<QString, QString> ModelCatalogue::modelURLs()
{
    QHash<QString, QString> urls;
    for (const Row &row : kRows)
        urls.insert(row.id, row.url().toString(QUrl::FullyEncoded));
    return urls;
}

QUrl ModelCatalogue::modelURL(const QString &model)
{
    const Row *row = findRow(model);
    return row ? row->url() : QUrl();
}

QHash<QString, QString> ModelCatalogue::modelDisplayNames()
{
    QHash<QString, QString> names;
    for (const Row &row : kRows)
        names.insert(row.id, QString::fromUtf8(row.displayName));
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
    const Row *row = findRow(model);
    return row ? std::optional(row->family) : std::nullopt;
}

PriceTier ModelCatalogue::priceTier(const QString &model)
{
    return ChargeRules::priceTier(model);
}

bool ModelCatalogue::isImageModel(const QString &model)
{
    return replyFamily(model) == ReplyFamily::ImageResult;
}

QString ModelCatalogue::displayName(const QString &selected)
{
    return modelDisplayName(fromView(selected));
}

QString ModelCatalogue::iconName(const QString &selected)
{
    return modelIconName(fromView(selected));
}
