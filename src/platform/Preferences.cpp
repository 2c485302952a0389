#include "platform/Preferences.h"

#include "platform/BuildConfig.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QSettings>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <vector>

namespace cleftone {

namespace {

// Every live Preferences object, so that a change made through one reaches the others on the
// same file. Never destroyed, like the standard object.
struct Registry {
    std::mutex mutex;
    std::vector<Preferences*> objects;
};

Registry& registry()
{
    static Registry* instance = new Registry;
    return *instance;
}

// "org.example.App" → organisation "example.org", application "App".
QString standardSettingsFileName()
{
    QStringList parts = QString::fromUtf8(bundleIdentifier()).split(QLatin1Char('.'));
    const QString application = parts.takeLast();
    std::reverse(parts.begin(), parts.end());
    const QString organisation = parts.isEmpty() ? application : parts.join(QLatin1Char('.'));
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, organisation, application)
        .fileName();
}

// The file gives back text for booleans and numbers; "true" read back is the same value as true.
bool sameValue(const QVariant& a, const QVariant& b)
{
    if (a == b)
        return true;
    if (!a.isValid() || !b.isValid() || a.metaType() == QMetaType::fromType<QByteArray>() ||
        b.metaType() == QMetaType::fromType<QByteArray>())
        return false;
    return a.canConvert<QString>() && b.canConvert<QString>() && a.toString() == b.toString();
}

} // namespace

// QSettings objects are reentrant but not thread-safe. Each call makes its own, on the calling
// thread, under this object's lock; Qt shares the parsed file between them.

Preferences::Preferences(const QString& settingsFilePath, QObject* parent)
    : QObject(parent), fileName_(settingsFilePath)
{
    Registry& all = registry();
    std::lock_guard lock(all.mutex);
    all.objects.push_back(this);
}

Preferences::~Preferences()
{
    Registry& all = registry();
    std::lock_guard lock(all.mutex);
    std::erase(all.objects, this);
}

Preferences& Preferences::standard()
{
    static Preferences* instance = [] {
        auto* preferences = new Preferences(standardSettingsFileName());
        // Change signals must come from a thread with a running event loop, also when a worker
        // asks first.
        if (const QCoreApplication* app = QCoreApplication::instance())
            preferences->moveToThread(app->thread());
        return preferences;
    }();
    return *instance;
}

void Preferences::registerDefaults(const QVariantMap& defaults)
{
    std::lock_guard lock(mutex_);
    for (auto it = defaults.begin(); it != defaults.end(); ++it)
        defaults_.insert(it.key(), it.value());
}

QVariant Preferences::valueLocked(const QString& key) const
{
    QSettings settings(fileName_, QSettings::IniFormat);
    if (settings.contains(key))
        return settings.value(key);
    return defaults_.value(key);
}

QVariant Preferences::value(const QString& key) const
{
    std::lock_guard lock(mutex_);
    return valueLocked(key);
}

void Preferences::setValue(const QString& key, const QVariant& value)
{
    if (!value.isValid()) {
        removeValue(key);
        return;
    }
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        QSettings settings(fileName_, QSettings::IniFormat);
        const QVariant old = settings.contains(key) ? settings.value(key) : defaults_.value(key);
        settings.setValue(key, value);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            systemLog(QStringLiteral("Could not write the preferences file %1").arg(fileName_));
        changed = !sameValue(old, value);
    }
    if (changed)
        announceChange(key);
}

void Preferences::removeValue(const QString& key)
{
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        QSettings settings(fileName_, QSettings::IniFormat);
        if (!settings.contains(key))
            return;
        const QVariant old = settings.value(key);
        settings.remove(key);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            systemLog(QStringLiteral("Could not write the preferences file %1").arg(fileName_));
        changed = !sameValue(old, defaults_.value(key));
    }
    if (changed)
        announceChange(key);
}

QString Preferences::stringForKey(const QString& key) const
{
    const QVariant v = value(key);
    if (v.metaType() == QMetaType::fromType<QByteArray>() || !v.canConvert<QString>())
        return QString();
    return v.toString();
}

bool Preferences::boolForKey(const QString& key) const
{
    return value(key).toBool();
}

QByteArray Preferences::dataForKey(const QString& key) const
{
    const QVariant v = value(key);
    return v.metaType() == QMetaType::fromType<QByteArray>() ? v.toByteArray() : QByteArray();
}

void Preferences::announceChange(const QString& key)
{
    // Objects of this thread are told at once, after the registry lock is released, because
    // their slots may create or destroy Preferences objects. Objects of other threads get a
    // queued call, which Qt drops if they are destroyed before it is delivered.
    std::vector<QPointer<Preferences>> local;
    {
        Registry& all = registry();
        std::lock_guard lock(all.mutex);
        for (Preferences* object : all.objects) {
            if (object->fileName_ != fileName_)
                continue;
            if (object->thread() == QThread::currentThread()) {
                local.emplace_back(object);
            } else {
                QMetaObject::invokeMethod(
                    object, [object, key] { emit object->valueChanged(key, object->value(key)); },
                    Qt::QueuedConnection);
            }
        }
    }
    for (const QPointer<Preferences>& object : local) {
        if (object)
            emit object->valueChanged(key, object->value(key));
    }
}

} // namespace cleftone
