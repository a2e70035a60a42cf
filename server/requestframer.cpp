#include "requestframer.h"

#include <algorithm>
#include <cstring>

namespace {

const QString malformed = QStringLiteral("请求格式错误");

bool isTokenChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9')
        return true;
    if ((u | 0x20) >= 'a' && (u | 0x20) <= 'z')
        return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Tabs, visible characters, spaces and bytes of UTF-8 text; never a control byte (NUL, a CR
// inside the value, DEL).
bool isValueChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u == '\t' || (u >= 0x20 && u != 0x7f);
}

// METHOD SP TARGET SP HTTP/1.x, with only the methods the routes can answer: the parser behind
// takes CONNECT and upgrades as the end of HTTP on the connection, which the guard cannot follow.
bool isRequestLine(QByteArrayView line)
{
    const qsizetype firstSpace = line.indexOf(' ');
    const qsizetype lastSpace = line.lastIndexOf(' ');
    if (firstSpace <= 0 || lastSpace <= firstSpace + 1)
        return false;
    const QByteArrayView method = line.first(firstSpace);
    static const QByteArrayView methods[] = {"GET",    "HEAD",    "POST", "PUT",
                                             "DELETE", "OPTIONS", "PATCH"};
    if (std::find(std::begin(methods), std::end(methods), method) == std::end(methods))
        return false;
    const QByteArrayView target = line.sliced(firstSpace + 1, lastSpace - firstSpace - 1);
    const QByteArrayView version = line.sliced(lastSpace + 1);
    return std::all_of(target.begin(), target.end(), [](char c) { return c > 0x20 && c < 0x7f; }) &&
           (version == "HTTP/1.1" || version == "HTTP/1.0");
}

} // namespace

int RequestFramer::feed(QByteArrayView bytes, std::vector<Framed> *framed)
{
    int completed = 0;
    qsizetype pos = 0;
    const auto complete = [&] {
        m_current.end = m_offset + pos;
        m_state = State::Between;
        ++completed;
        if (framed)
            framed->push_back(m_current);
    };
    while (pos < bytes.size() && m_state != State::Refused) {
        if (m_state == State::Between) {
            while (pos < bytes.size() && (bytes.at(pos) == '\r' || bytes.at(pos) == '\n'))
                ++pos;
            if (pos == bytes.size())
                break;
            m_state = State::Head;
            m_current = {m_offset + pos, 0, 0};
            m_head.truncate(0);
        }
        if (m_state == State::Head) {
            pos = readHead(bytes, pos);
            if (m_state == State::Body && m_bodyLeft == 0)
                complete();
            continue;
        }
        const qint64 take = std::min<qint64>(m_bodyLeft, bytes.size() - pos);
        pos += take;
        m_bodyLeft -= take;
        if (m_bodyLeft == 0)
            complete();
    }
    m_offset += bytes.size();
    return completed;
}

bool RequestFramer::skipBody(qint64 count, std::vector<Framed> *framed)
{
    m_bodyLeft -= count;
    m_offset += count;
    if (m_bodyLeft > 0)
        return false;
    m_current.end = m_offset;
    m_state = State::Between;
    if (framed)
        framed->push_back(m_current);
    return true;
}

qint64 RequestFramer::partialBytes() const
{
    switch (m_state) {
    case State::Head:
        return m_head.size();
    case State::Body:
        return m_offset - m_current.start;
    default:
        return 0;
    }
}

qsizetype RequestFramer::readHead(QByteArrayView bytes, qsizetype pos)
{
    // Never more than one byte past the limit is kept: that byte alone tells the head is too
    // large.
    const qsizetype had = m_head.size();
    const qsizetype take = std::min<qsizetype>(m_limits.maxHeadBytes + 1 - had, bytes.size() - pos);
    m_head.append(bytes.data() + pos, take);
    qsizetype end = -1;
    for (qsizetype lf = m_head.indexOf('\n', std::max<qsizetype>(0, had - 2)); lf >= 0 && end < 0;
         lf = m_head.indexOf('\n', lf + 1)) {
        qsizetype next = lf + 1;
        if (next < m_head.size() && m_head.at(next) == '\r')
            ++next;
        if (next < m_head.size() && m_head.at(next) == '\n')
            end = next + 1;
    }
    if (end < 0) {
        if (m_head.size() > m_limits.maxHeadBytes)
            refuse(431, QStringLiteral("请求头过大"));
        return pos + take;
    }
    pos += end - had;
    if (end > m_limits.maxHeadBytes) {
        refuse(431, QStringLiteral("请求头过大"));
        return pos;
    }
    if (auto refusal = frameHead(QByteArrayView(m_head).first(end))) {
        refuse(refusal->status, refusal->message);
        return pos;
    }
    m_current.bodyStart = m_offset + pos;
    m_state = State::Body;
    return pos;
}

std::optional<RequestFramer::Refusal> RequestFramer::frameHead(QByteArrayView head)
{
    int lengths = 0;
    bool transferEncoding = false;
    qint64 length = 0;
    qsizetype start = 0;
    for (bool first = true;; first = false) {
        const qsizetype lf = head.indexOf('\n', start);
        QByteArrayView line = head.sliced(start, lf - start);
        start = lf + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            break;
        if (first) {
            if (!isRequestLine(line))
                return Refusal{400, malformed};
            continue;
        }
        // A line that starts with white space continues the previous one (obs-fold), which the
        // parser joins and a proxy in front may not.
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.first(colon)))
            return Refusal{400, malformed};
        const QByteArrayView value = line.sliced(colon + 1);
        if (!std::all_of(value.begin(), value.end(), isValueChar))
            return Refusal{400, malformed};
        const QByteArrayView name = line.first(colon);
        if (name.compare("upgrade", Qt::CaseInsensitive) == 0)
            return Refusal{400, malformed};
        if (name.compare("transfer-encoding", Qt::CaseInsensitive) == 0)
            transferEncoding = true;
        if (name.compare("content-length", Qt::CaseInsensitive) != 0)
            continue;
        const QByteArrayView digits = value.trimmed();
        // Eighteen digits cannot overflow; anything that long is refused as too large anyway.
        if (++lengths > 1 || digits.isEmpty() || digits.size() > 18 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return Refusal{400, malformed};
        length = digits.toLongLong();
    }
    if (transferEncoding && lengths > 0)
        return Refusal{400, malformed};
    // A chunked body announces no size: it could only be bounded by reading it. The client
    // never sends one.
    if (transferEncoding)
        return Refusal{411, QStringLiteral("请求体须带 Content-Length")};
    if (length > m_limits.maxBodyBytes)
        return Refusal{413, QStringLiteral("请求体过大（最多 1 MiB）")};
    m_bodyLeft = length;
    return std::nullopt;
}

void RequestFramer::refuse(int status, const QString &message)
{
    m_state = State::Refused;
    m_refusal = Refusal{status, message};
    m_head.clear();
}
