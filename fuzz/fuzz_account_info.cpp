// Any bytes as the account-information answer: the card ends up showing either its
// placeholders or the answer's values, every derived text is well formed, and nothing is
// written to the settings.
#include "account/accountcard.h"
#include "core/httpclient.h"
#include "core/settingsstore.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzSetUp();
    SettingsStore &store = fuzzSettings();
    FUZZ_CHECK(!store.isAttached());
    bool written = false;
    QObject watcher;
    QObject::connect(&store, &SettingsStore::changed, &watcher, [&] { written = true; });

    AccountCard card;
    card.setStore(&store);
    const HttpResult result = fuzzReply(data, size);
    card.handleReply(result);

    FUZZ_CHECK(!written);
    bool number = false;
    card.chatQuota().toDouble(&number);
    FUZZ_CHECK(number); // "%.2f" of a number, or "0.00"
    const QString quota = card.chatQuota();
    FUZZ_CHECK(quota.size() >= 4 && quota.at(quota.size() - 3) == u'.');
    card.translateQuota().toLongLong(&number);
    FUZZ_CHECK(number);
    FUZZ_CHECK(card.stateText().endsWith(u'版'));
    FUZZ_CHECK(card.translateQuotaText().endsWith(u'天'));
    FUZZ_CHECK(!card.membershipButtonText().isEmpty());
    const QUrl avatar = card.avatarAddress();
    FUZZ_CHECK(avatar.isEmpty() || avatar.isValid());
    (void)card.chatQuotaHighlighted();
    (void)card.translateQuotaHighlighted();
    return 0;
}
