#pragma once

#include <QAtomicInt>
#include <QCache>
#include <QColor>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QThread;
class ScriptHost;

// Runs the bundled JavaScript libraries (highlight.js, MathJax) for the answer views, on one
// thread of its own with one engine. Nothing of it exists until the first answer with code or
// math asks: the thread and the engine start at the first request, and each library loads at
// the first request that needs it. Results come back on the thread that asked, through the
// event loop, and are kept by content, so a row that scrolls back into view is drawn at once.
class ScriptWorker : public QObject {
    Q_OBJECT

public:
    // A code block's colours: [start, length, role, ...] in UTF-16 code units, role an index
    // into CodeHighlighter::Role. `language` is the one used ("" when none: the text stays
    // plain).
    struct Colouring {
        QString language;
        QList<int> ranges;
    };
    // What a formula is drawn as, at the text size and in the colour asked for.
    struct FormulaRequest {
        QString tex;
        bool display = false;
        qreal pixelSize = 14;
        QColor colour;
    };
    struct Formula {
        bool ok = false;   // false: TeX that does not typeset; shown as its source
        QImage image;      // at twice the size, for sharp edges on any screen
        QSizeF size;       // in pixels
        qreal descent = 0; // pixels below the baseline
        QString error;     // MathJax's reason, for the log
    };

    // Blocks longer than this stay plain: colouring grows with the text, and a reader does not
    // read five thousand lines by their colours.
    static constexpr int kMostColouredLines = 5000;

    static ScriptWorker *instance();
    // Whether anything has started the thread: nothing should have for the first window.
    static bool started();

    // A result kept from an earlier request, or null.
    const Colouring *cachedColouring(const QString &code, const QString &language) const;
    const Formula *cachedFormula(const FormulaRequest &request) const;

    // `done` runs on this object's thread (at once for a kept result), unless `receiver` is
    // gone by then; with no receiver it always runs.
    void colour(const QString &code, const QString &language, QObject *receiver,
                std::function<void(const Colouring &)> done);
    void typeset(const FormulaRequest &request, QObject *receiver,
                 std::function<void(const Formula &)> done);

    ~ScriptWorker() override;

signals:
    // A formula has been typeset (or has failed): views that wait for one draw again.
    void formulaReady();

private:
    template <typename Result> struct Waiter {
        QPointer<QObject> receiver;
        std::function<void(const Result &)> done;
    };

    explicit ScriptWorker(QObject *parent);
    void startThread();
    // Either kind of request: a kept result at once; otherwise the caller waits with any others
    // for the same key, and the first of them posts `work` to the thread. The result is kept at
    // `cost(result)`.
    template <typename Result, typename Work, typename Cost>
    void obtain(QCache<QString, Result> &kept, QHash<QString, QList<Waiter<Result>>> &waiting,
                const QString &key, QObject *receiver, std::function<void(const Result &)> done,
                Work work, Cost cost);
    // After a result has reached its waiters: views that wait for a formula draw again.
    void landed(const Colouring &) {}
    void landed(const Formula &) { emit formulaReady(); }
    static QString colourKey(const QString &code, const QString &language);
    static QString formulaKey(const FormulaRequest &request);

    QThread *m_thread = nullptr;
    ScriptHost *m_host = nullptr;
    QAtomicInt m_queued; // requests posted to the thread and not yet done
    QCache<QString, Colouring> m_colourings;
    QCache<QString, Formula> m_formulas;
    QHash<QString, QList<Waiter<Colouring>>> m_colouringWaiters;
    QHash<QString, QList<Waiter<Formula>>> m_formulaWaiters;
};
