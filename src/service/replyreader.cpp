#include "replyreader.h"

#include "diagnosticlog.h"

#include <simdjson.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ondemand = simdjson::ondemand;
using Value = simdjson::simdjson_result<ondemand::value>;

namespace {

constexpr std::string_view kDataPrefix = "data: ";

// The body with SIMDJSON_PADDING readable bytes after its end, so every line inside it can be
// handed to the parser without a copy of its own.
class PaddedBody {
public:
    explicit PaddedBody(const QByteArray &body)
        : m_size(size_t(body.size())), m_bytes(new char[m_size + simdjson::SIMDJSON_PADDING])
    {
        std::memcpy(m_bytes.get(), body.constData(), m_size);
        std::memset(m_bytes.get() + m_size, 0, simdjson::SIMDJSON_PADDING);
    }
    std::string_view text() const { return {m_bytes.get(), m_size}; }
    size_t capacityFrom(const char *p) const
    {
        return size_t(m_bytes.get() + m_size + simdjson::SIMDJSON_PADDING - p);
    }

private:
    size_t m_size;
    std::unique_ptr<char[]> m_bytes;
};

bool isUtf8(const QByteArray &body)
{
    return simdjson::validate_utf8(body.constData(), size_t(body.size()));
}

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

// Splits the body into lines at "\n", drops a "\r" that ends a line and empty lines, and hands
// every line that starts with "data: " to `onPayload` with every "data: " removed from it.
template <typename OnPayload> void forEachDataLine(const PaddedBody &body, OnPayload onPayload)
{
    const std::string_view text = body.text();
    std::string scratch;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || !line.starts_with(kDataPrefix))
            continue;

        std::string_view payload = line.substr(kDataPrefix.size());
        if (payload.find(kDataPrefix) == std::string_view::npos) {
            onPayload(simdjson::padded_string_view(payload.data(), payload.size(),
                                                   body.capacityFrom(payload.data())),
                      payload);
            continue;
        }
        scratch.clear();
        size_t from = 0;
        for (size_t at; (at = payload.find(kDataPrefix, from)) != std::string_view::npos;
             from = at + kDataPrefix.size())
            scratch.append(payload.substr(from, at - from));
        scratch.append(payload.substr(from));
        scratch.reserve(scratch.size() + simdjson::SIMDJSON_PADDING);
        onPayload(simdjson::padded_string_view(scratch.data(), scratch.size(), scratch.capacity()),
                  std::string_view(scratch));
    }
}

void logParseFailure(const QString &description)
{
    DiagnosticLog::line(QStringLiteral("JSON解析失败: ") + description);
}

} // namespace

QString ReplyReader::readOpenAIStream(const QByteArray &body)
{
    if (!isUtf8(body))
        return {};
    const PaddedBody padded(body);
    ondemand::parser parser;
    std::string collected;
    OptionalText content;

    // choices[0].delta.content, when "choices" is a non-empty array of objects.
    const auto readChoices = [&](Value value) -> simdjson::error_code {
        content.reset();
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
            auto error = forEachField(item, isObject, [&](std::string_view key, Value v) {
                if (key != "delta")
                    return skipValue(v);
                content.reset();
                bool deltaIsObject = false;
                return forEachField(v, deltaIsObject, [&](std::string_view k, Value c) {
                    return k == "content" ? readString(c, content) : skipValue(c);
                });
            });
            if (error)
                return error;
            allObjects = allObjects && isObject;
        }
        if (first || !allObjects)
            content.reset();
        return simdjson::SUCCESS;
    };

    forEachDataLine(padded, [&](simdjson::padded_string_view json, std::string_view) {
        content.reset();
        bool isObject = false;
        const auto failure =
            parsePayload(parser, json, isObject, [&](std::string_view key, Value v) {
                return key == "choices" ? readChoices(v) : skipValue(v);
            });
        if (failure) {
            logParseFailure(*failure);
            return;
        }
        if (isObject && content)
            collected += *content;
    });
    return QString::fromUtf8(collected.data(), qsizetype(collected.size()));
}

QString ReplyReader::readClaudeStream(const QByteArray &body)
{
    if (!isUtf8(body))
        return {};
    const PaddedBody padded(body);
    ondemand::parser parser;
    std::string collected;
    OptionalText type;
    OptionalText text;

    forEachDataLine(padded, [&](simdjson::padded_string_view json, std::string_view payload) {
        type.reset();
        text.reset();
        bool isObject = false;
        const auto failure =
            parsePayload(parser, json, isObject, [&](std::string_view key, Value v) {
                if (key == "type")
                    return readString(v, type);
                if (key != "delta")
                    return skipValue(v);
                text.reset();
                bool deltaIsObject = false;
                return forEachField(v, deltaIsObject, [&](std::string_view k, Value t) {
                    return k == "text" ? readString(t, text) : skipValue(t);
                });
            });
        if (failure) {
            logParseFailure(*failure);
            return;
        }
        if (!isObject || !type)
            return;
        if (*type == "content_block_delta") {
            if (text)
                collected += *text;
        } else if (*type == "message_delta") {
            DiagnosticLog::line(QStringLiteral("Message Delta: ") +
                                QString::fromUtf8(payload.data(), qsizetype(payload.size())));
        } else {
            DiagnosticLog::line(QStringLiteral("Unhandled event type: ") +
                                QString::fromUtf8(type->data(), qsizetype(type->size())));
        }
    });
    return QString::fromUtf8(collected.data(), qsizetype(collected.size()));
}

QString ReplyReader::readPlainDataStream(const QByteArray &body)
{
    static const QByteArray originalLabel = QStringLiteral("原文 ").toUtf8();
    static const QByteArray pieceLabel = QStringLiteral("提取的完整内容:\n ").toUtf8();

    // A body that is not UTF-8 reads, and is logged, as the empty text.
    const bool utf8 = isUtf8(body);
    QList<DiagnosticLog::Utf8Line> log{
        {originalLabel, utf8 ? QByteArrayView(body) : QByteArrayView()}};
    std::string collected;
    collected.reserve(utf8 ? size_t(body.size()) : 0);

    const std::string_view text(body.constData(), size_t(utf8 ? body.size() : 0));
    const size_t first = text.find(kDataPrefix);
    // The pieces run from one "data: " to the next line end followed by "data: ".
    constexpr std::string_view separator = "\ndata: ";
    size_t start = first + kDataPrefix.size();
    while (first != std::string_view::npos) {
        const size_t next = text.find(separator, start);
        std::string_view piece;
        if (next == std::string_view::npos) {
            piece = text.substr(start);
            // One line end that ends the body is not part of the last piece.
            if (piece.ends_with("\r\n"))
                piece.remove_suffix(2);
            else if (piece.ends_with('\n') || piece.ends_with('\r'))
                piece.remove_suffix(1);
        } else {
            piece = text.substr(start, next - start);
            if (piece.ends_with('\r'))
                piece.remove_suffix(1);
        }
        log.append({pieceLabel, QByteArrayView(piece.data(), qsizetype(piece.size()))});
        collected.append(piece);
        if (next == std::string_view::npos)
            break;
        start = next + separator.size();
    }
    DiagnosticLog::writeUtf8Lines(log);
    return QString::fromUtf8(collected.data(), qsizetype(collected.size()));
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
