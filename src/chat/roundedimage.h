#pragma once

#include <QFutureWatcher>
#include <QImage>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

// A picture file drawn fitted into a square of `maximumSide`, with rounded corners that need
// no shader, so every renderer shows them. The file is decoded off the main thread.
class RoundedImage : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString path READ path WRITE setPath NOTIFY pathChanged)
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY radiusChanged)
    Q_PROPERTY(qreal maximumSide READ maximumSide WRITE setMaximumSide NOTIFY maximumSideChanged)
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)

public:
    enum Status { Null, Loading, Ready, Error };
    Q_ENUM(Status)

    explicit RoundedImage(QQuickItem *parent = nullptr);
    ~RoundedImage() override;

    QString path() const { return m_path; }
    void setPath(const QString &path);
    qreal radius() const { return m_radius; }
    void setRadius(qreal radius);
    qreal maximumSide() const { return m_maximumSide; }
    void setMaximumSide(qreal side);
    Status status() const { return m_status; }

    void paint(QPainter *painter) override;

signals:
    void pathChanged();
    void radiusChanged();
    void maximumSideChanged();
    void statusChanged();

private:
    void load();
    void setStatus(Status status);
    void updateImplicitSize();

    QString m_path;
    qreal m_radius = 10;
    qreal m_maximumSide = 200;
    Status m_status = Null;
    QImage m_image;
    QFutureWatcher<QImage> m_watcher;
    int m_generation = 0;
};
