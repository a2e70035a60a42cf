#include "service/replyreader.h"

#include "core/diagnosticlog.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view kDataPrefix = "data: ";

// A payload is either valid JSON as a whole, the parts no reader looks at included, or a parse
// failure: the DOM parser checks every value of it in one pass (On-Demand parsing, which checks
// only what is read, walked the rest value by value at less than half the speed). Nesting
// deeper than its 1024 levels is a parse failure too.
const char *bareValueError()
{
    return "JSON text is a bare value, not an object or array";
}

// The member `key` of `object` when it is present and of the wanted type; the last one wins
// when a key is repeated, as when the object is read member by member.
template <typename T> std::optional<T> member(simdjson::dom::object object, std::string_view key)
{
    std::optional<T> found;
    for (const auto field : object) {
        if (field.key == key) {
            T value;
            found = field.value.get(value) == simdjson::SUCCESS ? std::optional<T>(value)
                                                                : std::nullopt;
        }
    }
    return found;
}

void logParseFailure(const QString &description)
{
    DiagnosticLog::line(QStringLiteral("JSON解析失败: ") + description);
}

bool validUtf8(std::string_view bytes)
{
    return simdjson::validate_utf8(bytes.data(), bytes.size());
}

// Where the bytes stop being whole characters: the start of a multi-byte character whose last
// bytes have not arrived yet, or the end. Bytes that are not UTF-8 at all count as whole; the
// validator judges them.
size_t wholeCharactersEnd(std::string_view bytes)
{
    const size_t n = bytes.size();
    for (size_t back = 1; back <= 4 && back <= n; ++back) {
        const auto c = static_cast<unsigned char>(bytes[n - back]);
        if ((c & 0xC0) == 0x80)
            continue;
        const size_t length = c < 0x80             ? 1
                              : (c & 0xE0) == 0xC0 ? 2
                              : (c & 0xF0) == 0xE0 ? 3
                              : (c & 0xF8) == 0xF0 ? 4
                                                   : 1;
        return back >= length ? n : n - back;
    }
    return n;
}

// The two line families: lines end at "\n", and each line that starts with "data: " carries one
// JSON payload. A line is read when its line end arrives; until then its bytes wait here.
class LineStreamReader : public ReplyStreamReader {
protected:
    // One payload, with every "data: " removed from it; readable for SIMDJSON_PADDING bytes
    // past its end.
    virtual void readPayload(std::string_view payload) = 0;

    // The payload's top-level object; a payload that is not JSON is logged, and a top-level
    // array (valid, of no use) gives nothing.
    std::optional<simdjson::dom::object> rootObject(std::string_view payload)
    {
        simdjson::dom::element doc;
        if (auto error = m_parser.parse(payload.data(), payload.size(), false).get(doc)) {
            logParseFailure(QString::fromUtf8(simdjson::error_message(error)));
            return std::nullopt;
        }
        if (doc.is_array())
            return std::nullopt;
        simdjson::dom::object object;
        if (doc.get_object().get(object) != simdjson::SUCCESS) {
            logParseFailure(QString::fromUtf8(bareValueError()));
            return std::nullopt;
        }
        return object;
    }

    simdjson::dom::parser m_parser;

private:
    void consume(const QByteArray &bytes) override
    {
        if (m_notUtf8)
            return;
        const char *data = bytes.constData();
        const size_t size = size_t(bytes.size());
        size_t start = 0;
        if (!m_partial.empty()) {
            const void *lineEnd = std::memchr(data, '\n', size);
            if (!lineEnd) {
                m_partial.append(data, size);
                return;
            }
            const size_t end = size_t(static_cast<const char *>(lineEnd) - data);
            m_partial.append(data, end);
            readPartialLine();
            start = end + 1;
        }
        while (start < size && !m_notUtf8) {
            const void *lineEnd = std::memchr(data + start, '\n', size - start);
            if (!lineEnd) {
                m_partial.assign(data + start, size - start);
                return;
            }
            const size_t end = size_t(static_cast<const char *>(lineEnd) - data);
            readLine(std::string_view(data + start, end - start), data + size);
            start = end + 1;
        }
    }

    void end(bool complete) override
    {
        if (complete && !m_partial.empty())
            readPartialLine();
        m_partial.clear();
    }

    // The line gathered over several reads, read where it lies, with room after it for the
    // parser.
    void readPartialLine()
    {
        m_partial.reserve(m_partial.size() + simdjson::SIMDJSON_PADDING);
        readLine(m_partial, m_partial.data() + m_partial.capacity());
        m_partial.clear();
    }

    // `line` lies in a buffer readable up to `readableEnd`; the parser reads a little past a
    // payload's end, so a payload too close to it is copied first.
    void readLine(std::string_view line, const char *readableEnd)
    {
        if (m_notUtf8)
            return;
        if (!validUtf8(line)) {
            m_notUtf8 = true;
            return;
        }
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || !line.starts_with(kDataPrefix))
            return;

        std::string_view payload = line.substr(kDataPrefix.size());
        if (payload.find(kDataPrefix) == std::string_view::npos) {
            const size_t readable = size_t(readableEnd - payload.data());
            if (readable >= payload.size() + simdjson::SIMDJSON_PADDING) {
                readPayload(payload);
                return;
            }
            m_scratch.assign(payload);
        } else {
            m_scratch.clear();
            size_t from = 0;
            for (size_t at; (at = payload.find(kDataPrefix, from)) != std::string_view::npos;
                 from = at + kDataPrefix.size())
                m_scratch.append(payload.substr(from, at - from));
            m_scratch.append(payload.substr(from));
        }
        m_scratch.reserve(m_scratch.size() + simdjson::SIMDJSON_PADDING);
        readPayload(m_scratch);
    }

    std::string m_partial; // a line whose line end has not arrived
    std::string m_scratch;
};

class OpenAIStreamReader final : public LineStreamReader {
    void readPayload(std::string_view payload) override
    {
        const auto root = rootObject(payload);
        if (!root)
            return;
        // choices[0].delta.content, when "choices" is a non-empty array of objects.
        const auto choices = member<simdjson::dom::array>(*root, "choices");
        if (!choices || choices->size() == 0)
            return;
        for (const simdjson::dom::element choice : *choices) {
            if (!choice.is_object())
                return;
        }
        simdjson::dom::object first;
        if ((*choices).at(0).get(first) != simdjson::SUCCESS)
            return;
        const auto delta = member<simdjson::dom::object>(first, "delta");
        if (!delta)
            return;
        if (const auto content = member<std::string_view>(*delta, "content"))
            m_collected += *content;
    }
};

class ClaudeStreamReader final : public LineStreamReader {
    void readPayload(std::string_view payload) override
    {
        const auto root = rootObject(payload);
        if (!root)
            return;
        const auto type = member<std::string_view>(*root, "type");
        if (!type)
            return;
        if (*type == "content_block_delta") {
            if (const auto delta = member<simdjson::dom::object>(*root, "delta")) {
                if (const auto text = member<std::string_view>(*delta, "text"))
                    m_collected += *text;
            }
        } else if (*type == "message_delta") {
            DiagnosticLog::line(QStringLiteral("Message Delta: ") +
                                QString::fromUtf8(payload.data(), qsizetype(payload.size())));
        } else {
            DiagnosticLog::line(QStringLiteral("Unhandled event type: ") +
                                QString::fromUtf8(type->data(), qsizetype(type->size())));
        }
    }
};

// Plain-text pieces: the first runs from after the first "data: " in the body, each from one
// separator "\ndata: " to the next; a "\r" before a separator and one line end that ends the
// body are not part of a piece. The reads are kept as they came (the log quotes the whole body
// when it ends); only the few bytes not settled yet are looked at again with the next read.
class PlainDataStreamReader final : public ReplyStreamReader {
private:
    static constexpr std::string_view kSeparator = "\ndata: ";

    // Bytes [from, to) of the body as views into the reads that hold them.
    QList<QByteArrayView> parts(size_t from, size_t to) const
    {
        QList<QByteArrayView> out;
        auto read = std::upper_bound(m_readStarts.cbegin(), m_readStarts.cend(), from) - 1;
        for (qsizetype i = read - m_readStarts.cbegin(); from < to; ++i) {
            const QByteArray &bytes = m_reads.at(i);
            const size_t start = m_readStarts.at(i);
            const size_t end = std::min(to, start + size_t(bytes.size()));
            out.append(
                QByteArrayView(bytes).sliced(qsizetype(from - start), qsizetype(end - from)));
            from = end;
        }
        return out;
    }

    void consume(const QByteArray &bytes) override
    {
        if (m_notUtf8)
            return;
        m_readStarts.push_back(m_end);
        m_reads.append(bytes);
        // The read is looked at where it lies; only when bytes of earlier reads are still
        // unsettled is it joined to them.
        if (m_window.empty()) {
            m_windowStart = m_end;
            m_view = std::string_view(bytes.constData(), size_t(bytes.size()));
        } else {
            m_window.append(bytes.constData(), size_t(bytes.size()));
            m_view = m_window;
        }
        m_end += size_t(bytes.size());
        validate(m_windowStart + wholeCharactersEnd(m_view));
        if (!m_notUtf8)
            scan(false);
        // Everything before these positions is settled: validated, searched and shown.
        const size_t settled =
            std::min({m_valid, m_searchFrom, m_started ? m_shown : m_searchFrom});
        m_window = std::string(m_view.substr(settled - m_windowStart));
        m_windowStart = settled;
        m_view = m_window;
    }

    void end(bool) override
    {
        if (!m_notUtf8)
            validate(m_end);
        if (!m_notUtf8)
            scan(true);
        log();
    }

    // Bytes [from, to) of the body; only unsettled ones are asked for.
    std::string_view bytes(size_t from, size_t to) const
    {
        return m_view.substr(from - m_windowStart, to - from);
    }

    void validate(size_t upTo)
    {
        if (upTo <= m_valid)
            return;
        if (!validUtf8(bytes(m_valid, upTo))) {
            m_notUtf8 = true;
            return;
        }
        m_valid = upTo;
    }

    // Finds what the valid bytes settle: the first "data: ", the separators, and how much of
    // the current piece can be shown already. Positions are offsets in the whole body.
    void scan(bool bodyEnded)
    {
        const std::string_view text = bytes(m_windowStart, m_valid);
        const size_t base = m_windowStart;
        if (!m_started) {
            const size_t first = text.find(kDataPrefix, m_searchFrom - base);
            if (first == std::string_view::npos) {
                m_searchFrom = std::max(m_searchFrom, m_valid > kDataPrefix.size()
                                                          ? m_valid - kDataPrefix.size()
                                                          : size_t(0));
                return;
            }
            m_started = true;
            m_pieceStart = m_shown = m_searchFrom = base + first + kDataPrefix.size();
        }
        for (;;) {
            const size_t next = text.find(kSeparator, m_searchFrom - base);
            if (next == std::string_view::npos)
                break;
            // A "\r" before the separator is never shown early (it is held back, below), so it
            // is still in the window when the separator comes.
            size_t pieceEnd = base + next;
            if (pieceEnd > m_pieceStart && next > 0 && text[next - 1] == '\r')
                --pieceEnd;
            closePiece(pieceEnd);
            m_pieceStart = m_shown = m_searchFrom = base + next + kSeparator.size();
        }
        m_searchFrom =
            std::max(m_pieceStart,
                     m_valid >= kSeparator.size() ? m_valid - kSeparator.size() + 1 : size_t(0));
        // What is not shown yet of the piece; the line end that may end it is in there.
        std::string_view rest = bytes(m_shown, m_valid);
        if (bodyEnded) {
            if (rest.ends_with("\r\n"))
                rest.remove_suffix(2);
            else if (rest.ends_with('\n') || rest.ends_with('\r'))
                rest.remove_suffix(1);
            closePiece(m_shown + rest.size());
            m_pieceStart = m_shown;
            return;
        }
        show(m_valid - heldBack(rest));
    }

    // How many bytes at the end of the piece so far may still belong to a separator or to the
    // line end that ends the body.
    static size_t heldBack(std::string_view piece)
    {
        constexpr std::string_view crSeparator = "\r\ndata: ";
        for (size_t n = std::min(piece.size(), crSeparator.size() - 1); n > 0; --n) {
            const std::string_view tail = piece.substr(piece.size() - n);
            if (crSeparator.starts_with(tail) || kSeparator.starts_with(tail))
                return n;
        }
        return 0;
    }

    void show(size_t upTo)
    {
        if (upTo > m_shown) {
            const std::string_view text = bytes(m_shown, upTo);
            m_collected.append(text);
            m_shown = upTo;
        }
    }

    void closePiece(size_t pieceEnd)
    {
        show(pieceEnd);
        m_pieces.push_back({m_pieceStart, pieceEnd});
    }

    void log()
    {
        static const QByteArray originalLabel = QStringLiteral("原文 ").toUtf8();
        static const QByteArray pieceLabel = QStringLiteral("提取的完整内容:\n ").toUtf8();
        QList<DiagnosticLog::Utf8Line> lines;
        if (m_notUtf8) {
            lines.append({originalLabel, {}});
            DiagnosticLog::writeUtf8Lines(lines);
            return;
        }
        QList<QByteArrayView> body;
        for (const QByteArray &read : std::as_const(m_reads))
            body.append(read);
        lines.reserve(qsizetype(m_pieces.size()) + 1);
        lines.append({originalLabel, body});
        for (const auto &[from, to] : m_pieces)
            lines.append({pieceLabel, parts(from, to)});
        DiagnosticLog::writeUtf8Lines(lines);
    }

    QList<QByteArray> m_reads;
    std::vector<size_t> m_readStarts; // where each read starts in the body
    size_t m_end = 0;                 // bytes received
    std::string m_window;             // the bytes from m_windowStart on that are not settled yet
    size_t m_windowStart = 0;
    std::string_view m_view; // the bytes from m_windowStart on: the window, or the new read
    size_t m_valid = 0;      // bytes known to be whole, valid characters
    size_t m_searchFrom = 0; // where the search for "data: " or a separator goes on
    bool m_started = false;  // the first "data: " was found
    size_t m_pieceStart = 0;
    size_t m_shown = 0; // bytes of the body whose text has been collected
    std::vector<std::pair<size_t, size_t>> m_pieces;
};

QString read(ReplyStreamReader::Layout layout, const QByteArray &body)
{
    const auto reader = ReplyStreamReader::create(layout);
    reader->feed(body);
    reader->finish();
    return reader->text();
}

} // namespace

std::unique_ptr<ReplyStreamReader> ReplyStreamReader::create(Layout layout)
{
    switch (layout) {
    case Layout::OpenAI:
        return std::make_unique<OpenAIStreamReader>();
    case Layout::Claude:
        return std::make_unique<ClaudeStreamReader>();
    case Layout::PlainData:
        break;
    }
    return std::make_unique<PlainDataStreamReader>();
}

ReplyStreamReader::~ReplyStreamReader() = default;

void ReplyStreamReader::feed(const QByteArray &bytes)
{
    if (!m_ended && !bytes.isEmpty())
        consume(bytes);
}

void ReplyStreamReader::finish()
{
    if (!m_ended) {
        m_ended = true;
        end(true);
    }
}

void ReplyStreamReader::cutOff()
{
    if (!m_ended) {
        m_ended = true;
        end(false);
    }
}

QString ReplyStreamReader::takeNewText()
{
    if (m_notUtf8 || m_collected.empty())
        return {};
    QString text = QString::fromUtf8(m_collected.data(), qsizetype(m_collected.size()));
    m_collected.clear();
    m_handedOutSize += text.size();
    m_handedOut.append(text);
    return text;
}

QString ReplyStreamReader::text() const
{
    if (m_notUtf8)
        return {};
    const QString rest = QString::fromUtf8(m_collected.data(), qsizetype(m_collected.size()));
    if (m_handedOut.isEmpty())
        return rest;
    QString all;
    all.reserve(m_handedOutSize + rest.size());
    for (const QString &piece : m_handedOut)
        all.append(piece);
    return all.append(rest);
}

QString ReplyReader::readOpenAIStream(const QByteArray &body)
{
    return read(ReplyStreamReader::Layout::OpenAI, body);
}

QString ReplyReader::readClaudeStream(const QByteArray &body)
{
    return read(ReplyStreamReader::Layout::Claude, body);
}

QString ReplyReader::readPlainDataStream(const QByteArray &body)
{
    return read(ReplyStreamReader::Layout::PlainData, body);
}
