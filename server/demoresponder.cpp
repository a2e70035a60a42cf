#include "demoresponder.h"

#include <QRegularExpression>
#include <QTextBoundaryFinder>

namespace {

QList<qsizetype> graphemeBoundaries(const QString &text)
{
    QList<qsizetype> bounds;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype at = 0; at >= 0; at = finder.toNextBoundary())
        bounds.append(at);
    return bounds;
}

qsizetype countGraphemes(const QString &text)
{
    QString compact = text;
    compact.remove(QRegularExpression(QStringLiteral("\\s+")));
    return graphemeBoundaries(compact).size() - 1;
}

QString shortened(const QString &text, int graphemes)
{
    const QString oneLine = text.simplified();
    const QList<qsizetype> bounds = graphemeBoundaries(oneLine);
    if (bounds.size() - 1 <= graphemes)
        return oneLine;
    return oneLine.left(bounds.at(graphemes)) + QStringLiteral("…");
}

} // namespace

QString DemoResponder::text(const QString &model, const QString &question)
{
    const QString asked = question.trimmed().isEmpty() ? QStringLiteral("（空白问题）") : question;
    const QString topic = shortened(asked, 20);
    return QStringLiteral("## 关于「%1」\n\n"
                          "你好！这里是 Talvoro 本地服务的演示回答。你的问题是：**%2**<br>"
                          "这台服务器没有配置模型提供方，所以回答由内置的演示程序生成："
                          "内容是固定的，格式与真实回答相同。\n\n"
                          "### 问题概览\n\n"
                          "- 字数：%3 个字符（不含空白）\n"
                          "- 模型：%4\n\n"
                          "### 示例代码\n\n"
                          "下面的 Python 函数统计一段文字里不含空白的字符数：\n\n"
                          "```python\n"
                          "def count_chars(text):\n"
                          "    return len(''.join(text.split()))\n"
                          "\n"
                          "print(count_chars('你好，世界'))  # 5\n"
                          "```\n\n"
                          "如需真实回答，请在启动服务前设置模型提供方的 API 密钥和地址。")
        .arg(topic, shortened(asked, 200), QString::number(countGraphemes(asked)), model);
}

QStringList DemoResponder::split(const QString &text, int graphemes)
{
    QStringList pieces;
    const QList<qsizetype> bounds = graphemeBoundaries(text);
    for (qsizetype i = 0; i + 1 < bounds.size(); i += graphemes) {
        const qsizetype end = bounds.at(qMin(i + graphemes, bounds.size() - 1));
        pieces.append(text.mid(bounds.at(i), end - bounds.at(i)));
    }
    return pieces;
}

QStringList DemoResponder::answer(const QString &model, const QString &question)
{
    return split(text(model, question), 12);
}
