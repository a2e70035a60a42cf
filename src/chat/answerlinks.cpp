#include "chat/answerlinks.h"

#include <QDesktopServices>

bool AnswerLinks::isOpenable(const QUrl &url)
{
    if (!url.isValid())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == u"mailto")
        return !url.path().isEmpty();
    return (scheme == u"http" || scheme == u"https") && !url.host().isEmpty();
}

bool AnswerLinks::open(const QString &link)
{
    const QUrl url(link, QUrl::StrictMode);
    if (!isOpenable(url))
        return false;
    return QDesktopServices::openUrl(url);
}
