#include "serverclock.h"

#include <QDateTime>

qint64 ServerClock::nowMs() const
{
    return QDateTime::currentMSecsSinceEpoch();
}
