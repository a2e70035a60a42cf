// Any bytes as the answer to a sign-in: the sheet leaves its waiting state, and a user is
// signed in only by a reply whose "message" is the success text, with all eight profile
// settings written in their types.
#include "account/phonelogin.h"
#include "core/httpclient.h"
#include "core/settingsstore.h"
#include "fuzzcheck.h"

#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzSetUp();
    SettingsStore &store = fuzzSettings();
    FUZZ_CHECK(!store.isAttached());
    store.set(QStringLiteral("isLoggedIn"), false);
    for (const char *key : {"username", "userid", "avatar", "phone", "state", "chat_quota",
                            "translate_quota", "expiry_date"})
        store.remove(QString::fromLatin1(key));

    PhoneLogin login;
    login.setStore(&store);
    const HttpResult result = fuzzReply(data, size);
    login.handleLoginResponse(result);

    FUZZ_CHECK(!login.isLoggingIn());
    const QJsonDocument reply = QJsonDocument::fromJson(result.body);
    const bool success =
        reply.isObject() &&
        reply.object().value(QLatin1String("message")).toString() == QStringLiteral("登录成功！");
    FUZZ_CHECK(store.getBool(QStringLiteral("isLoggedIn"), false) == success);
    if (success) {
        for (const char *key : {"username", "userid", "avatar", "phone", "state", "expiry_date"})
            FUZZ_CHECK(store.getString(QString::fromLatin1(key)).has_value());
        FUZZ_CHECK(store.value(QStringLiteral("chat_quota"), SettingsStore::Type::Int).isValid());
        FUZZ_CHECK(
            store.value(QStringLiteral("translate_quota"), SettingsStore::Type::Int).isValid());
    } else if (!reply.isNull() && !reply.isObject()) {
        FUZZ_CHECK(login.errorMessage().isEmpty()); // valid JSON, not an object: nothing shown
    } else if (reply.object().value(QLatin1String("message")) != QJsonValue(QString())) {
        // Refused: the service's message is shown as it is, even an empty one.
        FUZZ_CHECK(!login.errorMessage().isEmpty());
    }
    return 0;
}
