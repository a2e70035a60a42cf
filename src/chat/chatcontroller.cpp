#include "chat/chatcontroller.h"

#include "chat/replyformatter.h"
#include "conversation/conversationcodec.h"
#include "conversation/conversationcontext.h"
#include "conversation/conversationstore.h"
#include "core/diagnosticlog.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"
#include "service/answerstream.h"
#include "service/chatclient.h"
#include "service/modelcatalogue.h"
#include "service/quotaservice.h"

#include <QScopedValueRollback>
#include <QSet>

#include <algorithm>

namespace {

// A stored conversation, seen through the same steps as the open one's list model.
struct StoredList {
    MessageList messages;

    std::optional<int> indexOf(const QUuid &id) const
    {
        const auto it = std::find_if(messages.cbegin(), messages.cend(),
                                     [&](const Message &m) { return m.id == id; });
        return it == messages.cend() ? std::nullopt : std::optional(int(it - messages.cbegin()));
    }
    void update(int row, const std::function<void(Message &)> &change) { change(messages[row]); }
    void append(const Message &message) { messages.append(message); }
};

// Puts a send's outcome in place of its placeholder. A list that never received the send (the
// user left the conversation before it was saved) gets the send's question, unless there,
// and the answer after it.
template <typename List>
void writeOutcome(List &list, const QUuid &placeholder, const Message &question,
                  const std::function<void(Message &)> &fill)
{
    if (const auto row = list.indexOf(placeholder)) {
        list.update(*row, fill);
        return;
    }
    if (!list.indexOf(question.id))
        list.append(question);
    Message answer(QString(), false);
    answer.id = placeholder;
    fill(answer);
    list.append(answer);
}

QString dump(const MessageList &messages)
{
    return QString::fromUtf8(ConversationCodec::encodeMessages(messages));
}

} // namespace

ChatController::ChatController(QObject *parent)
    : ChatController(Services{SettingsStore::instance(), ConversationStore::instance(),
                              QuotaService::instance(), ChatClient::instance()},
                     parent)
{}

ChatController::ChatController(const Services &services, QObject *parent)
    : QObject(parent), m_services(services)
{
    if (SettingsStore *settings = m_services.settings) {
        m_selectedModel = settings->getString(SettingKeys::selectedModel).value_or(defaultModel());
        m_showWelcomeView = !settings->getBool(SettingKeys::hasSeenWelcome, false);
        settings->observe(SettingKeys::phone, this, [this] { emit userPhoneChanged(); });
        settings->observe(SettingKeys::avatar, this, [this] { emit avatarChanged(); });
        settings->observe(SettingKeys::userid, this, [this] { emit useridChanged(); });
    } else {
        m_selectedModel = defaultModel();
    }
    if (ConversationStore *conversations = m_services.conversations)
        connect(conversations, &ConversationStore::conversationSaved, this,
                &ChatController::takeInStoredCopy);
    m_refresh.setSingleShot(true);
    m_refresh.setTimerType(Qt::PreciseTimer);
    connect(&m_refresh, &QTimer::timeout, this, &ChatController::refreshPartialAnswers);
}

ChatController::~ChatController() = default;

// ---- properties -------------------------------------------------------------------------------

void ChatController::setMessageText(const QString &text)
{
    if (text == m_messageText)
        return;
    m_messageText = text;
    emit messageTextChanged();
}

void ChatController::setSelectedModel(const QString &model)
{
    setSelectedModelValue(model.isEmpty() ? std::nullopt : std::optional<QString>(model));
}

void ChatController::setSelectedModelValue(const std::optional<QString> &model)
{
    if (model == m_selectedModel)
        return;
    m_selectedModel = model;
    emit selectedModelChanged();
    onSelectedModelChange(model);
}

QString ChatController::selectedModelDisplayName() const
{
    return ModelCatalogue::modelDisplayName(m_selectedModel);
}

QString ChatController::selectedModelIconName() const
{
    return ModelCatalogue::modelIconName(m_selectedModel);
}

bool ChatController::isImageModel() const
{
    return m_selectedModel && ModelCatalogue::isImageModel(*m_selectedModel);
}

QString ChatController::defaultModel()
{
    return ModelCatalogue::defaultModel();
}

QString ChatController::scrollToBottomTrigger() const
{
    return Message::idText(m_scrollToBottomTrigger);
}

QString ChatController::currentConversationID() const
{
    return Message::idText(m_currentConversationID);
}

void ChatController::setShowDropdown(bool show)
{
    if (show == m_showDropdown)
        return;
    m_showDropdown = show;
    emit showDropdownChanged();
}

void ChatController::setShowHistory(bool show)
{
    if (show == m_showHistory)
        return;
    m_showHistory = show;
    emit showHistoryChanged();
}

void ChatController::setShowCard(bool show)
{
    if (show == m_showCard)
        return;
    m_showCard = show;
    emit showCardChanged();
}

void ChatController::setTextEditorHeight(qreal height)
{
    if (qFuzzyCompare(height, m_textEditorHeight))
        return;
    m_textEditorHeight = height;
    emit textEditorHeightChanged();
}

QString ChatController::userPhone() const
{
    return m_services.settings
               ? m_services.settings->getString(SettingKeys::phone).value_or(QString())
               : QString();
}

QString ChatController::avatar() const
{
    return m_services.settings
               ? m_services.settings->getString(SettingKeys::avatar).value_or(QString())
               : QString();
}

QString ChatController::userid() const
{
    return m_services.settings
               ? m_services.settings->getString(SettingKeys::userid).value_or(QString())
               : QString();
}

QString ChatController::upgradeAlertText()
{
    return QuotaService::upgradeAlertText();
}

QString ChatController::upgradeButtonText()
{
    return QuotaService::upgradeButtonText();
}

QString ChatController::cancelButtonText()
{
    return QuotaService::cancelButtonText();
}

void ChatController::setShowWelcomeView(bool show)
{
    if (show == m_showWelcomeView)
        return;
    m_showWelcomeView = show;
    emit showWelcomeViewChanged();
}

void ChatController::hideWelcomeViewForGood()
{
    setShowWelcomeView(false);
    if (m_services.settings)
        m_services.settings->set(SettingKeys::hasSeenWelcome, true);
}

void ChatController::scrollToBottom()
{
    m_scrollToBottomTrigger = QUuid::createUuid();
    emit scrollToBottomTriggerChanged();
}

void ChatController::setCurrentConversation(const QUuid &id)
{
    if (id == m_currentConversationID)
        return;
    m_currentConversationID = id;
    emit currentConversationIDChanged();
    updateGenerating();
}

void ChatController::updateGenerating()
{
    const bool generating =
        std::any_of(m_pending.cbegin(), m_pending.cend(), [this](const PendingSend &send) {
            return !send.discarded && send.conversation == m_currentConversationID;
        });
    if (generating == m_isGenerating)
        return;
    m_isGenerating = generating;
    emit isGeneratingChanged();
}

void ChatController::saveOpenConversation()
{
    if (!m_services.conversations)
        return;
    // An answer still on its way is stored as what the user would find if the program ended
    // now: the network notice, not a placeholder that loads for ever. Its own end stores it.
    MessageList stored = m_messages.messages();
    for (Message &m : stored) {
        if (const auto send = m_pending.constFind(m.id);
            send != m_pending.cend() && !send->discarded) {
            m.content = ChatClient::networkFailureNotice();
            m.isLoading = false;
        }
    }
    const QScopedValueRollback saving(m_saving, true);
    m_services.conversations->saveCurrentConversation(m_currentConversationID, stored);
}

// Another view (the main window and the popover each have one) saved the conversation this one
// shows. Its stored copy is what this view goes on from, or this view's next save would write
// its older list over the other's answers. Messages only this view has (a question whose
// answer is on its way, and its placeholder) are kept after the stored ones.
void ChatController::takeInStoredCopy(const QUuid &conversation)
{
    if (m_saving || conversation != m_currentConversationID)
        return;
    MessageList merged = m_services.conversations->conversations().value(conversation);
    showPendingAnswers(merged);
    QSet<QUuid> stored;
    for (const Message &m : std::as_const(merged))
        stored.insert(m.id);
    for (const Message &m : m_messages.messages()) {
        if (!stored.contains(m.id))
            merged.append(m);
    }
    m_messages.setMessages(merged);
}

// A stored answer that is still on its way here was stored as the notice a quit would leave;
// this view shows it loading, or with the text that has arrived.
void ChatController::showPendingAnswers(MessageList &list) const
{
    for (Message &m : list) {
        const auto send = m_pending.constFind(m.id);
        if (send == m_pending.cend() || send->discarded)
            continue;
        m.isLoading = send->partial.isEmpty();
        m.content = ReplyFormatter::formatPartialReplyText(send->partial);
    }
}

// ---- user actions -----------------------------------------------------------------------------

void ChatController::onAppear()
{
    if (m_services.settings)
        setShowWelcomeView(!m_services.settings->getBool(SettingKeys::hasSeenWelcome, false));
}

void ChatController::onSelectedModelChange(const std::optional<QString> &value)
{
    if (value && m_services.settings)
        m_services.settings->set(SettingKeys::selectedModel, *value);
}

void ChatController::sendMessage()
{
    if (!m_selectedModel || m_messageText.isEmpty()) {
        DiagnosticLog::line(QStringLiteral("发送消息失败：未选择模型或消息为空"));
        return;
    }
    const QString text = m_messageText.trimmed();
    if (text.isEmpty()) {
        DiagnosticLog::line(QStringLiteral("消息仅包含空格或为空，无法发送"));
        return;
    }

    const Message question(text, true);
    Message placeholder(QString(), false);
    placeholder.isLoading = true;
    m_messages.append(question);
    m_messages.append(placeholder);
    scrollToBottom();
    setMessageText(QString());

    const QString context = buildContext(m_messages.messages(), kContextLimit);
    const QString model = *m_selectedModel;
    m_pending.insert(placeholder.id, PendingSend{m_currentConversationID, question, false, {}, {}});
    updateGenerating();
    // Kept from the moment it is sent: a quit (or a power cut) while the answer is on its way
    // must not take the question with it.
    saveOpenConversation();
    startSend(text, context, model, placeholder.id);
}

void ChatController::startSend(const QString &text, const QString &context, const QString &model,
                               const QUuid &placeholder)
{
    if (!m_services.quota || !m_services.chat) {
        showFailureNotice(placeholder, ChatClient::networkFailureNotice());
        return;
    }
    m_services.quota->checkQuota(
        this, [this, text, context, model, placeholder](QuotaVerdict verdict) {
            // Stopped while the quota was being asked: nothing is sent or charged.
            if (!m_pending.contains(placeholder))
                return;
            if (verdict == QuotaVerdict::Unanswered) {
                showFailureNotice(placeholder, ChatClient::networkFailureNotice());
                return;
            }
            ReplyTarget target;
            target.clearLoadingFlag = [this, placeholder] {
                clearLoadingFlag(placeholder);
            };
            target.appendPartialText = [this, placeholder](QStringView partial) {
                appendPartialText(placeholder, partial);
            };
            target.formatReplyText = &ReplyFormatter::formatReplyText;
            target.appendReplyText = [this, placeholder](const QString &reply) {
                appendReplyText(placeholder, reply);
            };
            target.withdraw = [this, placeholder] {
                withdrawPlaceholder(placeholder);
            };
            target.placeImageResult = [this, placeholder](const QString &path) {
                placeImageResult(placeholder, path);
            };
            target.showQuotaExhausted = [this, placeholder] {
                showQuotaExhausted(placeholder);
            };
            target.showFailure = [this, placeholder](const QString &notice) {
                showFailureNotice(placeholder, notice);
            };
            AnswerStream *stream = m_services.chat->sendRequest(
                verdict == QuotaVerdict::Granted, text, context, model, this, std::move(target));
            if (const auto pending = m_pending.find(placeholder); pending != m_pending.end())
                pending->stream = stream;
        });
}

void ChatController::submitInput()
{
    sendMessage();
    hideWelcomeViewForGood();
}

void ChatController::selectWelcomeQuestion(const QString &question)
{
    setMessageText(question);
    sendMessage();
    hideWelcomeViewForGood();
}

void ChatController::quoteMessage(const QString &messageId)
{
    const auto id = Message::parseId(messageId);
    if (!id)
        return;
    if (const auto row = m_messages.indexOf(*id))
        quoteMessage(m_messages.at(*row));
}

void ChatController::quoteMessage(const Message &message)
{
    setMessageText(QStringLiteral("> ") + message.content + u'\n');
}

void ChatController::retryMessage(const QString &messageId)
{
    if (const auto id = Message::parseId(messageId))
        retryMessage(*id);
}

void ChatController::retryMessage(const QUuid &id)
{
    const MessageList &list = m_messages.messages();
    if (list.isEmpty())
        return;
    const auto lastQuestion = std::find_if(list.crbegin(), list.crend(),
                                           [](const Message &m) { return m.isUserMessage; });
    if (lastQuestion == list.crend())
        return;
    const qsizetype l = list.crend() - lastQuestion - 1;
    const auto target =
        std::find_if(list.cbegin(), list.cend(), [&](const Message &m) { return m.id == id; });
    if (target == list.cend())
        return;
    const qsizetype t = target - list.cbegin();
    if (t <= l)
        return;

    const Message question = list.at(l);
    // A reply still on its way for the removed answer must not come back into the list.
    if (const auto pending = m_pending.find(id); pending != m_pending.end())
        pending->discarded = true;
    m_messages.removeAt(int(t));
    m_messages.removeAt(int(l));
    updateGenerating();
    if (m_services.conversations)
        m_services.conversations->removeMessages(m_currentConversationID, id, question.id);

    setMessageText(question.content);
    sendMessage();
}

void ChatController::newConversation()
{
    saveOpenConversation();
    setCurrentConversation(QUuid::createUuid());
    m_messages.clear();
    setShowWelcomeView(true);
    if (m_services.settings)
        m_services.settings->set(SettingKeys::hasSeenWelcome, false);
}

void ChatController::selectConversation(const QString &conversationId)
{
    if (const auto id = Message::parseId(conversationId))
        selectConversation(*id);
}

void ChatController::selectConversation(const QUuid &id)
{
    setCurrentConversation(id);
    const MessageList stored = m_services.conversations
                                   ? m_services.conversations->conversations().value(id)
                                   : MessageList();
    MessageList shown = stored;
    showPendingAnswers(shown);
    m_messages.setMessages(shown);
    DiagnosticLog::line(QStringLiteral("currentConversationID"), Message::idText(id));
    DiagnosticLog::line(QStringLiteral("messages"), dump(stored));
}

void ChatController::hideWelcomeView()
{
    hideWelcomeViewForGood();
}

void ChatController::stopGenerating()
{
    if (!m_isGenerating)
        return;
    DiagnosticLog::line(QStringLiteral("用户停止生成"));
    QList<QUuid> open;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        if (!it->discarded && it->conversation == m_currentConversationID)
            open.append(it.key());
    }
    for (const QUuid &placeholder : std::as_const(open)) {
        const auto pending = m_pending.constFind(placeholder);
        if (pending == m_pending.cend())
            continue;
        // A streaming answer settles itself, with what arrived. Anything else (the quota
        // still being asked, a picture on its way) has no text to keep: its outcome is dropped
        // when it comes.
        if (AnswerStream *stream = pending->stream)
            stream->stop();
        else
            withdrawPlaceholder(placeholder);
    }
    updateGenerating();
}

void ChatController::answerUpgradeAlert(bool upgrade)
{
    if (m_services.quota)
        m_services.quota->answerUpgradeAlert(upgrade);
    else if (!upgrade)
        DiagnosticLog::line(QStringLiteral("用户选择取消"));
}

// ---- context ----------------------------------------------------------------------------------

QString ChatController::buildContext(const MessageList &list, int limit)
{
    // The last message is the placeholder of the send the context is for. Only the newest
    // messages are read, so the list is viewed, not copied.
    if (list.size() < 2)
        return {};
    return ConversationContext::newestText(std::span(list.constData(), list.size() - 1), limit);
}

// ---- what comes back for a send ---------------------------------------------------------------

void ChatController::clearLoadingFlag(const QUuid &placeholder)
{
    const auto pending = m_pending.constFind(placeholder);
    if (pending == m_pending.cend() || pending->discarded ||
        pending->conversation != m_currentConversationID)
        return;
    if (const auto row = m_messages.indexOf(placeholder)) {
        if (m_messages.at(*row).isLoading)
            m_messages.update(*row, [](Message &m) { m.isLoading = false; });
    }
}

void ChatController::appendPartialText(const QUuid &placeholder, QStringView text)
{
    const auto pending = m_pending.find(placeholder);
    if (pending == m_pending.end())
        return;
    pending->partial += text;
    // An answer for a conversation that is not open is only kept here until it ends.
    if (pending->discarded || pending->conversation != m_currentConversationID)
        return;
    m_grown.insert(placeholder);
    if (m_refresh.isActive())
        return;
    const qint64 since = m_lastRefresh.isValid() ? m_lastRefresh.elapsed() : kRefreshIntervalMs;
    m_refresh.start(int(std::max<qint64>(0, kRefreshIntervalMs - since)));
}

void ChatController::refreshPartialAnswers()
{
    m_lastRefresh.start();
    const QSet<QUuid> grown = std::exchange(m_grown, {});
    for (const QUuid &placeholder : grown) {
        const auto pending = m_pending.constFind(placeholder);
        if (pending == m_pending.cend() || pending->conversation != m_currentConversationID)
            continue;
        if (const auto row = m_messages.indexOf(placeholder)) {
            // A block still open shows as code already, so it gets its label already; both
            // come from one scan of the text so far.
            QStringList languages;
            m_messages.setContent(
                *row, ReplyFormatter::formatPartialReplyText(pending->partial, &languages));
            m_messages.setCodeLanguages(placeholder, languages);
        }
    }
}

void ChatController::appendReplyText(const QUuid &placeholder, const QString &text)
{
    // The placeholder showed the text so far; the final text is the whole answer. Its code
    // blocks' language words exist only in the raw text, which goes with the send.
    if (const auto pending = m_pending.constFind(placeholder); pending != m_pending.cend())
        m_messages.setCodeLanguages(placeholder,
                                    ReplyFormatter::codeBlockLanguages(pending->partial));
    settle(placeholder, [&text](Message &m) {
        m.content = text;
        m.isLoading = false;
    });
}

// The send is over, however it ended: it no longer waits, grows or counts as generating.
std::optional<ChatController::PendingSend> ChatController::takePending(const QUuid &placeholder)
{
    const auto found = m_pending.find(placeholder);
    if (found == m_pending.end())
        return std::nullopt;
    PendingSend send = *found;
    m_pending.erase(found);
    m_grown.remove(placeholder);
    updateGenerating();
    return send;
}

void ChatController::withdrawPlaceholder(const QUuid &placeholder)
{
    const auto found = takePending(placeholder);
    if (!found)
        return;
    const PendingSend &send = *found;
    if (send.discarded || send.conversation != m_currentConversationID)
        return;
    if (const auto row = m_messages.indexOf(placeholder))
        m_messages.removeAt(*row);
    saveOpenConversation();
}

void ChatController::placeImageResult(const QUuid &placeholder, const QString &path)
{
    settle(placeholder, [&path](Message &m) {
        Message picture(QString(), false);
        picture.cachedImagePath = path;
        m = picture;
    });
}

void ChatController::showQuotaExhausted(const QUuid &placeholder)
{
    const bool shown = settle(placeholder, [](Message &m) {
        m = Message(QStringLiteral("请升级会员后再次访问"), false);
    });
    if (shown)
        emit upgradeAlertRequested();
}

void ChatController::showFailureNotice(const QUuid &placeholder, const QString &notice)
{
    settle(placeholder, [&notice](Message &m) {
        m.content = notice;
        m.isLoading = false;
    });
}

bool ChatController::settle(const QUuid &placeholder, const std::function<void(Message &)> &fill)
{
    const auto found = takePending(placeholder);
    if (!found)
        return false;
    const PendingSend &send = *found;
    if (send.discarded) {
        DiagnosticLog::line(QStringLiteral("回复已丢弃：对应的回答已重新生成"));
        return false;
    }

    if (send.conversation == m_currentConversationID) {
        writeOutcome(m_messages, placeholder, send.question, fill);
        // The send was stored with the network notice in its place; it now keeps its outcome,
        // a notice included.
        saveOpenConversation();
        // An answer that was shown while it grew has been followed by the list already, or
        // the reader scrolled away from it on purpose: its end does not move them.
        if (send.partial.isEmpty())
            scrollToBottom();
        return true;
    }

    // The user has opened another conversation since: the answer goes to the stored copy.
    if (!m_services.conversations)
        return false;
    StoredList stored{m_services.conversations->conversations().value(send.conversation)};
    writeOutcome(stored, placeholder, send.question, fill);
    m_services.conversations->saveCurrentConversation(send.conversation, stored.messages);
    return true;
}
