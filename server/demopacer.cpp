#include "demopacer.h"

DemoPacer::DemoPacer(const QStringList &pieces, int intervalMs, QObject *parent)
    : AnswerSource(parent), m_pieces(pieces)
{
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &DemoPacer::next);
}

void DemoPacer::start()
{
    m_timer.start();
    next();
}

void DemoPacer::next()
{
    if (m_next < m_pieces.size())
        emit piece(m_pieces.at(m_next++));
    if (m_next >= m_pieces.size() && m_timer.isActive()) {
        m_timer.stop();
        emit ended(200, {});
    }
}
