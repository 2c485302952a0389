#include "app/UpdateConsent.h"

#include "platform/MainThread.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"
#include "platform/UpdateChecker.h"
#include "ui/PlatformTools.h"

#include <QTimer>

namespace cleftone {

namespace {

const QString& automaticKey()
{
    static const QString key = QString::fromLatin1(kAutomaticallyChecksForUpdatesKey);
    return key;
}

} // namespace

UpdateConsent::UpdateConsent(UpdateChecker& checker, Preferences& preferences, PlatformTools& tools,
                             QWidget* window, QObject* parent)
    : QObject(parent), checker_(checker), preferences_(preferences), tools_(tools), window_(window)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
}

void UpdateConsent::start()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    connect(&preferences_, &Preferences::valueChanged, this,
            [this](const QString& key, const QVariant& value) {
                if (key == automaticKey() &&
                    value.toBool() != checker_.automaticallyChecksForUpdates())
                    checker_.setAutomaticallyChecksForUpdates(value.toBool());
            });
    checker_.setAutomaticallyChecksForUpdates(preferences_.boolForKey(automaticKey()));
    checker_.resetUpdateCycle();

    // A first launch is for trying the application out, not for questions. The choice itself
    // counts as the answer, so it is asked once even when made in Settings first.
    const QString launchedKey = QString::fromLatin1(kHasLaunchedBeforeKey);
    if (!preferences_.boolForKey(launchedKey))
        preferences_.setValue(launchedKey, true);
    else if (!preferences_.value(automaticKey()).isValid())
        QTimer::singleShot(0, this, [this] { ask(); });
}

void UpdateConsent::ask()
{
    if (preferences_.value(automaticKey()).isValid())
        return;
    AlertSpec spec;
    spec.style = AlertSpec::Style::Informational;
    spec.messageText = tr("Check for updates automatically?");
    spec.informativeText = tr("Cleftone can ask its update server once a day whether a newer "
                              "version is available. You can change this in Settings at any "
                              "time, and check now and then with Check For Updates.");
    spec.buttonTitles = {tr("Check Automatically"), tr("Don't Check")};
    tools_.beginSheet(window_, spec, [this](int button, bool) {
        preferences_.setValue(automaticKey(), button == 0);
    });
}

} // namespace cleftone
