#pragma once

#include "answersource.h"

#include <QStringList>
#include <QTimer>

// Hands out the demo answer a piece at a time, a fixed interval apart, so that a server without
// a provider streams the way a provider does: the first piece at once, the next on each tick.
class DemoPacer : public AnswerSource {
    Q_OBJECT
public:
    static constexpr int defaultIntervalMs = 30;

    DemoPacer(const QStringList &pieces, int intervalMs, QObject *parent = nullptr);
    void start() override;

private:
    void next();

    QStringList m_pieces;
    qsizetype m_next = 0;
    QTimer m_timer;
};
