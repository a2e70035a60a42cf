#include "chat/conversationpdf.h"

#include "chat/conversationmarkdown.h"

#include <QFont>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextImageFormat>

#include <algorithm>

namespace {
constexpr double kPrintShare = 0.5; // laying out and drawing the pages, after the content

// Draws only the pictures it was given: an image link in an answer never reads a file or the
// network.
class ExportDocument : public QTextDocument {
protected:
    QVariant loadResource(int, const QUrl &) override { return {}; }
};
} // namespace

bool ConversationPdf::write(QIODevice *device, const QString &name, const MessageList &messages,
                            const std::function<void(double)> &progress)
{
    QPdfWriter writer(device);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(18, 18, 18, 18), QPageLayout::Millimeter);
    writer.setTitle(ConversationMarkdown::headingOf(name));
    writer.setCreator(QStringLiteral("Talvoro"));

    ExportDocument doc;
    doc.setDefaultFont(QFont(QStringLiteral("Noto Sans CJK SC"), 10));
    QTextCursor cursor(&doc);
    QTextCharFormat headingFormat;
    headingFormat.setFontPointSize(16);
    headingFormat.setFontWeight(QFont::Bold);
    cursor.insertText(ConversationMarkdown::headingOf(name), headingFormat);

    QTextCharFormat markFormat;
    markFormat.setFontWeight(QFont::Bold);
    QTextCharFormat metaFormat;
    metaFormat.setForeground(QColor(0x6E, 0x6E, 0x73));
    QTextBlockFormat spaced;
    spaced.setTopMargin(10);
    // The width pictures are drawn at: the text width in the document's own units.
    const double textWidth = writer.pageLayout().paintRect(QPageLayout::Point).width();

    for (qsizetype i = 0; i < messages.size(); ++i) {
        const Message &m = messages.at(i);
        if (progress && i % 25 == 0)
            progress(kPrintShare * double(i) / double(messages.size()));
        if (m.kind == MessageKind::Notice || m.kind == MessageKind::Arriving)
            continue;
        const bool question = m.kind == MessageKind::Question;
        cursor.insertBlock(spaced, QTextCharFormat());
        cursor.insertText(question ? QStringLiteral("问：") : QStringLiteral("答："), markFormat);
        const QString model = ConversationMarkdown::modelText(m);
        cursor.insertText((model.isEmpty() ? QString() : model + QStringLiteral(" · ")) +
                              ConversationMarkdown::timeText(m),
                          metaFormat);
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
        if (m.kind == MessageKind::Picture || m.cachedImagePath) {
            QImage image(m.cachedImagePath.value_or(QString()));
            if (image.isNull()) {
                cursor.insertText(QStringLiteral("【图片】"));
                continue;
            }
            const QString key = QStringLiteral("picture-%1").arg(i);
            doc.addResource(QTextDocument::ImageResource, QUrl(key), image);
            QTextImageFormat format;
            format.setName(key);
            const double width = std::min<double>(textWidth * 0.6, image.width());
            format.setWidth(width);
            format.setHeight(width * image.height() / std::max(1, image.width()));
            cursor.insertImage(format);
        } else if (question) {
            cursor.insertText(m.content);
        } else {
            cursor.insertMarkdown(
                m.content, QTextDocument::MarkdownFeatures(QTextDocument::MarkdownDialectGitHub |
                                                           QTextDocument::MarkdownNoHTML));
        }
    }
    if (progress)
        progress(kPrintShare);
    // print() lays the document out on the writer's pages: a line that does not fit moves to
    // the next page whole.
    doc.print(&writer);
    if (progress)
        progress(1.0);
    return true;
}
