#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <mutex>

namespace cleftone {

/// User preferences kept in a settings file, with defaults registered in memory.
///
/// A value set by the user takes precedence over the registered default of its key. Values are
/// written to the file at once. Note that the file keeps text: a boolean written here reads back
/// from the file as "true" or "false", which boolForKey() understands.
///
/// valueChanged() follows changes made through any Preferences object of the process that uses
/// the same file, so controls bound to one object follow changes made through another.
///
/// Threads: every member may be called from any thread. valueChanged() is emitted on the
/// thread this object lives on: at once when the change is made on that thread, otherwise
/// through its event loop.
class Preferences : public QObject {
    Q_OBJECT

public:
    /// Preferences kept in `settingsFilePath` (INI format). For tests and for jobs given a
    /// store of their own.
    explicit Preferences(const QString& settingsFilePath, QObject* parent = nullptr);
    ~Preferences() override;

    /// The process's shared preferences, in the per-user configuration file named after the
    /// bundle identifier ("org.example.App" gives example.org/App.conf in the XDG configuration
    /// directory). Created on first use and moved to the main thread when a QCoreApplication
    /// exists; never destroyed.
    static Preferences& standard();

    /// Adds to the registered defaults (kept in memory only).
    void registerDefaults(const QVariantMap& defaults);

    /// The user's value for `key`, else its registered default, else an invalid QVariant.
    QVariant value(const QString& key) const;
    /// Stores `value` as the user's value. An invalid QVariant removes the user's value.
    void setValue(const QString& key, const QVariant& value);
    /// Removes the user's value; the registered default shows through again.
    void removeValue(const QString& key);

    /// The value as text; empty when missing or not text (bytes do not count as text).
    QString stringForKey(const QString& key) const;
    /// The value as a boolean; false when missing.
    bool boolForKey(const QString& key) const;
    /// The value as bytes; empty when missing or not bytes.
    QByteArray dataForKey(const QString& key) const;

    QString fileName() const { return fileName_; }

signals:
    /// `key`'s value changed; `value` is the value this object gives for it when the signal is
    /// delivered (the registered default after a removal).
    void valueChanged(const QString& key, const QVariant& value);

private:
    QVariant valueLocked(const QString& key) const;
    void announceChange(const QString& key);

    const QString fileName_;
    mutable std::mutex mutex_;
    QVariantMap defaults_;
};

} // namespace cleftone
