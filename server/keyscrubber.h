#pragma once

#include <QByteArrayList>
#include <QString>

class QNetworkRequest;

// Takes provider credentials out of text that came back from a provider (an error message may
// quote the key it refused) before the text reaches a client or the log: the request's own keys,
// and anything else shaped like a key.
class KeyScrubber {
public:
    // The credentials `request` carries: its Authorization bearer, x-api-key and x-goog-api-key
    // headers and a key in its query.
    explicit KeyScrubber(const QNetworkRequest &request);

    QString scrubbed(QString text) const;

private:
    QByteArrayList m_keys;
};
