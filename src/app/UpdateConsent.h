#pragma once

#include <QObject>

class QWidget;

namespace cleftone {

class PlatformTools;
class Preferences;
class UpdateChecker;

/// Keeps the update checker's automatic schedule to what the user agreed to. Nothing is
/// checked on the user's behalf before they said yes: the first launch only notes that it
/// happened, the second asks once (a sheet on the main window, "Check Automatically" or "Don't
/// Check"), and from then on the kAutomaticallyChecksForUpdatesKey preference decides, which
/// the Settings window changes too. Checks asked for with "Check For Updates" need no consent.
///
/// Threads: main thread only.
class UpdateConsent : public QObject {
    Q_OBJECT

public:
    /// All arguments must outlive this object.
    UpdateConsent(UpdateChecker& checker, Preferences& preferences, PlatformTools& tools,
                  QWidget* window, QObject* parent = nullptr);

    /// Applies the stored choice, and at the second launch asks once the event loop runs.
    void start();

private:
    void ask();

    UpdateChecker& checker_;
    Preferences& preferences_;
    PlatformTools& tools_;
    QWidget* window_;
};

} // namespace cleftone
