#include "core/settingbinding.h"

SettingBinding::SettingBinding(QObject *parent) : QObject(parent)
{
    setStore(SettingsStore::instance());
}

void SettingBinding::setStore(SettingsStore *store)
{
    disconnect(m_connection);
    m_store = store;
    if (m_store) {
        m_connection = connect(m_store, &SettingsStore::changed, this, [this](const QString &key) {
            if (key == m_key)
                emit valueChanged();
        });
    }
    emit valueChanged();
}

void SettingBinding::setKey(const QString &key)
{
    if (key == m_key)
        return;
    m_key = key;
    emit keyChanged();
    emit valueChanged();
}

void SettingBinding::setDefaultValue(const QVariant &value)
{
    if (value == m_default)
        return;
    m_default = value;
    emit defaultValueChanged();
    emit valueChanged();
}

SettingsStore::Type SettingBinding::type() const
{
    switch (m_default.typeId()) {
    case QMetaType::Bool:
        return SettingsStore::Type::Bool;
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return SettingsStore::Type::Int;
    case QMetaType::QByteArray:
        return SettingsStore::Type::Blob;
    default:
        return SettingsStore::Type::String;
    }
}

QVariant SettingBinding::value() const
{
    if (!m_store || m_key.isEmpty())
        return m_default;
    const QVariant v = m_store->value(m_key, type());
    return v.isValid() ? v : m_default;
}

void SettingBinding::setValue(const QVariant &value)
{
    if (!m_store || m_key.isEmpty())
        return;
    // The key keeps the type its default gives it, whatever JavaScript hands over.
    switch (type()) {
    case SettingsStore::Type::Bool:
        m_store->set(m_key, value.toBool());
        break;
    case SettingsStore::Type::Int:
        m_store->set(m_key, value.toLongLong());
        break;
    case SettingsStore::Type::Blob:
        m_store->set(m_key, value.toByteArray());
        break;
    case SettingsStore::Type::String:
        m_store->set(m_key, value.toString());
        break;
    }
}
