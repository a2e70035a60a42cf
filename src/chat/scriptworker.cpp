#include "chat/scriptworker.h"

#include <QCoreApplication>
#include <QFile>
#include <QJSEngine>
#include <QPainter>
#include <QSvgRenderer>
#include <QThread>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

ScriptWorker *theWorker = nullptr;
QThread *scriptThread = nullptr;
QtMessageHandler previousHandler = nullptr;

// The engine's compiler remarks on the bundles' minified code (a variable used before its
// declaration, as every bundler's output does): dozens of lines on each start that say
// nothing about this program.
void quietCompilerRemarks(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (QThread::currentThread() == scriptThread && context.category &&
        qstrcmp(context.category, "qt.qml.compiler") == 0)
        return;
    if (previousHandler)
        previousHandler(type, context, text);
}

// MathJax sizes in ex, with one ex half an em; set a little larger than the text's em, since
// TeX's letters are small beside the sans-serif faces of the views.
constexpr qreal kEmPerEx = 0.5;
constexpr qreal kMathScale = 1.15;

} // namespace

// Lives on the script thread: the engine and the libraries it has loaded.
class ScriptHost : public QObject {
public:
    using QObject::QObject;

    ScriptWorker::Colouring colour(const QString &code, const QString &language)
    {
        ScriptWorker::Colouring out;
        if (!load(m_highlighter, {QStringLiteral(":/scripts/highlight.bundle.js"),
                                  QStringLiteral(":/scripts/codecolours.js")}))
            return out;
        const QJSValue result =
            engine()->globalObject().property(QStringLiteral("colourCode")).call({code, language});
        if (result.isError())
            return out;
        out.language = result.property(QStringLiteral("language")).toString();
        const QVariantList ranges = result.property(QStringLiteral("ranges")).toVariant().toList();
        out.ranges.reserve(ranges.size());
        for (const QVariant &value : ranges)
            out.ranges.append(value.toInt());
        return out;
    }

    ScriptWorker::Formula typeset(const ScriptWorker::FormulaRequest &request)
    {
        ScriptWorker::Formula out;
        const QString key = (request.display ? u'D' : u'T') + request.tex;
        Svg *svg = m_svgs.object(key);
        if (!svg) {
            if (!load(m_mathJax, {QStringLiteral(":/scripts/mathjax.bundle.js")})) {
                out.error = QStringLiteral("MathJax did not load");
                return out;
            }
            const QJSValue result = engine()
                                        ->globalObject()
                                        .property(QStringLiteral("typesetTex"))
                                        .call({request.tex, request.display});
            svg = new Svg;
            if (result.isError()) {
                svg->error = result.property(QStringLiteral("message")).toString();
            } else {
                svg->text = result.property(QStringLiteral("svg")).toString();
                svg->width = result.property(QStringLiteral("width")).toNumber();
                svg->height = result.property(QStringLiteral("height")).toNumber();
                svg->depth = result.property(QStringLiteral("depth")).toNumber();
            }
            m_svgs.insert(key, svg, int(svg->text.size() + 64));
        }
        if (svg->text.isEmpty()) {
            out.error = svg->error;
            return out;
        }
        const qreal pixelsPerEx = request.pixelSize * kEmPerEx * kMathScale;
        out.size = QSizeF(svg->width, svg->height) * pixelsPerEx;
        out.descent = svg->depth * pixelsPerEx;
        QString coloured = svg->text;
        coloured.replace(QLatin1String("currentColor"), request.colour.name(QColor::HexRgb));
        QSvgRenderer renderer(coloured.toUtf8());
        if (!renderer.isValid() || out.size.isEmpty()) {
            out.error = QStringLiteral("unreadable SVG");
            return out;
        }
        constexpr qreal kScale = 2;
        out.image = QImage((out.size * kScale).toSize().expandedTo(QSize(1, 1)),
                           QImage::Format_ARGB32_Premultiplied);
        out.image.fill(Qt::transparent);
        out.image.setDevicePixelRatio(kScale);
        {
            QPainter painter(&out.image);
            painter.setRenderHint(QPainter::Antialiasing);
            renderer.render(&painter, QRectF(QPointF(0, 0), out.size));
        }
        if (request.colour.alphaF() < 1) {
            QPainter fade(&out.image);
            fade.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            fade.fillRect(QRectF(QPointF(0, 0), out.size), QColor(0, 0, 0, request.colour.alpha()));
        }
        out.ok = true;
        return out;
    }

    // After the last queued request: what the requests left behind goes back to the system,
    // so that a burst of formulas does not keep the memory it needed.
    void idle()
    {
        if (!m_engine)
            return;
        m_engine->collectGarbage();
#ifdef __GLIBC__
        malloc_trim(0);
#endif
    }

private:
    struct Svg {
        QString text;
        QString error;
        qreal width = 0;
        qreal height = 0;
        qreal depth = 0;
    };

    QJSEngine *engine()
    {
        if (!m_engine) {
            m_engine = new QJSEngine(this);
            evaluate(QStringLiteral(":/scripts/engineprelude.js"));
        }
        return m_engine;
    }

    bool evaluate(const QString &resource)
    {
        QFile file(resource);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QJSValue result = m_engine->evaluate(QString::fromUtf8(file.readAll()), resource);
        if (result.isError())
            qWarning("%s: %s", qPrintable(resource), qPrintable(result.toString()));
        return !result.isError();
    }

    // Loads `scripts` once; `state` remembers how that went (0 not tried, 1 loaded, -1 failed).
    bool load(int &state, const QStringList &scripts)
    {
        if (state == 0) {
            engine();
            state = 1;
            for (const QString &script : scripts) {
                if (!evaluate(script))
                    state = -1;
            }
            // Reading and compiling a bundle leaves its text and the parser's tables behind.
            m_engine->collectGarbage();
#ifdef __GLIBC__
            malloc_trim(0);
#endif
        }
        return state == 1;
    }

    QJSEngine *m_engine = nullptr;
    int m_highlighter = 0;
    int m_mathJax = 0;
    // MathJax's output by TeX, for the same formula in another colour or size.
    QCache<QString, Svg> m_svgs{4'000'000};
};

ScriptWorker::ScriptWorker(QObject *parent)
    : QObject(parent), m_colourings(4'000'000) // characters of code
      ,
      m_formulas(32 << 20) // bytes of images
{}

ScriptWorker::~ScriptWorker()
{
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
        // Its thread has ended, so it may go from here; a deferred deletion posted while the
        // application itself is going is never carried out, and the engine would be lost.
        delete m_host;
        m_host = nullptr;
    }
    if (scriptThread)
        qInstallMessageHandler(previousHandler);
    theWorker = nullptr;
    scriptThread = nullptr;
}

ScriptWorker *ScriptWorker::instance()
{
    if (!theWorker)
        theWorker = new ScriptWorker(QCoreApplication::instance());
    return theWorker;
}

bool ScriptWorker::started()
{
    return theWorker && theWorker->m_thread;
}

void ScriptWorker::startThread()
{
    if (m_thread)
        return;
    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("scripts"));
    scriptThread = m_thread;
    previousHandler = qInstallMessageHandler(quietCompilerRemarks);
    m_host = new ScriptHost;
    m_host->moveToThread(m_thread);
    // Below the views' priority: a formula may wait, a scroll may not.
    m_thread->start(QThread::LowPriority);
}

QString ScriptWorker::colourKey(const QString &code, const QString &language)
{
    return language + u'\n' + code;
}

QString ScriptWorker::formulaKey(const FormulaRequest &request)
{
    return QString::number(request.pixelSize) + u' ' + request.colour.name(QColor::HexArgb) +
           (request.display ? u'D' : u'T') + request.tex;
}

const ScriptWorker::Colouring *ScriptWorker::cachedColouring(const QString &code,
                                                             const QString &language) const
{
    return m_colourings.object(colourKey(code, language));
}

const ScriptWorker::Formula *ScriptWorker::cachedFormula(const FormulaRequest &request) const
{
    return m_formulas.object(formulaKey(request));
}

template <typename Result, typename Work, typename Cost>
void ScriptWorker::obtain(QCache<QString, Result> &kept,
                          QHash<QString, QList<Waiter<Result>>> &waiting, const QString &key,
                          QObject *receiver, std::function<void(const Result &)> done, Work work,
                          Cost cost)
{
    if (const Result *found = kept.object(key)) {
        done(*found);
        return;
    }
    auto &waiters = waiting[key];
    waiters.append({receiver ? receiver : this, std::move(done)});
    if (waiters.size() > 1)
        return;
    startThread();
    m_queued.fetchAndAddRelaxed(1);
    QMetaObject::invokeMethod(m_host, [this, host = m_host, key, work, cost, &kept, &waiting] {
        const Result result = work(host);
        if (m_queued.fetchAndSubRelaxed(1) == 1)
            host->idle();
        QMetaObject::invokeMethod(this, [this, key, result, cost, &kept, &waiting] {
            kept.insert(key, new Result(result), cost(result));
            for (const auto &waiter : waiting.take(key)) {
                if (waiter.receiver)
                    waiter.done(result);
            }
            landed(result);
        });
    });
}

void ScriptWorker::colour(const QString &code, const QString &language, QObject *receiver,
                          std::function<void(const Colouring &)> done)
{
    const QString key = colourKey(code, language);
    obtain(
        m_colourings, m_colouringWaiters, key, receiver, std::move(done),
        [code, language](ScriptHost *host) { return host->colour(code, language); },
        [size = int(key.size())](const Colouring &) { return size; });
}

void ScriptWorker::typeset(const FormulaRequest &request, QObject *receiver,
                           std::function<void(const Formula &)> done)
{
    obtain(
        m_formulas, m_formulaWaiters, formulaKey(request), receiver, std::move(done),
        [request](ScriptHost *host) { return host->typeset(request); },
        [](const Formula &result) {
            return int(std::max<qsizetype>(result.image.sizeInBytes(), 64));
        });
}
