#include "replyreader.h"

#include "diagnosticlog.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ondemand = simdjson::ondemand;
using Value = simdjson::simdjson_result<ondemand::value>;

namespace {

constexpr std::string_view kDataPrefix = "data: ";

// Deeper nesting is a parse failure. The walk below recurses once per level, and On-Demand
// parsing checks its own limit of 1024 levels only in debug builds: 200,000 nested arrays in
// one answer overflowed the stack. The few levels above a walked value (the line, "choices",
// "delta") stay within the parser's limit too.
constexpr int kMaxDepth = 1000;

// Walks a value to its end so that every part of it is checked, the parts no reader looks at
// included: a payload is either valid JSON as a whole or a parse failure.
simdjson::error_code skipValue(Value value, int depth = 0)
{
    if (depth >= kMaxDepth)
        return simdjson::DEPTH_ERROR;
    ondemand::json_type type;
    if (auto error = value.type().get(type))
        return error;
    switch (type) {
    case ondemand::json_type::object: {
        ondemand::object object;
        if (auto error = value.get_object().get(object))
            return error;
        for (auto field : object) {
            std::string_view key;
            if (auto error = field.unescaped_key().get(key))
                return error;
            if (auto error = skipValue(field.value(), depth + 1))
                return error;
        }
        return simdjson::SUCCESS;
    }
    case ondemand::json_type::array: {
        ondemand::array array;
        if (auto error = value.get_array().get(array))
            return error;
        for (auto element : array) {
            if (auto error = skipValue(element, depth + 1))
                return error;
        }
        return simdjson::SUCCESS;
    }
    case ondemand::json_type::string: {
        std::string_view s;
        return value.get_string().get(s);
    }
    case ondemand::json_type::number: {
        double d;
        return value.get_double().get(d);
    }
    case ondemand::json_type::boolean: {
        bool b;
        return value.get_bool().get(b);
    }
    case ondemand::json_type::null: {
        bool isNull = false;
        if (auto error = value.is_null().get(isNull))
            return error;
        return isNull ? simdjson::SUCCESS : simdjson::INCORRECT_TYPE;
    }
    }
    return simdjson::TAPE_ERROR;
}

// A string member that may be absent; its buffer is reused from line to line so reading a
// large body allocates almost nothing.
struct OptionalText {
    std::string text;
    bool present = false;

    void reset() { present = false; }
    void assign(std::string_view s)
    {
        text.assign(s);
        present = true;
    }
    explicit operator bool() const { return present; }
    const std::string &operator*() const { return text; }
    const std::string *operator->() const { return &text; }
};

// Reads `value` as a string into `out` when it is one; any other valid value leaves `out`
// empty.
simdjson::error_code readString(Value value, OptionalText &out)
{
    out.reset();
    ondemand::json_type type;
    if (auto error = value.type().get(type))
        return error;
    if (type != ondemand::json_type::string)
        return skipValue(value);
    std::string_view s;
    if (auto error = value.get_string().get(s))
        return error;
    out.assign(s);
    return simdjson::SUCCESS;
}

// Calls `onField(key, value)` for every member of an object value; `isObject` tells whether it
// was one (anything else is skipped, still checked).
template <typename OnField>
simdjson::error_code forEachField(Value value, bool &isObject, OnField onField)
{
    ondemand::json_type type;
    if (auto error = value.type().get(type))
        return error;
    isObject = type == ondemand::json_type::object;
    if (!isObject)
        return skipValue(value);
    ondemand::object object;
    if (auto error = value.get_object().get(object))
        return error;
    for (auto field : object) {
        std::string_view key;
        if (auto error = field.unescaped_key().get(key))
            return error;
        if (auto error = onField(key, field.value()))
            return error;
    }
    return simdjson::SUCCESS;
}

const char *bareValueError()
{
    return "JSON text is a bare value, not an object or array";
}

// Parses one event payload. `onRoot` reads the top-level object; a top-level array is checked
// and then ignored. Returns the parser's error description on failure.
template <typename OnRoot>
std::optional<QString> parsePayload(ondemand::parser &parser, simdjson::padded_string_view json,
                                    bool &isObject, OnRoot onRoot)
{
    isObject = false;
    const auto failed = [](simdjson::error_code error) {
        return std::optional<QString>(QString::fromUtf8(simdjson::error_message(error)));
    };
    ondemand::document doc;
    if (auto error = parser.iterate(json).get(doc))
        return failed(error);
    ondemand::json_type type;
    if (auto error = doc.type().get(type))
        return failed(error);
    if (type != ondemand::json_type::object && type != ondemand::json_type::array)
        return QString::fromUtf8(bareValueError());

    ondemand::value root;
    if (auto error = doc.get_value().get(root))
        return failed(error);
    if (type == ondemand::json_type::object) {
        ondemand::object object;
        if (auto error = root.get_object().get(object))
            return failed(error);
        for (auto field : object) {
            std::string_view key;
            if (auto error = field.unescaped_key().get(key))
                return failed(error);
            if (auto error = onRoot(key, field.value()))
                return failed(error);
        }
        isObject = true;
    } else if (auto error = skipValue(Value(std::move(root)))) {
        return failed(error);
    }
    // Anything after the top-level value makes the payload invalid.
    const char *rest = nullptr;
    if (doc.current_location().get(rest) == simdjson::SUCCESS)
        return failed(simdjson::TRAILING_CONTENT);
    return std::nullopt;
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
    // One payload, with every "data: " removed from it.
    virtual void readPayload(simdjson::padded_string_view json, std::string_view payload) = 0;

    ondemand::parser m_parser;

private:
    void consume(QByteArrayView bytes) override
    {
        if (m_notUtf8)
            return;
        const char *data = bytes.data();
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
            readLineCopy(m_partial);
            m_partial.clear();
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
            readLineCopy(m_partial);
        m_partial.clear();
    }

    void readLineCopy(const std::string &line)
    {
        m_line.assign(line);
        m_line.reserve(m_line.size() + simdjson::SIMDJSON_PADDING);
        readLine(m_line, m_line.data() + m_line.capacity());
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
                readPayload(simdjson::padded_string_view(payload.data(), payload.size(), readable),
                            payload);
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
        readPayload(
            simdjson::padded_string_view(m_scratch.data(), m_scratch.size(), m_scratch.capacity()),
            std::string_view(m_scratch));
    }

    std::string m_partial; // a line whose line end has not arrived
    std::string m_line;
    std::string m_scratch;
};

class OpenAIStreamReader final : public LineStreamReader {
    void readPayload(simdjson::padded_string_view json, std::string_view) override
    {
        m_content.reset();
        bool isObject = false;
        const auto failure =
            parsePayload(m_parser, json, isObject, [this](std::string_view key, Value v) {
                return key == "choices" ? readChoices(v) : skipValue(v);
            });
        if (failure) {
            logParseFailure(*failure);
            return;
        }
        if (isObject && m_content)
            m_collected += *m_content;
    }

    // choices[0].delta.content, when "choices" is a non-empty array of objects.
    simdjson::error_code readChoices(Value value)
    {
        m_content.reset();
        ondemand::json_type type;
        if (auto error = value.type().get(type))
            return error;
        if (type != ondemand::json_type::array)
            return skipValue(value);
        ondemand::array array;
        if (auto error = value.get_array().get(array))
            return error;
        bool allObjects = true;
        bool first = true;
        for (auto element : array) {
            Value item = element;
            bool isObject = false;
            if (!first) {
                if (auto error = item.type().get(type))
                    return error;
                allObjects = allObjects && type == ondemand::json_type::object;
                if (auto error = skipValue(item))
                    return error;
                continue;
            }
            first = false;
            auto error = forEachField(item, isObject, [this](std::string_view key, Value v) {
                if (key != "delta")
                    return skipValue(v);
                m_content.reset();
                bool deltaIsObject = false;
                return forEachField(v, deltaIsObject, [this](std::string_view k, Value c) {
                    return k == "content" ? readString(c, m_content) : skipValue(c);
                });
            });
            if (error)
                return error;
            allObjects = allObjects && isObject;
        }
        if (first || !allObjects)
            m_content.reset();
        return simdjson::SUCCESS;
    }

    OptionalText m_content;
};

class ClaudeStreamReader final : public LineStreamReader {
    void readPayload(simdjson::padded_string_view json, std::string_view payload) override
    {
        m_type.reset();
        m_text.reset();
        bool isObject = false;
        const auto failure =
            parsePayload(m_parser, json, isObject, [this](std::string_view key, Value v) {
                if (key == "type")
                    return readString(v, m_type);
                if (key != "delta")
                    return skipValue(v);
                m_text.reset();
                bool deltaIsObject = false;
                return forEachField(v, deltaIsObject, [this](std::string_view k, Value t) {
                    return k == "text" ? readString(t, m_text) : skipValue(t);
                });
            });
        if (failure) {
            logParseFailure(*failure);
            return;
        }
        if (!isObject || !m_type)
            return;
        if (*m_type == "content_block_delta") {
            if (m_text)
                m_collected += *m_text;
        } else if (*m_type == "message_delta") {
            DiagnosticLog::line(QStringLiteral("Message Delta: ") +
                                QString::fromUtf8(payload.data(), qsizetype(payload.size())));
        } else {
            DiagnosticLog::line(QStringLiteral("Unhandled event type: ") +
                                QString::fromUtf8(m_type->data(), qsizetype(m_type->size())));
        }
    }

    OptionalText m_type;
    OptionalText m_text;
};

// Plain-text pieces: the first runs from after the first "data: " in the body, each from one
// separator "\ndata: " to the next; a "\r" before a separator and one line end that ends the
// body are not part of a piece. The body is kept whole: the log quotes it when it ends.
class PlainDataStreamReader final : public ReplyStreamReader {
    static constexpr std::string_view kSeparator = "\ndata: ";

    void consume(QByteArrayView bytes) override
    {
        if (m_notUtf8)
            return;
        m_body.append(bytes.data(), size_t(bytes.size()));
        validate(wholeCharactersEnd(m_body));
        if (!m_notUtf8)
            scan(false);
    }

    void end(bool) override
    {
        if (!m_notUtf8)
            validate(m_body.size());
        if (!m_notUtf8)
            scan(true);
        log();
    }

    void validate(size_t upTo)
    {
        if (upTo <= m_valid)
            return;
        if (!validUtf8(std::string_view(m_body).substr(m_valid, upTo - m_valid))) {
            m_notUtf8 = true;
            return;
        }
        m_valid = upTo;
    }

    // Finds what the valid bytes settle: the first "data: ", the separators, and how much of
    // the current piece can be shown already.
    void scan(bool bodyEnded)
    {
        const std::string_view text = std::string_view(m_body).substr(0, m_valid);
        if (!m_started) {
            const size_t first = text.find(kDataPrefix, m_searchFrom);
            if (first == std::string_view::npos) {
                m_searchFrom =
                    text.size() > kDataPrefix.size() ? text.size() - kDataPrefix.size() : 0;
                return;
            }
            m_started = true;
            m_pieceStart = m_shown = m_searchFrom = first + kDataPrefix.size();
        }
        for (;;) {
            const size_t next = text.find(kSeparator, m_searchFrom);
            if (next == std::string_view::npos)
                break;
            size_t pieceEnd = next;
            if (pieceEnd > m_pieceStart && text[pieceEnd - 1] == '\r')
                --pieceEnd;
            closePiece(pieceEnd);
            m_pieceStart = m_shown = m_searchFrom = next + kSeparator.size();
        }
        m_searchFrom =
            std::max(m_pieceStart,
                     text.size() >= kSeparator.size() ? text.size() - kSeparator.size() + 1 : 0);
        if (bodyEnded) {
            std::string_view piece = text.substr(m_pieceStart);
            if (piece.ends_with("\r\n"))
                piece.remove_suffix(2);
            else if (piece.ends_with('\n') || piece.ends_with('\r'))
                piece.remove_suffix(1);
            closePiece(m_pieceStart + piece.size());
            return;
        }
        show(text.size() - heldBack(text.substr(m_pieceStart)));
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
            m_collected.append(m_body, m_shown, upTo - m_shown);
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
            lines.append({originalLabel, QByteArrayView()});
        } else {
            lines.reserve(qsizetype(m_pieces.size()) + 1);
            lines.append({originalLabel, QByteArrayView(m_body.data(), qsizetype(m_body.size()))});
            for (const auto &[from, to] : m_pieces)
                lines.append(
                    {pieceLabel, QByteArrayView(m_body.data() + from, qsizetype(to - from))});
        }
        DiagnosticLog::writeUtf8Lines(lines);
    }

    std::string m_body;
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

void ReplyStreamReader::feed(QByteArrayView bytes)
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
    if (m_notUtf8 || m_handedOut >= m_collected.size())
        return {};
    const size_t from = m_handedOut;
    m_handedOut = m_collected.size();
    return QString::fromUtf8(m_collected.data() + from, qsizetype(m_collected.size() - from));
}

QString ReplyStreamReader::text() const
{
    if (m_notUtf8)
        return {};
    return QString::fromUtf8(m_collected.data(), qsizetype(m_collected.size()));
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

QString ReplyReader::formatReplyText(const QString &text)
{
    QString result = replaceCodeBlocks(text);
    result.replace(QLatin1String("###"), QLatin1String(" "));
    result.replace(QLatin1String("##"), QLatin1String(" "));
    result.replace(QLatin1String("<br>"), QLatin1String("\n"));
    result.replace(QLatin1String("**"), QLatin1String(""));
    result.replace(QLatin1String("\"\""), QLatin1String(""));
    return result;
}

QString ReplyReader::formatPartialReplyText(const QString &text)
{
    // A mark whose second half may be on its way: "**", "##", "\"\"", "<br>", a fence.
    qsizetype end = text.size();
    while (end > 0 && QStringView(u"*#\"`").contains(text.at(end - 1)))
        --end;
    for (qsizetype n = 3; n >= 1; --n) {
        if (end >= n && QStringView(u"<br>").startsWith(QStringView(text).sliced(end - n, n))) {
            end -= n;
            break;
        }
    }
    const QString partial = text.left(end);
    const QString formatted = formatReplyText(partial);
    static const QString fence = QStringLiteral("```");
    if (!formatted.contains(fence))
        return formatted;
    // A block that is still arriving shows as code now, as it will once its fence closes.
    const QString closed = formatReplyText(partial + u'\n' + fence);
    if (closed.count(fence) < formatted.count(fence))
        return closed;
    // The fence's own line (its language word) is still arriving.
    return formatted.left(formatted.lastIndexOf(fence));
}

QString ReplyReader::replaceCodeBlocks(const QString &text)
{
    const qsizetype n = text.size();
    const QChar *t = text.constData();
    // \s and \w as the expression reads them with Unicode properties on: separators,
    // \t \n \v \f \r and U+0085; letters, numbers and '_'.
    const auto isSpace = [](QChar c) {
        return c.isSpace();
    };
    const auto spaceEnd = [&](qsizetype i) {
        while (i < n && isSpace(t[i]))
            ++i;
        return i;
    };
    const auto isFence = [&](qsizetype i) {
        return i + 3 <= n && t[i] == u'`' && t[i + 1] == u'`' && t[i + 2] == u'`';
    };
    const auto wordEnd = [&](qsizetype i) {
        while (i < n) {
            const bool pair = t[i].isHighSurrogate() && i + 1 < n && t[i + 1].isLowSurrogate();
            const char32_t c = pair ? QChar::surrogateToUcs4(t[i], t[i + 1]) : t[i].unicode();
            if (c != U'_' && !QChar::isLetterOrNumber(c))
                break;
            i += pair ? 2 : 1;
        }
        return i;
    };

    // The first line break at or after `from` that is followed by white space and a fence.
    // Searches only move forward, so the scan is remembered: linear in all.
    qsizetype scannedFrom = -1;
    qsizetype scanned = -1;
    const auto closingBreak = [&](qsizetype from) -> qsizetype {
        if (scannedFrom >= 0 && from >= scannedFrom && (scanned < 0 || from <= scanned))
            return scanned;
        qsizetype found = -1;
        for (qsizetype i = from; i < n;) {
            if (t[i] != u'\n') {
                ++i;
                continue;
            }
            const qsizetype after = spaceEnd(i + 1);
            if (isFence(after)) {
                found = i;
                break;
            }
            // Every line break up to `after` is followed by the same white space.
            i = qMax(after, i + 1);
        }
        scannedFrom = from;
        scanned = found;
        return found;
    };

    QString out;
    qsizetype copied = 0;
    qsizetype from = 0; // where the search for the next block goes on
    for (qsizetype fence = text.indexOf(QLatin1String("```"), from); fence >= 0;
         fence = text.indexOf(QLatin1String("```"), fence + 1)) {
        if (fence < from)
            continue;
        const qsizetype word = wordEnd(fence + 3);
        const qsizetype space = spaceEnd(word);
        qsizetype lastBreak = -1;
        qsizetype breakBefore = -1;
        for (qsizetype i = word; i < space; ++i) {
            if (t[i] == u'\n') {
                breakBefore = lastBreak;
                lastBreak = i;
            }
        }
        if (lastBreak < 0)
            continue;
        // The code runs from after the last line break of that white space to the first line
        // break that precedes a closing fence; failing that, when the white space itself ends
        // at a fence, the code is what lies between its last two line breaks.
        qsizetype codeStart = lastBreak + 1;
        qsizetype codeEnd = closingBreak(codeStart);
        if (codeEnd < 0) {
            if (breakBefore < 0 || !isFence(space))
                continue;
            codeStart = breakBefore + 1;
            codeEnd = lastBreak;
        }
        const qsizetype closing = spaceEnd(codeEnd + 1);
        qsizetype start = fence;
        while (start > from && isSpace(t[start - 1]))
            --start;
        out.append(t + copied, start - copied);
        out.append(QLatin1String("<code>"));
        out.append(t + codeStart, codeEnd - codeStart);
        out.append(QLatin1String("</code>"));
        copied = from = spaceEnd(closing + 3);
        fence = from - 1;
    }
    if (copied == 0)
        return text;
    out.append(t + copied, n - copied);
    return out;
}
