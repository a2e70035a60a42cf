#include "ssereader.h"

QList<SseReader::Event> SseReader::feed(const QByteArray &bytes)
{
    QList<Event> out;
    m_buffer += bytes;
    qsizetype start = 0;
    if (m_skipLf && !m_buffer.isEmpty()) {
        if (m_buffer.front() == '\n')
            start = 1;
        m_skipLf = false;
    }
    for (qsizetype i = start; i < m_buffer.size(); ++i) {
        const char c = m_buffer.at(i);
        if (c != '\n' && c != '\r')
            continue;
        line(m_buffer.sliced(start, i - start), out);
        if (c == '\r') {
            if (i + 1 < m_buffer.size()) {
                if (m_buffer.at(i + 1) == '\n')
                    ++i;
            } else {
                m_skipLf = true;
            }
        }
        start = i + 1;
    }
    m_buffer.remove(0, start);
    return out;
}

QList<SseReader::Event> SseReader::finish()
{
    QList<Event> out;
    if (!m_buffer.isEmpty()) {
        line(m_buffer, out);
        m_buffer.clear();
    }
    dispatch(out);
    return out;
}

void SseReader::line(const QByteArray &text, QList<Event> &out)
{
    if (text.isEmpty()) {
        dispatch(out);
        return;
    }
    if (text.startsWith(':'))
        return;
    const qsizetype colon = text.indexOf(':');
    const QByteArray field = colon < 0 ? text : text.left(colon);
    QByteArray value = colon < 0 ? QByteArray() : text.mid(colon + 1);
    if (value.startsWith(' '))
        value.remove(0, 1);
    if (field == "event") {
        m_type = value;
    } else if (field == "data") {
        if (m_hasData)
            m_data += '\n';
        m_data += value;
        m_hasData = true;
    }
}

void SseReader::dispatch(QList<Event> &out)
{
    if (m_hasData)
        out.append({m_type, m_data});
    m_type.clear();
    m_data.clear();
    m_hasData = false;
}
