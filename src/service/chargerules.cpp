#include "service/chargerules.h"

#include "core/graphemes.h"
#include "service/modelids.h"

namespace {

constexpr PriceTier kLowTier{0.0007, 0.0021, 0};
constexpr PriceTier kHighTier{0.007, 0.021, 0};
constexpr PriceTier kPicture{0, 0, 100};

// White space as the charging rule counts it: tabs, line breaks and every Unicode separator.
bool isWhiteSpace(QChar c)
{
    switch (c.unicode()) {
    case u'\t':
    case u'\n':
    case u'\v':
    case u'\f':
    case u'\r':
    case 0x85:
        return true;
    default:
        break;
    }
    if (c.unicode() < 0x80)
        return c.unicode() == u' ';
    switch (c.category()) {
    case QChar::Separator_Space:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

} // namespace

PriceTier ChargeRules::priceTier(QStringView model)
{
    if (model == ModelIds::gpt35Turbo || model == ModelIds::claude3Haiku)
        return kLowTier;
    if (model == ModelIds::dallE3)
        return kPicture;
    return kHighTier;
}

qsizetype ChargeRules::countBillableCharacters(QStringView text)
{
    QString kept;
    kept.reserve(text.size());
    for (const QChar c : text) {
        if (!isWhiteSpace(c))
            kept.append(c);
    }
    return Graphemes::count(kept);
}

double ChargeRules::inputCharge(const QString &model, const QString &userMessage,
                                const QString &context)
{
    const PriceTier tier = priceTier(model);
    if (tier.isFlat())
        return tier.flatCharge;
    return double(countBillableCharacters(userMessage) + countBillableCharacters(context)) *
           tier.inputRate;
}

double ChargeRules::outputCharge(const QString &model, const QString &formattedReply)
{
    const PriceTier tier = priceTier(model);
    if (tier.isFlat())
        return 0;
    return double(countBillableCharacters(formattedReply)) * tier.outputRate;
}
