#include "requestbody.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

std::optional<RequestBody> RequestBody::parse(const QByteArray &body, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("请求体不是有效的 JSON：") + parseError.errorString();
        return std::nullopt;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("请求体必须是 JSON 对象");
        return std::nullopt;
    }
    return RequestBody(doc.object());
}

std::optional<QString> RequestBody::string(const char *name, QString *error) const
{
    const QJsonValue value = m_object.value(QLatin1String(name));
    if (value.isString())
        return value.toString();
    *error = (value.isUndefined() ? QStringLiteral("缺少字段 \"%1\"")
                                  : QStringLiteral("字段 \"%1\" 必须是字符串"))
                 .arg(QLatin1String(name));
    return std::nullopt;
}

std::optional<double> RequestBody::number(const char *name, QString *error) const
{
    const QJsonValue value = m_object.value(QLatin1String(name));
    if (value.isDouble() && std::isfinite(value.toDouble()))
        return value.toDouble();
    *error = (value.isUndefined() ? QStringLiteral("缺少字段 \"%1\"")
                                  : QStringLiteral("字段 \"%1\" 必须是有限的数字"))
                 .arg(QLatin1String(name));
    return std::nullopt;
}
