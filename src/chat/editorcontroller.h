#pragma once

#include <QFont>
#include <QObject>
#include <QPointer>
#include <QQuickItem>
#include <QtQml/qqmlregistration.h>

// The behaviour of the message editor: its height follows its text between two limits, Return
// sends, Shift+Return breaks the line, and Return while an input method composes only commits
// the composition. It filters the keys of its own editor only, so a key press in one chat view
// never acts in another.
class EditorController : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QQuickItem *editor READ editor WRITE setEditor NOTIFY editorChanged)
    Q_PROPERTY(qreal dynamicHeight READ dynamicHeight NOTIFY dynamicHeightChanged)

public:
    static constexpr qreal kMinimumHeight = 60;
    static constexpr qreal kMaximumHeight = 300;
    // Used while the editor has no width of its own yet.
    static constexpr qreal kFallbackWidth = 760;

    explicit EditorController(QObject *parent = nullptr);

    QQuickItem *editor() const { return m_editor; }
    void setEditor(QQuickItem *editor);
    qreal dynamicHeight() const { return m_height; }

    // Height of `text` in `font` wrapped at `width`, plus the margin, within the limits.
    static qreal measure(const QString &text, const QFont &font, qreal width);

public slots:
    void remeasure();

signals:
    void editorChanged();
    void dynamicHeightChanged();
    // Return with text that is not blank.
    void send();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void handleReturn(QKeyEvent *event);
    QString text() const;

    QPointer<QQuickItem> m_editor;
    qreal m_height = kMinimumHeight;
    bool m_forwarding = false;
};
