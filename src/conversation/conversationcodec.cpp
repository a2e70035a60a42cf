#include "conversation/conversationcodec.h"

#include <QUrl>

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

void appendEscaped(QByteArray &out, const QString &text)
{
    static constexpr char hex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    out.append('"');
    const char *p = utf8.constData();
    const char *end = p + utf8.size();
    const char *run = p; // start of bytes that need no escaping
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(run, p - run);
        run = p + 1;
        switch (c) {
        case '"':
            out.append("\\\"", 2);
            break;
        case '\\':
            out.append("\\\\", 2);
            break;
        case '\n':
            out.append("\\n", 2);
            break;
        case '\r':
            out.append("\\r", 2);
            break;
        case '\t':
            out.append("\\t", 2);
            break;
        default: {
            const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};
            out.append(esc, 6);
        }
        }
    }
    out.append(run, end - run);
    out.append('"');
}

void appendNumber(QByteArray &out, double value)
{
    // Shortest text that reads back as the very same double. A whole number past the 64-bit
    // range comes out as bare digits, which the reader takes for an integer it cannot hold;
    // written with an exponent it is a double again. Negative zero is written as 0: "-0" reads
    // back as the integer 0, and the same message would not write the same text twice.
    if (!std::isfinite(value) || value == 0)
        value = 0;
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (std::fabs(value) >= 0x1p63 &&
        std::find_if(buffer, result.ptr, [](char c) { return c == '.' || c == 'e'; }) == result.ptr)
        result =
            std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    out.append(buffer, result.ptr - buffer);
}

void appendMessage(QByteArray &out, const Message &m)
{
    out.append("{\"id\":\"");
    out.append(Message::idText(m.id).toLatin1());
    out.append("\",\"content\":");
    appendEscaped(out, m.content);
    out.append(m.isUserMessage ? ",\"isUserMessage\":true" : ",\"isUserMessage\":false");
    out.append(",\"timestamp\":");
    appendNumber(out, m.timestamp);
    out.append(m.isLoading ? ",\"isLoading\":true" : ",\"isLoading\":false");
    if (m.avatarURL) {
        out.append(",\"avatarURL\":");
        appendEscaped(out, *m.avatarURL);
    }
    if (m.imageURL) {
        out.append(",\"imageURL\":");
        appendEscaped(out, *m.imageURL);
    }
    if (m.cachedImagePath) {
        out.append(",\"cachedImagePath\":");
        appendEscaped(out, *m.cachedImagePath);
    }
    if (m.preformatted)
        out.append(",\"preformatted\":true");
    // Branches: readers that do not know the member ignore it and read one line.
    if (m.parentId) {
        out.append(",\"parentId\":\"");
        out.append(Message::idText(*m.parentId).toLatin1());
        out.append('"');
    }
    out.append('}');
}

QString toQString(std::string_view s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// Missing and null mean absent; any other non-string is a failure.
bool readOptional(simdjson::dom::object object, std::string_view name, std::optional<QString> &out)
{
    simdjson::dom::element value;
    if (object[name].get(value) != simdjson::SUCCESS || value.is_null())
        return true;
    std::string_view text;
    if (value.get(text) != simdjson::SUCCESS)
        return false;
    out = toQString(text);
    return true;
}

std::optional<Message> readMessage(simdjson::dom::element element)
{
    simdjson::dom::object object;
    if (element.get(object) != simdjson::SUCCESS)
        return std::nullopt;

    std::string_view id;
    std::string_view content;
    bool isUser = false;
    bool isLoading = false;
    simdjson::dom::element timestamp;
    if (object["id"].get(id) != simdjson::SUCCESS ||
        object["content"].get(content) != simdjson::SUCCESS ||
        object["isUserMessage"].get(isUser) != simdjson::SUCCESS ||
        object["timestamp"].get(timestamp) != simdjson::SUCCESS ||
        object["isLoading"].get(isLoading) != simdjson::SUCCESS)
        return std::nullopt;

    double seconds = 0;
    if (timestamp.is_double() || timestamp.is_int64() || timestamp.is_uint64())
        seconds = double(timestamp);
    else
        return std::nullopt;

    const auto uuid = Message::parseId(QString::fromLatin1(id.data(), qsizetype(id.size())));
    if (!uuid)
        return std::nullopt;

    Message m(toQString(content), isUser);
    m.id = *uuid;
    m.timestamp = seconds;
    m.isLoading = isLoading;
    if (!readOptional(object, "avatarURL", m.avatarURL) ||
        !readOptional(object, "imageURL", m.imageURL) ||
        !readOptional(object, "cachedImagePath", m.cachedImagePath))
        return std::nullopt;
    if (m.imageURL && (m.imageURL->isEmpty() || !QUrl(*m.imageURL, QUrl::StrictMode).isValid()))
        return std::nullopt;
    bool preformatted = false;
    if (object["preformatted"].get(preformatted) == simdjson::SUCCESS)
        m.preformatted = preformatted;
    std::string_view parent;
    if (object["parentId"].get(parent) == simdjson::SUCCESS)
        m.parentId = Message::parseId(QString::fromLatin1(parent.data(), qsizetype(parent.size())));
    return m;
}

} // namespace

QByteArray ConversationCodec::encodeMessage(const Message &message)
{
    QByteArray out;
    appendMessage(out, message);
    return out;
}

std::optional<Message> ConversationCodec::decodeMessage(const QByteArray &bytes)
{
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(bytes.constData(), size_t(bytes.size())).get(root) != simdjson::SUCCESS)
        return std::nullopt;
    return readMessage(root);
}

QByteArray ConversationCodec::encodeMessages(const MessageList &messages)
{
    QByteArray out;
    qsizetype estimate = 2;
    for (const Message &m : messages)
        estimate += 140 + m.content.size() * 3;
    out.reserve(estimate);
    out.append('[');
    for (qsizetype i = 0; i < messages.size(); ++i) {
        if (i > 0)
            out.append(',');
        appendMessage(out, messages[i]);
    }
    out.append(']');
    return out;
}

QByteArray ConversationCodec::assemble(const QHash<QUuid, QByteArray> &encodedLists)
{
    qsizetype size = 2;
    for (const QByteArray &list : encodedLists)
        size += list.size() + 42;
    QByteArray out;
    out.reserve(size);
    out.append('[');
    bool first = true;
    for (auto it = encodedLists.cbegin(); it != encodedLists.cend(); ++it) {
        if (!first)
            out.append(',');
        first = false;
        out.append('"');
        out.append(Message::idText(it.key()).toLatin1());
        out.append("\",");
        out.append(it.value());
    }
    out.append(']');
    return out;
}

QByteArray ConversationCodec::encode(const ConversationMap &map)
{
    QHash<QUuid, QByteArray> lists;
    lists.reserve(map.size());
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        lists.insert(it.key(), encodeMessages(it.value()));
    return assemble(lists);
}

std::optional<ConversationMap> ConversationCodec::decode(const QByteArray &bytes)
{
    // The DOM parser validates the whole text (UTF-8 included) before anything is read.
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(bytes.constData(), size_t(bytes.size())).get(root) != simdjson::SUCCESS)
        return std::nullopt;
    simdjson::dom::array array;
    if (root.get(array) != simdjson::SUCCESS || array.size() % 2 != 0)
        return std::nullopt;

    ConversationMap map;
    map.reserve(qsizetype(array.size() / 2));
    for (auto it = array.begin(); it != array.end(); ++it) {
        std::string_view idText;
        if ((*it).get(idText) != simdjson::SUCCESS)
            return std::nullopt;
        const auto id =
            Message::parseId(QString::fromLatin1(idText.data(), qsizetype(idText.size())));
        ++it;
        simdjson::dom::array list;
        if (!id || (*it).get(list) != simdjson::SUCCESS)
            return std::nullopt;

        MessageList messages;
        messages.reserve(qsizetype(list.size()));
        for (simdjson::dom::element element : list) {
            auto m = readMessage(element);
            if (!m)
                return std::nullopt;
            messages.append(std::move(*m));
        }
        map.insert(*id, std::move(messages));
    }
    return map;
}
