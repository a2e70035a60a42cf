#include "conversation/historytransfer.h"

#include "conversation/conversationcodec.h"
#include "conversation/conversationstore.h"
#include "conversation/historymigration.h"
#include "conversation/historyrowtext.h"

#include <QFile>
#include <QSaveFile>

HistoryTransfer::Result HistoryTransfer::exportTo(const ConversationStore &store,
                                                  const QString &path)
{
    Result result;
    const auto all = store.allConversations();
    if (!all) {
        result.error = QStringLiteral("无法读取历史记录");
        return result;
    }
    QHash<QUuid, QByteArray> lists;
    lists.reserve(all->size());
    for (const StoredConversation &c : *all) {
        MessageList messages = c.messages;
        for (Message &m : messages) {
            if (m.kind == MessageKind::Arriving)
                m.content = HistoryRowText::unanswered();
        }
        lists.insert(c.id, ConversationCodec::encodeMessages(messages));
        ++result.conversations;
        result.messages += int(messages.size());
    }
    const QByteArray bytes = ConversationCodec::assemble(lists);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        result.error = path + QStringLiteral(": ") + file.errorString();
        return result;
    }
    result.ok = true;
    return result;
}

HistoryTransfer::Result HistoryTransfer::importFrom(ConversationStore &store, const QString &path)
{
    Result result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = path + QStringLiteral(": ") + file.errorString();
        return result;
    }
    const auto map = ConversationCodec::decode(file.readAll());
    if (!map) {
        result.error = path + QStringLiteral(": 不是有效的历史记录文件");
        return result;
    }
    QList<StoredConversation> conversations;
    conversations.reserve(map->size());
    for (auto it = map->cbegin(); it != map->cend(); ++it) {
        MessageList messages = it.value();
        for (Message &m : messages)
            HistoryMigration::classify(m);
        conversations.append({it.key(), std::move(messages)});
    }
    const auto added = store.addMissing(conversations);
    if (!added) {
        result.error = QStringLiteral("无法写入历史记录");
        return result;
    }
    result.ok = true;
    result.conversations = int(conversations.size());
    result.messages = *added;
    return result;
}
