#include "imagegenerator.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>

#include <cmath>

namespace {

QRandomGenerator seededBy(const QString &prompt)
{
    const QByteArray digest = QCryptographicHash::hash(prompt.toUtf8(), QCryptographicHash::Sha256);
    quint32 seed[8];
    for (int i = 0; i < 8; ++i) {
        seed[i] = quint32(quint8(digest[i * 4])) << 24 | quint32(quint8(digest[i * 4 + 1])) << 16 |
                  quint32(quint8(digest[i * 4 + 2])) << 8 | quint32(quint8(digest[i * 4 + 3]));
    }
    return QRandomGenerator(seed, 8);
}

QColor hue(int h, int s, int v, int alpha = 255)
{
    return QColor::fromHsv(((h % 360) + 360) % 360, s, v, alpha);
}

} // namespace

QImage ImageGenerator::draw(const QString &prompt, int size)
{
    QRandomGenerator rng = seededBy(prompt);
    const int base = int(rng.bounded(360));
    const int spread = 30 + int(rng.bounded(60));
    const double s = size;

    QImage image(size, size, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);

    // Sky: a diagonal gradient between two neighbouring hues.
    const double angle = rng.bounded(2.0 * M_PI);
    const QPointF centre(s / 2, s / 2);
    const QPointF offset(std::cos(angle) * s / 2, std::sin(angle) * s / 2);
    QLinearGradient sky(centre - offset, centre + offset);
    sky.setColorAt(0, hue(base, 90, 250));
    sky.setColorAt(0.55, hue(base + spread / 2, 120, 225));
    sky.setColorAt(1, hue(base + spread, 170, 170));
    p.fillRect(image.rect(), sky);

    // Glows: soft circles that fade out at their rim.
    const int glows = 5 + int(rng.bounded(5));
    for (int i = 0; i < glows; ++i) {
        const QPointF at(rng.bounded(s), rng.bounded(s * 0.7));
        const double radius = s * (0.08 + rng.bounded(0.25));
        QRadialGradient glow(at, radius);
        const QColor c =
            hue(base + int(rng.bounded(2 * spread)) - spread / 2, 60 + int(rng.bounded(100)), 255);
        QColor inner = c, rim = c;
        inner.setAlpha(90 + int(rng.bounded(100)));
        rim.setAlpha(0);
        glow.setColorAt(0, inner);
        glow.setColorAt(1, rim);
        p.setBrush(glow);
        p.drawEllipse(at, radius, radius);
    }

    // Waves: layered hills, darker towards the front.
    const int waves = 3 + int(rng.bounded(2));
    for (int w = 0; w < waves; ++w) {
        const double level = s * (0.55 + 0.1 * w + rng.bounded(0.05));
        const double amplitude = s * (0.02 + rng.bounded(0.05));
        const double length = s * (0.4 + rng.bounded(0.8));
        const double phase = rng.bounded(2.0 * M_PI);
        QPainterPath hill;
        hill.moveTo(0, s);
        for (int x = 0; x <= size; x += 8)
            hill.lineTo(x, level + amplitude * std::sin(phase + 2 * M_PI * x / length));
        hill.lineTo(s, s);
        hill.closeSubpath();
        QLinearGradient fill(0, level - amplitude, 0, s);
        fill.setColorAt(0, hue(base + spread + 15 * w, 120 + 25 * w, 200 - 30 * w, 220));
        fill.setColorAt(1, hue(base + spread + 15 * w, 150 + 25 * w, 120 - 20 * w, 255));
        p.setBrush(fill);
        p.drawPath(hill);
    }
    p.end();
    return image;
}

QByteArray ImageGenerator::png(const QString &prompt, int size)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    draw(prompt, size).save(&buffer, "PNG");
    return bytes;
}
