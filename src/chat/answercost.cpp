#include "chat/answercost.h"

#include "service/chargerules.h"
#include "service/modelcatalogue.h"

namespace {

QString rateText(double rate)
{
    return QString::number(rate, 'g', 6);
}

QString part(const QString &name, qint64 characters, double rate)
{
    return QStringLiteral("%1 %2 字 × %3").arg(name).arg(characters).arg(rateText(rate));
}

} // namespace

std::optional<AnswerCost> AnswerCost::of(const Message *question, const Message &answer)
{
    if (answer.isUserMessage || answer.isLoading)
        return std::nullopt;
    // A regenerated answer keeps its own charge for asking again; the first answer shares its
    // question's.
    const bool ownAsk = answer.askedAmount.has_value();
    const std::optional<double> asked = ownAsk     ? answer.askedAmount
                                        : question ? question->chargedAmount
                                                   : std::nullopt;
    const std::optional<qint64> askedCharacters = ownAsk     ? answer.askedCharacters
                                                  : question ? question->chargedCharacters
                                                             : std::nullopt;
    const std::optional<double> answered = answer.chargedAmount;
    if (!asked && !answered)
        return std::nullopt;

    AnswerCost cost;
    cost.total = asked.value_or(0) + answered.value_or(0);
    cost.label = QStringLiteral("消耗 %1 积分").arg(amountText(cost.total));
    const QString model = !answer.model.isEmpty() ? answer.model
                          : question              ? question->model
                                                  : QString();
    const PriceTier tier = ModelCatalogue::priceTier(model);
    // A flat price has no characters to count: the picture says what it cost.
    if (tier.isFlat() || (asked && !askedCharacters)) {
        cost.parts = QStringLiteral("图片每张 %1 积分").arg(rateText(cost.total));
        return cost;
    }
    QStringList parts;
    if (asked)
        parts.append(part(QStringLiteral("提问"), *askedCharacters, tier.inputRate));
    if (answered && answer.chargedCharacters)
        parts.append(part(QStringLiteral("回答"), *answer.chargedCharacters, tier.outputRate));
    cost.parts = parts.join(QStringLiteral(" + "));
    return cost;
}

double AnswerCost::questionCharge(const QString &model, const QString &question,
                                  const QString &context)
{
    return ChargeRules::inputCharge(model, question, context);
}

QString AnswerCost::amountText(double amount)
{
    if (amount > 0 && amount < 0.005)
        return QStringLiteral("<0.01");
    return QString::asprintf("%.2f", amount);
}
