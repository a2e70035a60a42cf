#pragma once

#include "chat/messagelistmodel.h"
#include "conversation/message.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

#include <optional>

class AnswerStream;
class ChatClient;
class ConversationStore;
class QuotaService;
class SettingsStore;

// The logic behind one chat view: the open conversation, the text being typed, the chosen
// model, and every action that changes them. Each view makes its own; all of them share the
// process's settings, conversation store and services.
//
// Every send remembers the conversation it was made in and its placeholder, and what comes
// back for it (reply text, picture, quota verdict, failure) lands there, even when the user
// has since opened another conversation.
class ChatController : public QObject {
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QString messageText READ messageText WRITE setMessageText NOTIFY messageTextChanged)
    Q_PROPERTY(MessageListModel *messages READ messages CONSTANT)
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
        ConversationStore *conversations = nullptr;
        QuotaService *quota = nullptr;
        ChatClient *chat = nullptr;
    };

    // Uses the process-wide instances.
    explicit ChatController(QObject *parent = nullptr);
    ChatController(const Services &services, QObject *parent = nullptr);
    ~ChatController() override;

    static constexpr int kContextLimit = 1000;

    QString messageText() const { return m_messageText; }
    void setMessageText(const QString &text);
    MessageListModel *messages() { return &m_messages; }
    const MessageList &messageList() const { return m_messages.messages(); }

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

    // The request context: the newest `limit` user-perceived characters of the list's
    // contents (the last message, the placeholder, left out), oldest first, one per line.
    static QString buildContext(const MessageList &list, int limit);

    // What comes back for the send whose placeholder is `placeholder`.
    void clearLoadingFlag(const QUuid &placeholder);
    // Raw text of the answer so far; shown formatted, at most every kRefreshIntervalMs.
    void appendPartialText(const QUuid &placeholder, QStringView text);
    // The final, formatted answer; it replaces whatever the placeholder showed while streaming.
    void appendReplyText(const QUuid &placeholder, const QString &text);
    void placeImageResult(const QUuid &placeholder, const QString &path);
    void showQuotaExhausted(const QUuid &placeholder);
    // The send failed (network, unusable picture, unknown model): its placeholder becomes
    // `notice` and stops loading.
    void showFailureNotice(const QUuid &placeholder, const QString &notice);
    // Stopped before any text came: the placeholder goes, the question stays and is saved.
    void withdrawPlaceholder(const QUuid &placeholder);

    // The open answer is shown again at most this often, thirty times a second: a delta after
    // a quiet spell shows at once, a burst of deltas as one change. Each refresh of a followed
    // answer moves the whole list and so repaints it; at sixty a second a large window drawn
    // in software spent most of a core on it.
    static constexpr int kRefreshIntervalMs = 33;

    // Sends whose reply has not arrived yet.
    int pendingSends() const { return int(m_pending.size()); }

signals:
    void messageTextChanged();
    void selectedModelChanged();
    void scrollToBottomTriggerChanged();
    void currentConversationIDChanged();
    void showWelcomeViewChanged();
    void isGeneratingChanged();
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

private:
    struct PendingSend {
        QUuid conversation;
        Message question;
        bool discarded = false;        // its placeholder was removed on purpose
        QPointer<AnswerStream> stream; // while a chat answer streams in
        QString partial;               // the answer's raw text so far
    };

    void startSend(const QString &text, const QString &context, const QString &model,
                   const QUuid &placeholder);
    void hideWelcomeViewForGood();
    void setShowWelcomeView(bool show);
    void scrollToBottom();
    void setCurrentConversation(const QUuid &id);
    void saveOpenConversation();
    void takeInStoredCopy(const QUuid &conversation);
    void showPendingAnswers(MessageList &list) const;
    // Lets `fill` turn the send's placeholder into its outcome, wherever that send now lives.
    // False when the send is unknown or was dropped.
    bool settle(const QUuid &placeholder, const std::function<void(Message &placeholder)> &fill);
    void refreshPartialAnswers();
    std::optional<PendingSend> takePending(const QUuid &placeholder);
    void updateGenerating();

    Services m_services;
    MessageListModel m_messages;
    QString m_messageText;
    std::optional<QString> m_selectedModel;
    QUuid m_scrollToBottomTrigger = QUuid::createUuid();
    QUuid m_currentConversationID = QUuid::createUuid();
    bool m_showWelcomeView = true;
    bool m_showDropdown = false;
    bool m_showHistory = false;
    bool m_showCard = false;
    qreal m_textEditorHeight = 40;
    QHash<QUuid, PendingSend> m_pending; // by placeholder id
    bool m_saving = false;               // our own save, not another view's
    bool m_isGenerating = false;
    QSet<QUuid> m_grown; // placeholders whose partial text is not shown yet
    QTimer m_refresh;
    QElapsedTimer m_lastRefresh;
};
