#pragma once

#include <QByteArray>
#include <QList>

// Reads a server-sent event stream as it arrives: LF, CRLF or CR line ends, "event:" and
// "data:" fields (one optional space after the colon), several data lines joined by a line feed,
// comment lines ignored. An event ends at a blank line, or at the end of the stream.
class SseReader {
public:
    struct Event {
        QByteArray type; // "event:" field, empty when the stream gave none
        QByteArray data;
    };

    // Feeds the next bytes; returns the events they completed.
    QList<Event> feed(const QByteArray &bytes);
    // The stream ended: returns the event still open, if it had data.
    QList<Event> finish();

private:
    void line(const QByteArray &text, QList<Event> &out);
    void dispatch(QList<Event> &out);

    QByteArray m_buffer;
    bool m_skipLf =
        false; // the previous chunk ended in CR; an LF first in the next one is its pair
    QByteArray m_type;
    QByteArray m_data;
    bool m_hasData = false;
};
