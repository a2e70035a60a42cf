#include "chat/chatcontroller.h"

#include "chat/answercost.h"
#include "chat/answerdisplay.h"
#include "chat/chatsend.h"
#include "chat/openconversation.h"
#include "chat/openconversations.h"
#include "conversation/conversationcodec.h"
#include "conversation/conversationcontext.h"
#include "core/diagnosticlog.h"
#include "core/graphemes.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"
#include "service/chatclient.h"
#include "service/modelcatalogue.h"
#include "service/quotaservice.h"

#include <algorithm>

ChatController::ChatController(QObject *parent)
    : ChatController(Services{SettingsStore::instance(), OpenConversations::instance(),
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
    connect(&m_editor, &EditorState::textChanged, this, &ChatController::messageTextChanged);
    for (const auto changed :
         {&ChatController::messageTextChanged, &ChatController::selectedModelChanged,
          &ChatController::currentConversationIDChanged, &ChatController::isGeneratingChanged})
        connect(this, changed, this, &ChatController::questionCostChanged);
    show(m_currentConversationID);
}

ChatController::~ChatController() = default;

// ---- properties -------------------------------------------------------------------------------

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

MessageListModel *ChatController::messages()
{
    return m_open->model();
}

const MessageList &ChatController::messageList() const
{
    return m_open->messages();
}

int ChatController::pendingSends() const
{
    return int(std::count_if(m_sends.cbegin(), m_sends.cend(), [](const QPointer<ChatSend> &send) {
        return send && !send->isSettled();
    }));
}

// Shows the conversation `id`: the object every view of it shares, read from the history if
// no view or send holds it.
void ChatController::show(const QUuid &id)
{
    QSharedPointer<OpenConversation> next =
        m_services.open ? m_services.open->open(id)
                        : QSharedPointer<OpenConversation>(new OpenConversation(id, nullptr),
                                                           &QObject::deleteLater);
    // The list is handed the new model before the old one may go.
    const QSharedPointer<OpenConversation> previous = std::exchange(m_open, next);
    if (previous)
        previous->disconnect(this);
    m_currentConversationID = id;
    connect(m_open.get(), &OpenConversation::isGeneratingChanged, this, [this] {
        const bool generating = m_open->isGenerating();
        if (generating == m_isGenerating)
            return;
        m_isGenerating = generating;
        emit isGeneratingChanged();
    });
    connect(m_open.get(), &OpenConversation::scrollToEndRequested, this,
            &ChatController::scrollToBottom);
    // The context of the next question changes with the list; an answer still growing is not
    // part of it until it settles, and is not worked into a charge at every delta.
    const auto contextChanged = [this] {
        if (!m_isGenerating)
            emit questionCostChanged();
    };
    connect(m_open->model(), &MessageListModel::countChanged, this, contextChanged);
    connect(m_open->model(), &QAbstractItemModel::dataChanged, this, contextChanged);
    emit currentConversationIDChanged();
    if (m_open->isGenerating() != m_isGenerating) {
        m_isGenerating = m_open->isGenerating();
        emit isGeneratingChanged();
    }
}

QString ChatController::questionCost() const
{
    const QString text = messageText().trimmed();
    if (!m_selectedModel || text.isEmpty())
        return {};
    const double charge = AnswerCost::questionCharge(*m_selectedModel, text, contextFor(text));
    return QStringLiteral("本次提问将消耗 %1 积分（回答另计）").arg(AnswerCost::amountText(charge));
}

QString ChatController::contextFor(const QString &question) const
{
    const qsizetype n = Graphemes::count(question);
    if (n >= kContextLimit)
        return Graphemes::last(question, kContextLimit).trimmed();
    const MessageList &list = m_open->messages();
    const QString older = ConversationContext::newestText(
        std::span(list.constData(), list.size()), kContextLimit - n, &AnswerDisplay::tidied);
    return (older + u'\n' + question).trimmed();
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
    if (!m_selectedModel || messageText().isEmpty()) {
        DiagnosticLog::line(QStringLiteral("发送消息失败：未选择模型或消息为空"));
        return;
    }
    const QString text = messageText().trimmed();
    if (text.isEmpty()) {
        DiagnosticLog::line(QStringLiteral("消息仅包含空格或为空，无法发送"));
        return;
    }

    Message question(text, true);
    question.model = *m_selectedModel;
    const Message placeholder = placeholderFor(question.model);
    // Kept from the moment it is sent: a quit (or a power cut) while the answer is on its way
    // must not take the question with it.
    m_open->append({question, placeholder});
    scrollToBottom();
    setMessageText(QString());
    startSend(question, placeholder.id)->start();
}

Message ChatController::placeholderFor(const QString &model) const
{
    Message placeholder(QString(), false);
    placeholder.kind = MessageKind::Arriving;
    placeholder.isLoading = true;
    placeholder.model = model;
    return placeholder;
}

ChatSend *ChatController::startSend(const Message &question, const QUuid &placeholder)
{
    const QString context = buildContext(m_open->messages(), kContextLimit);
    // A send goes with the view that made it: its request is given up when the view closes.
    auto *send = new ChatSend(m_open, question, placeholder, context,
                              ChatSend::Services{m_services.quota, m_services.chat}, this);
    m_sends.removeAll(nullptr);
    m_sends.append(send);
    connect(send, &ChatSend::quotaExhausted, this, &ChatController::upgradeAlertRequested);
    connect(send, &ChatSend::settled, this, &ChatController::sendSettled);
    m_open->addSend(send);
    return send;
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
    if (const auto row = m_open->model()->indexOf(*id))
        quoteMessage(m_open->model()->at(*row));
}

void ChatController::quoteMessage(const Message &message)
{
    m_editor.quote(AnswerDisplay::tidied(message));
}

void ChatController::retryMessage(const QString &messageId)
{
    if (const auto id = Message::parseId(messageId))
        retryMessage(*id);
}

void ChatController::retryMessage(const QUuid &id)
{
    const std::optional<int> row = m_open->model()->indexOf(id);
    if (!row || *row == 0 || !m_selectedModel)
        return;
    const MessageList &list = m_open->messages();
    if (list.at(*row).isUserMessage || !list.at(*row - 1).isUserMessage)
        return;
    // The answer stays, as a variant; the new one takes its place in view, and what followed
    // the old one stays with it.
    Message question = list.at(*row - 1);
    const Message placeholder = placeholderFor(*m_selectedModel);
    m_open->branch({placeholder}, question.id);
    scrollToBottom();
    question.model = *m_selectedModel;
    ChatSend *send = startSend(question, placeholder.id);
    send->askAgain();
    send->start();
}

void ChatController::switchVariant(const QString &messageId, int step)
{
    if (const auto id = Message::parseId(messageId))
        m_open->switchVariant(*id, step);
}

void ChatController::editQuestion(const QString &messageId, const QString &text)
{
    if (const auto id = Message::parseId(messageId))
        editQuestion(*id, text);
}

void ChatController::editQuestion(const QUuid &id, const QString &text)
{
    const std::optional<int> row = m_open->model()->indexOf(id);
    if (!row || !m_open->messages().at(*row).isUserMessage)
        return;
    const QString trimmed = text.trimmed();
    if (!m_selectedModel || trimmed.isEmpty()) {
        DiagnosticLog::line(QStringLiteral("消息仅包含空格或为空，无法发送"));
        return;
    }
    Message question(trimmed, true);
    question.model = *m_selectedModel;
    const Message placeholder = placeholderFor(question.model);
    m_open->branch({question, placeholder}, m_open->messages().at(*row).parentId);
    scrollToBottom();
    startSend(question, placeholder.id)->start();
}

void ChatController::newConversation()
{
    // Every change was stored as it was made: there is nothing left to save.
    show(QUuid::createUuid());
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
    show(id);
    DiagnosticLog::line(QStringLiteral("currentConversationID"), Message::idText(id));
    DiagnosticLog::line(QStringLiteral("messages"),
                        QString::fromUtf8(ConversationCodec::encodeMessages(m_open->messages())));
}

void ChatController::hideWelcomeView()
{
    hideWelcomeViewForGood();
}

void ChatController::stopGenerating()
{
    if (!m_open->isGenerating())
        return;
    DiagnosticLog::line(QStringLiteral("用户停止生成"));
    for (ChatSend *send : m_open->sends())
        send->stop();
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
    // messages are read, so the list is viewed, not copied, and only those are tidied.
    if (list.size() < 2)
        return {};
    return ConversationContext::newestText(std::span(list.constData(), list.size() - 1), limit,
                                           &AnswerDisplay::tidied);
}
