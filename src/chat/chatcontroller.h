#pragma once

#include "chat/editorstate.h"
#include "chat/messagelistmodel.h"
#include "conversation/message.h"

#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

#include <optional>

class ChatClient;
class ChatSend;
class ConversationStore;
class OpenConversation;
class OpenConversations;
class QuotaService;
class SettingsStore;

// The logic behind one chat view: which conversation it shows, the text being typed, the
// chosen model, and the user's actions. Each view makes its own; the conversation it shows is
// the one object every view of that conversation shares (OpenConversations), and each question
// goes out as a ChatSend that settles in its own conversation, open here or not.
class ChatController : public QObject {
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QString messageText READ messageText WRITE setMessageText NOTIFY messageTextChanged)
    Q_PROPERTY(MessageListModel *messages READ messages NOTIFY currentConversationIDChanged)
    // An empty string stands for "no model chosen".
    Q_PROPERTY(
        QString selectedModel READ selectedModel WRITE setSelectedModel NOTIFY selectedModelChanged)
    Q_PROPERTY(
        QString selectedModelDisplayName READ selectedModelDisplayName NOTIFY selectedModelChanged)
    Q_PROPERTY(QString selectedModelIconName READ selectedModelIconName NOTIFY selectedModelChanged)
    Q_PROPERTY(bool isImageModel READ isImageModel NOTIFY selectedModelChanged)
    Q_PROPERTY(QString defaultModel READ defaultModel CONSTANT)
    Q_PROPERTY(QString scrollToBottomTrigger READ scrollToBottomTrigger NOTIFY
                   scrollToBottomTriggerChanged)
    Q_PROPERTY(QString currentConversationID READ currentConversationID NOTIFY
                   currentConversationIDChanged)
    Q_PROPERTY(bool showWelcomeView READ showWelcomeView NOTIFY showWelcomeViewChanged)
    // An answer of the open conversation is on its way: the send button stops it.
    Q_PROPERTY(bool isGenerating READ isGenerating NOTIFY isGeneratingChanged)
    // "本次提问将消耗 X 积分（回答另计）" for the text being typed, empty while it is blank.
    Q_PROPERTY(QString questionCost READ questionCost NOTIFY questionCostChanged)
    // What is being typed, apart from the conversation.
    Q_PROPERTY(EditorState *editor READ editor CONSTANT)

    // View state, kept here so both halves of a view agree on it.
    Q_PROPERTY(bool showDropdown READ showDropdown WRITE setShowDropdown NOTIFY showDropdownChanged)
    Q_PROPERTY(bool showHistory READ showHistory WRITE setShowHistory NOTIFY showHistoryChanged)
    Q_PROPERTY(bool showCard READ showCard WRITE setShowCard NOTIFY showCardChanged)
    Q_PROPERTY(qreal textEditorHeight READ textEditorHeight WRITE setTextEditorHeight NOTIFY
                   textEditorHeightChanged)

    // Settings the view reads through the controller.
    Q_PROPERTY(QString userPhone READ userPhone NOTIFY userPhoneChanged)
    Q_PROPERTY(QString avatar READ avatar NOTIFY avatarChanged)
    Q_PROPERTY(QString userid READ userid NOTIFY useridChanged)

    // The texts of the upgrade alert, for the view that shows it.
    Q_PROPERTY(QString upgradeAlertText READ upgradeAlertText CONSTANT)
    Q_PROPERTY(QString upgradeButtonText READ upgradeButtonText CONSTANT)
    Q_PROPERTY(QString cancelButtonText READ cancelButtonText CONSTANT)

public:
    struct Services {
        SettingsStore *settings = nullptr;
        OpenConversations *open = nullptr;
        QuotaService *quota = nullptr;
        ChatClient *chat = nullptr;
    };

    // Uses the process-wide instances.
    explicit ChatController(QObject *parent = nullptr);
    ChatController(const Services &services, QObject *parent = nullptr);
    ~ChatController() override;

    static constexpr int kContextLimit = 1000;

    QString messageText() const { return m_editor.text(); }
    void setMessageText(const QString &text) { m_editor.setText(text); }
    EditorState *editor() { return &m_editor; }
    MessageListModel *messages();
    const MessageList &messageList() const;
    OpenConversation *openConversation() const { return m_open.get(); }

    QString selectedModel() const { return m_selectedModel.value_or(QString()); }
    void setSelectedModel(const QString &model);
    std::optional<QString> selectedModelValue() const { return m_selectedModel; }
    void setSelectedModelValue(const std::optional<QString> &model);
    QString selectedModelDisplayName() const;
    QString selectedModelIconName() const;
    bool isImageModel() const;
    static QString defaultModel();

    QString scrollToBottomTrigger() const;
    QString currentConversationID() const;
    QUuid currentConversationUuid() const { return m_currentConversationID; }
    bool showWelcomeView() const { return m_showWelcomeView; }
    bool isGenerating() const { return m_isGenerating; }
    QString questionCost() const;
    // The context sending `question` now would carry: buildContext of the list with it at the
    // end, without copying the list.
    QString contextFor(const QString &question) const;

    bool showDropdown() const { return m_showDropdown; }
    void setShowDropdown(bool show);
    bool showHistory() const { return m_showHistory; }
    void setShowHistory(bool show);
    bool showCard() const { return m_showCard; }
    void setShowCard(bool show);
    qreal textEditorHeight() const { return m_textEditorHeight; }
    void setTextEditorHeight(qreal height);

    QString userPhone() const;
    QString avatar() const;
    QString userid() const;

    static QString upgradeAlertText();
    static QString upgradeButtonText();
    static QString cancelButtonText();

    Q_INVOKABLE void sendMessage();
    Q_INVOKABLE void submitInput();
    Q_INVOKABLE void selectWelcomeQuestion(const QString &question);
    Q_INVOKABLE void quoteMessage(const QString &messageId);
    void quoteMessage(const Message &message);
    Q_INVOKABLE void retryMessage(const QString &messageId);
    void retryMessage(const QUuid &id);
    // Shows the variant `step` places from the message (-1 before, 1 after), with its own
    // continuation; the choice is stored.
    Q_INVOKABLE void switchVariant(const QString &messageId, int step);
    // Sends `text` as a new version of the question `messageId`, beside it: what followed the
    // old version stays with it.
    Q_INVOKABLE void editQuestion(const QString &messageId, const QString &text);
    void editQuestion(const QUuid &id, const QString &text);
    Q_INVOKABLE void newConversation();
    Q_INVOKABLE void selectConversation(const QString &conversationId);
    void selectConversation(const QUuid &id);
    Q_INVOKABLE void hideWelcomeView();
    Q_INVOKABLE void onAppear();
    // Stops every answer of the open conversation that is on its way; what arrived is kept.
    Q_INVOKABLE void stopGenerating();
    // The user's answer to the upgrade alert: true for "升级会员", false for "取消".
    Q_INVOKABLE void answerUpgradeAlert(bool upgrade);

    void onSelectedModelChange(const std::optional<QString> &value);

    // The request context: the newest `limit` user-perceived characters of the list's tidied
    // texts (the last message, the placeholder, left out), oldest first, one per line.
    static QString buildContext(const MessageList &list, int limit);

    // Sends started here whose answer has not settled yet.
    int pendingSends() const;

signals:
    void messageTextChanged();
    void selectedModelChanged();
    void scrollToBottomTriggerChanged();
    void currentConversationIDChanged();
    void showWelcomeViewChanged();
    void isGeneratingChanged();
    void questionCostChanged();
    void showDropdownChanged();
    void showHistoryChanged();
    void showCardChanged();
    void textEditorHeightChanged();
    void userPhoneChanged();
    void avatarChanged();
    void useridChanged();
    // The view shows the modal alert upgradeAlertText with upgradeButtonText (first, the
    // default) and cancelButtonText, and calls answerUpgradeAlert.
    void upgradeAlertRequested();
    // A send started here ended, however it ended: what it was charged has been deducted.
    void sendSettled();

private:
    void hideWelcomeViewForGood();
    void setShowWelcomeView(bool show);
    void scrollToBottom();
    void show(const QUuid &conversation);
    // Starts the send of `question` whose answer goes to `placeholder`; both are in the list.
    ChatSend *startSend(const Message &question, const QUuid &placeholder);
    Message placeholderFor(const QString &model) const;

    Services m_services;
    EditorState m_editor;
    QSharedPointer<OpenConversation> m_open;
    QList<QPointer<ChatSend>> m_sends;
    std::optional<QString> m_selectedModel;
    QUuid m_scrollToBottomTrigger = QUuid::createUuid();
    QUuid m_currentConversationID = QUuid::createUuid();
    bool m_showWelcomeView = true;
    bool m_showDropdown = false;
    bool m_showHistory = false;
    bool m_showCard = false;
    qreal m_textEditorHeight = 40;
    bool m_isGenerating = false;
};
