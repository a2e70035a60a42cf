#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// Draws the picture for a prompt when no image provider is configured: soft gradients, glowing
// circles and layered waves whose colours and places all follow from a hash of the prompt, so
// the same prompt always gives the same picture. Needs no display (QImage + QPainter only).
class ImageGenerator {
public:
    static constexpr int defaultSize = 1024;

    static QImage draw(const QString &prompt, int size = defaultSize);
    static QByteArray png(const QString &prompt, int size = defaultSize);
};
