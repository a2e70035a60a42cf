#include "phonenumber.h"

std::optional<QString> PhoneNumber::normalized(const QString &raw)
{
    QString out;
    out.reserve(raw.size());
    for (const QChar c : raw) {
        if (c == u' ' || c == u'-' || c == u'\t')
            continue;
        if (c == u'+' && out.isEmpty()) {
            out.append(c);
            continue;
        }
        if (c < u'0' || c > u'9')
            return std::nullopt;
        out.append(c);
    }
    const qsizetype digits = out.startsWith(u'+') ? out.size() - 1 : out.size();
    if (digits < 5 || digits > 20)
        return std::nullopt;
    return out;
}
