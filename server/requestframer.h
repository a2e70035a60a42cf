#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

// Splits a connection's byte stream into requests the way Qt HttpServer's parser reads it, so
// that what the guard bounds is exactly what the parser will take for one request: lines end in
// LF or CR LF, a head ends at its first empty line, empty lines before a request line are
// skipped, and a body is as long as its one Content-Length says (none: no body). Whatever that
// parser would read differently from a careful one (a bare CR, a folded header line, a second
// Content-Length, a length beside Transfer-Encoding, control bytes) is refused instead of being
// passed on, as is a head or declared body over the limits.
class RequestFramer {
public:
    struct Limits {
        qint64 maxHeadBytes = 32 * 1024; // up to and with the empty line that ends the head
        qint64 maxBodyBytes = 1024 * 1024;
    };
    struct Refusal {
        int status;
        QString message;
    };
    // Where one request lay in the stream, counted from the first byte ever fed.
    struct Framed {
        qint64 start;
        qint64 bodyStart;
        qint64 end;
        bool operator==(const Framed &) const = default;
    };
    enum class State { Between, Head, Body, Refused };

    explicit RequestFramer(Limits limits) : m_limits(limits) {}

    // Reads the next bytes of the stream. Returns how many requests they completed; each one is
    // appended to `framed` when given. Once refused, everything after is ignored.
    int feed(QByteArrayView bytes, std::vector<Framed> *framed = nullptr);
    // Counts `count` body bytes without looking at them; at most bodyLeft(), in state Body.
    // Returns whether they completed the request, then appended to `framed` when given.
    bool skipBody(qint64 count, std::vector<Framed> *framed = nullptr);

    State state() const { return m_state; }
    qint64 bodyLeft() const { return m_bodyLeft; }
    // Bytes of the request under way read so far (0 between requests).
    qint64 partialBytes() const;
    const std::optional<Refusal> &refusal() const { return m_refusal; }

private:
    qsizetype readHead(QByteArrayView bytes, qsizetype pos);
    std::optional<Refusal> frameHead(QByteArrayView head);
    void refuse(int status, const QString &message);

    Limits m_limits;
    State m_state = State::Between;
    QByteArray m_head;
    qint64 m_bodyLeft = 0;
    qint64 m_offset = 0; // of the first byte of the next feed
    Framed m_current{};
    std::optional<Refusal> m_refusal;
};
