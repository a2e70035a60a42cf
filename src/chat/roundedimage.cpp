#include "chat/roundedimage.h"

#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// Decoded at twice the shown size so the picture stays sharp on high-density screens, and no
// larger, so a long chat of pictures does not hold full-size bitmaps.
QImage decode(const QString &path, int side)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QImage image = reader.read();
    if (image.isNull())
        return {};
    if (image.width() > side || image.height() > side)
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

} // namespace

RoundedImage::RoundedImage(QQuickItem *parent) : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
    connect(&m_watcher, &QFutureWatcher<QImage>::finished, this, [this] {
        if (m_watcher.property("generation").toInt() != m_generation)
            return;
        m_image = m_watcher.result();
        updateImplicitSize();
        setStatus(m_image.isNull() ? Error : Ready);
        update();
    });
}

RoundedImage::~RoundedImage()
{
    m_watcher.waitForFinished();
}

void RoundedImage::setPath(const QString &path)
{
    if (path == m_path)
        return;
    m_path = path;
    emit pathChanged();
    load();
}

void RoundedImage::setRadius(qreal radius)
{
    if (qFuzzyCompare(radius, m_radius))
        return;
    m_radius = radius;
    emit radiusChanged();
    update();
}

void RoundedImage::setMaximumSide(qreal side)
{
    if (qFuzzyCompare(side, m_maximumSide))
        return;
    m_maximumSide = side;
    emit maximumSideChanged();
    load();
}

void RoundedImage::setStatus(Status status)
{
    if (status == m_status)
        return;
    m_status = status;
    emit statusChanged();
}

void RoundedImage::load()
{
    ++m_generation;
    m_image = QImage();
    updateImplicitSize();
    update();
    if (m_path.isEmpty()) {
        setStatus(Null);
        return;
    }
    setStatus(Loading);
    m_watcher.setProperty("generation", m_generation);
    m_watcher.setFuture(QtConcurrent::run(decode, m_path, int(m_maximumSide * 2)));
}

void RoundedImage::updateImplicitSize()
{
    if (m_image.isNull()) {
        setImplicitSize(0, 0);
        return;
    }
    const QSizeF fitted =
        QSizeF(m_image.size()).scaled(m_maximumSide, m_maximumSide, Qt::KeepAspectRatio);
    setImplicitSize(fitted.width(), fitted.height());
}

void RoundedImage::paint(QPainter *painter)
{
    if (m_image.isNull())
        return;
    const QRectF target =
        QRectF(QPointF(0, 0), QSizeF(m_image.size()).scaled(size(), Qt::KeepAspectRatio));
    QPainterPath clip;
    clip.addRoundedRect(target, m_radius, m_radius);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->setClipPath(clip);
    painter->drawImage(target, m_image);
}
