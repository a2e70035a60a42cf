#include "conversation/conversationstore.h"

#include "core/diagnosticlog.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"

#include <QDateTime>
#include <QFileInfo>
#include <QQmlEngine>
#include <QSaveFile>

ConversationStore::ConversationStore(SettingsStore *settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{}

const ConversationMap &ConversationStore::conversations() const
{
    ensureLoaded();
    return m_map;
}

void ConversationStore::ensureLoaded() const
{
    if (!m_loaded)
        decode(m_settings->getData(SettingKeys::conversations));
}

void ConversationStore::decode(std::optional<QByteArray> blob) const
{
    m_loaded = true;
    m_map.clear();
    m_unreadable.reset();
    if (blob) {
        if (auto decoded = ConversationCodec::decode(*blob))
            m_map = std::move(*decoded);
        else
            m_unreadable = std::move(blob);
    } else if (auto other = m_settings->storedBytes(SettingKeys::conversations)) {
        // A value of another type under the key is no history either, and kept all the same.
        m_unreadable = std::move(*other);
    }
}

const ConversationMap &ConversationStore::loadConversations()
{
    m_encoded.clear();
    decode(m_settings->getData(SettingKeys::conversations));
    emit conversationsChanged();
    return m_map;
}

bool ConversationStore::keepUnreadableBlob()
{
    // Whether the stored bytes are readable is known only once they were read.
    ensureLoaded();
    if (!m_unreadable)
        return true;

    const QFileInfo settingsFile(m_settings->path());
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    const QString path = settingsFile.absolutePath() +
                         QStringLiteral("/conversations-unreadable-") + stamp +
                         QStringLiteral(".json");

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(*m_unreadable) != m_unreadable->size() ||
        !file.commit()) {
        // The old bytes stay in the database until they are safe somewhere else.
        DiagnosticLog::line("无法保存无法读取的历史记录:", path, file.errorString());
        return false;
    }
    m_backupPath = path;
    m_unreadable.reset();
    DiagnosticLog::line("无法读取的历史记录已保存到", path);
    return true;
}

void ConversationStore::saveConversations()
{
    if (!keepUnreadableBlob())
        return;
    for (auto it = m_map.cbegin(); it != m_map.cend(); ++it) {
        if (!m_encoded.contains(it.key()))
            m_encoded.insert(it.key(), ConversationCodec::encodeMessages(it.value()));
    }
    m_settings->set(SettingKeys::conversations, ConversationCodec::assemble(m_encoded));
}

void ConversationStore::saveCurrentConversation(const QUuid &id, const MessageList &messages)
{
    if (messages.isEmpty())
        return;
    ensureLoaded();
    m_map.insert(id, messages);
    forget(id);
    saveConversations();
    emit conversationsChanged();
    emit conversationSaved(id);
}

void ConversationStore::clearHistory()
{
    if (!keepUnreadableBlob())
        return;
    m_settings->remove(SettingKeys::conversations);
    m_map.clear();
    m_encoded.clear();
    DiagnosticLog::line("历史记录已清除");
    emit conversationsChanged();
}

void ConversationStore::removeMessages(const QUuid &conversation, const QUuid &first,
                                       const QUuid &second)
{
    ensureLoaded();
    forget(conversation);
    const auto it = m_map.find(conversation);
    if (it != m_map.end()) {
        it->removeIf([&](const Message &m) { return m.id == first || m.id == second; });
        // A conversation is stored only while it has messages.
        if (it->isEmpty())
            m_map.erase(it);
    }
    saveConversations();
    emit conversationsChanged();
}
