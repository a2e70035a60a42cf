#include "chat/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>

void Clipboard::setText(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

bool Clipboard::setImage(const QString &path)
{
    QImage image;
    if (path.isEmpty() || !image.load(path))
        return false;
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setImage(image);
    return true;
}
