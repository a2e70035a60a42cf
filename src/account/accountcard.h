#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

struct HttpResult;
class QJsonObject;
class SettingsStore;

// The state behind the account card: what the service says about the signed-in account, as
// display texts, and the card's links and sign-out. Nothing it shows is written to the settings;
// it reads only "userid" and writes only "isLoggedIn".
class AccountCard : public QObject {
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QString username READ username NOTIFY accountChanged)
    Q_PROPERTY(QString phone READ phone NOTIFY accountChanged)
    Q_PROPERTY(QString state READ state NOTIFY accountChanged)
    Q_PROPERTY(QString chatQuota READ chatQuota NOTIFY accountChanged)
    Q_PROPERTY(QString translateQuota READ translateQuota NOTIFY accountChanged)
    Q_PROPERTY(QString expiryDate READ expiryDate NOTIFY accountChanged)
    // Empty when the reply named no avatar.
    Q_PROPERTY(QString avatarURL READ avatarURL NOTIFY accountChanged)
    // The avatar's address when it forms one; otherwise empty and the card shows the symbol.
    Q_PROPERTY(QUrl avatarAddress READ avatarAddress NOTIFY accountChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)

    // What the rows and buttons show, derived from the texts above.
    Q_PROPERTY(QString stateText READ stateText NOTIFY accountChanged)
    Q_PROPERTY(QString translateQuotaText READ translateQuotaText NOTIFY accountChanged)
    Q_PROPERTY(bool isFree READ isFree NOTIFY accountChanged)
    Q_PROPERTY(bool showsExpiry READ showsExpiry NOTIFY accountChanged)
    Q_PROPERTY(bool stateHighlighted READ stateHighlighted NOTIFY accountChanged)
    Q_PROPERTY(bool chatQuotaHighlighted READ chatQuotaHighlighted NOTIFY accountChanged)
    Q_PROPERTY(bool translateQuotaHighlighted READ translateQuotaHighlighted NOTIFY accountChanged)
    Q_PROPERTY(bool expiryHighlighted READ expiryHighlighted NOTIFY accountChanged)
    Q_PROPERTY(QString membershipButtonText READ membershipButtonText NOTIFY accountChanged)

public:
    explicit AccountCard(QObject *parent = nullptr);

    QString username() const { return m_username; }
    QString phone() const { return m_phone; }
    QString state() const { return m_state; }
    QString chatQuota() const { return m_chatQuota; }
    QString translateQuota() const { return m_translateQuota; }
    QString expiryDate() const { return m_expiryDate; }
    QString avatarURL() const { return m_avatarURL; }
    QUrl avatarAddress() const;
    QString errorMessage() const { return m_errorMessage; }

    QString stateText() const { return m_state + QStringLiteral("版"); }
    QString translateQuotaText() const { return m_translateQuota + QStringLiteral("天"); }
    bool isFree() const;
    bool showsExpiry() const { return !isFree(); }
    bool stateHighlighted() const { return !isFree(); }
    bool chatQuotaHighlighted() const;
    bool translateQuotaHighlighted() const;
    bool expiryHighlighted() const { return !m_expiryDate.isEmpty(); }
    QString membershipButtonText() const;

    void setStore(SettingsStore *store) { m_store = store; }

    // The card is being shown: start from the placeholders and ask the service afresh.
    Q_INVOKABLE void refresh();
    Q_INVOKABLE void fetchAccountInfo();
    Q_INVOKABLE void openMembershipPage();
    Q_INVOKABLE void openFollowPage();
    Q_INVOKABLE void openContactPage();
    Q_INVOKABLE void signOut();

    // The completion of the account query: the answer, or why there was none.
    void handleReply(const HttpResult &result);
    void applyAccountInfo(const QJsonObject &reply);

signals:
    void accountChanged();
    void errorMessageChanged();

private:
    void showPlaceholders();
    void setErrorMessage(const QString &value);
    QString userid() const;

    QString m_username;
    QString m_phone;
    QString m_state;
    QString m_chatQuota;
    QString m_translateQuota;
    QString m_expiryDate;
    QString m_avatarURL;
    QString m_errorMessage;

    // An answer to an earlier showing of the card must not overwrite the current one.
    quint64 m_request = 0;
    QPointer<SettingsStore> m_store;
};
