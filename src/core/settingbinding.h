#pragma once

#include "core/settingsstore.h"

#include <QObject>
#include <QPointer>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

// Binds a QML property to one settings key:
//     SettingBinding { id: loggedIn; key: "isLoggedIn"; defaultValue: false }
// `value` reads through the store with the default (whose type is the key's type), writing it
// stores the value, and every change of the key from anywhere in the process refreshes it.
class SettingBinding : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString key READ key WRITE setKey NOTIFY keyChanged)
    Q_PROPERTY(
        QVariant defaultValue READ defaultValue WRITE setDefaultValue NOTIFY defaultValueChanged)
    Q_PROPERTY(QVariant value READ value WRITE setValue NOTIFY valueChanged)

public:
    explicit SettingBinding(QObject *parent = nullptr);

    QString key() const { return m_key; }
    void setKey(const QString &key);
    QVariant defaultValue() const { return m_default; }
    void setDefaultValue(const QVariant &value);
    QVariant value() const;
    void setValue(const QVariant &value);

    // Tests (and a second store) can point a binding elsewhere than the process-wide store.
    void setStore(SettingsStore *store);

signals:
    void keyChanged();
    void defaultValueChanged();
    void valueChanged();

private:
    SettingsStore::Type type() const;

    QPointer<SettingsStore> m_store;
    QMetaObject::Connection m_connection;
    QString m_key;
    QVariant m_default;
};
