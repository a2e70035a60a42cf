#include "conversationcodec.h"

#include <QJsonArray>
#include <QJsonDocument>

QByteArray ConversationCodec::encode(const ConversationMap &map)
{
    QJsonArray array;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        QJsonArray messages;
        for (const Message &m : it.value())
            messages.append(m.toJson());
        array.append(Message::idText(it.key()));
        array.append(messages);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<ConversationMap> ConversationCodec::decode(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return std::nullopt;
    const QJsonArray array = doc.array();
    if (array.size() % 2 != 0)
        return std::nullopt;

    ConversationMap map;
    map.reserve(array.size() / 2);
    for (qsizetype i = 0; i < array.size(); i += 2) {
        const QJsonValue idValue = array.at(i);
        const QJsonValue listValue = array.at(i + 1);
        if (!idValue.isString() || !listValue.isArray())
            return std::nullopt;
        const auto id = Message::parseId(idValue.toString());
        if (!id)
            return std::nullopt;

        const QJsonArray list = listValue.toArray();
        MessageList messages;
        messages.reserve(list.size());
        for (const QJsonValue &v : list) {
            if (!v.isObject())
                return std::nullopt;
            auto m = Message::fromJson(v.toObject());
            if (!m)
                return std::nullopt;
            messages.append(std::move(*m));
        }
        map.insert(*id, std::move(messages));
    }
    return map;
}
