#include "chat/editorcontroller.h"

#include "core/diagnosticlog.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QInputMethod>
#include <QKeyEvent>

#include <algorithm>

EditorController::EditorController(QObject *parent) : QObject(parent) {}

void EditorController::setEditor(QQuickItem *editor)
{
    if (editor == m_editor)
        return;
    if (m_editor) {
        m_editor->removeEventFilter(this);
        disconnect(m_editor, nullptr, this, nullptr);
    }
    m_editor = editor;
    if (m_editor) {
        m_editor->installEventFilter(this);
        connect(m_editor, SIGNAL(textChanged()), this, SLOT(remeasure()));
        connect(m_editor, SIGNAL(fontChanged(QFont)), this, SLOT(remeasure()));
        connect(m_editor, &QQuickItem::widthChanged, this, &EditorController::remeasure);
    }
    emit editorChanged();
    remeasure();
}

QString EditorController::text() const
{
    return m_editor ? m_editor->property("text").toString() : QString();
}

qreal EditorController::measure(const QString &text, const QFont &font, qreal width)
{
    if (width <= 0)
        width = kFallbackWidth;
    const QFontMetricsF metrics(font);
    qreal height = metrics.boundingRect(QRectF(0, 0, width, 1e7), Qt::TextWordWrap, text).height();
    // A trailing line break starts a line that has no glyphs yet but takes room all the same.
    if (text.endsWith(u'\n'))
        height += metrics.lineSpacing();
    return std::clamp(height + 20, kMinimumHeight, kMaximumHeight);
}

void EditorController::remeasure()
{
    qreal height = kMinimumHeight;
    if (m_editor) {
        const qreal padding = m_editor->property("leftPadding").toReal() +
                              m_editor->property("rightPadding").toReal();
        height =
            measure(text(), m_editor->property("font").value<QFont>(), m_editor->width() - padding);
    }
    if (!qFuzzyCompare(height, m_height)) {
        m_height = height;
        emit dynamicHeightChanged();
    }
}

bool EditorController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_editor || m_forwarding || event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    auto *key = static_cast<QKeyEvent *>(event);
    // The keypad's Enter is a different key and keeps the editor's own behaviour.
    if (key->key() != Qt::Key_Return)
        return false;
    handleReturn(key);
    return true;
}

void EditorController::handleReturn(QKeyEvent *event)
{
    if (!m_editor->property("preeditText").toString().isEmpty()) {
        QGuiApplication::inputMethod()->commit();
        return;
    }
    if (event->modifiers() & Qt::ShiftModifier) {
        // The editor inserts the break itself, at the cursor and over any selection, as it
        // does for a plain Return.
        QKeyEvent plain(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
        m_forwarding = true;
        QCoreApplication::sendEvent(m_editor, &plain);
        m_forwarding = false;
        remeasure();
        DiagnosticLog::line("Shift + Enter 按下");
        return;
    }
    if (text().trimmed().isEmpty()) {
        DiagnosticLog::line("无法发送空白消息");
        return;
    }
    emit send();
    DiagnosticLog::line("TextEditor 中的内容:", text());
    DiagnosticLog::line("Enter 按下");
}
