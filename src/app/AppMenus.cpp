#include "app/AppMenus.h"

#include "app/UpdateConsent.h"
#include "errorlog/ErrorLogWindowController.h"
#include "platform/BuildConfig.h"
#include "platform/MainThread.h"
#include "platform/UpdateChecker.h"
#include "ui/PlatformTools.h"
#include "ui/SettingsWindowController.h"

#include <QAction>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QUrl>

#include <algorithm>

namespace cleftone {

AppMenus::AppMenus(QMainWindow* window, Actions actions, WindowState state, Services services,
                   PlatformTools& tools, Preferences& preferences,
                   ErrorLogWindowController& errorLog, QObject* parent)
    : QObject(parent), window_(window), actions_(actions), state_(std::move(state)),
      services_(std::move(services)), tools_(tools), preferences_(preferences), errorLog_(errorLog)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    connect(actions_.showErrorLog, &QAction::triggered, this, [this] { showErrorLog(); });
    connect(actions_.visitWebsite, &QAction::triggered, this, [this] { visitWebsite(); });
    connect(actions_.emailDeveloper, &QAction::triggered, this, [this] { emailDeveloper(); });
    connect(actions_.about, &QAction::triggered, this, [this] { showAbout(); });
    for (QMenu* menu : window_->findChildren<QMenu*>())
        connect(menu, &QMenu::aboutToShow, this, [this] { updateMenuItems(); });

    // Where the distribution delivers updates there is no feed, and nothing to check.
    if (!services_.updateFeed.isEmpty()) {
        updater_ = std::make_unique<UpdateChecker>(preferences_);
        updater_->setFeedUrl(services_.updateFeed);
        connect(updater_.get(), &UpdateChecker::checkFinished, this,
                [this](const UpdateCheckResult& result) { showUpdateResult(result); });
        if (services_.automaticUpdateChecks) {
            updateConsent_ =
                std::make_unique<UpdateConsent>(*updater_, preferences_, tools_, window_);
            updateConsent_->start();
        }
    }

    insertStartupMenuItems();
}

AppMenus::~AppMenus() = default;

void AppMenus::insertStartupMenuItems()
{
    QMenu* menu = actions_.applicationMenu;

    if (updater_) {
        checkForUpdatesAction_ = new QAction(QStringLiteral("Check For Updates"), menu);
        connect(checkForUpdatesAction_, &QAction::triggered, updater_.get(),
                &UpdateChecker::checkForUpdates);
        const QList<QAction*> before = menu->actions();
        menu->insertAction(before.value(1, nullptr), checkForUpdatesAction_);
    }

    settingsAction_ = new QAction(QStringLiteral("Settings\u2026"), menu);
    settingsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settingsAction_->setMenuRole(QAction::PreferencesRole);
    connect(settingsAction_, &QAction::triggered, this, [this] { showSettings(); });
    const QList<QAction*> actions = menu->actions();
    const auto separator =
        std::find_if(actions.cbegin(), actions.cend(), [](QAction* a) { return a->isSeparator(); });
    menu->insertAction(separator == actions.cend() ? nullptr : *separator, settingsAction_);
}

bool AppMenus::validateMenuItem(const QAction* item) const
{
    if (item == actions_.addFiles)
        return !state_.busy();
    if (item == actions_.clear)
        return !state_.busy() && state_.hasFiles();
    const bool hasSelection = state_.hasSelection();
    if (item == actions_.removeSelected)
        return !state_.busy() && hasSelection;
    if (item == actions_.copy)
        return hasSelection;
    if (updater_ && item == checkForUpdatesAction_)
        return !updater_->isChecking();
    return true;
}

void AppMenus::updateMenuItems()
{
    for (QAction* action : window_->findChildren<QAction*>()) {
        if (!action->menu() && !action->isSeparator())
            action->setEnabled(validateMenuItem(action));
    }
}

void AppMenus::showSettings()
{
    if (services_.showSettings) {
        services_.showSettings();
        return;
    }
    SettingsWindowController::sharedController().showWindow();
}

void AppMenus::visitWebsite()
{
    tools_.openUrl(QUrl(QString::fromUtf8(productWebPage())));
}

void AppMenus::emailDeveloper()
{
    tools_.openUrl(QUrl(QStringLiteral("mailto:") + QString::fromUtf8(supportEmailAddress()) +
                        QStringLiteral("?subject=Cleftone%20Feedback")));
}

void AppMenus::showErrorLog()
{
    errorLog_.showWindow();
}

void AppMenus::showAbout()
{
    AlertSpec spec;
    spec.style = AlertSpec::Style::Informational;
    spec.messageText = QStringLiteral("Cleftone %1").arg(QString::fromUtf8(applicationVersion()));
    spec.informativeText = QStringLiteral("Removes tags, extra chunks and cover art from audio "
                                          "files without re-encoding them.\n\n%1")
                               .arg(QString::fromUtf8(productWebPage()));
    spec.buttonTitles = {QStringLiteral("OK")};
    tools_.beginSheet(window_, spec, nullptr);
}

void AppMenus::showUpdateResult(const UpdateCheckResult& result)
{
    AlertSpec spec;
    spec.style = result.status == UpdateCheckResult::Status::Failed
                     ? AlertSpec::Style::Warning
                     : AlertSpec::Style::Informational;
    spec.messageText = result.message;
    spec.informativeText = result.informativeText;
    const bool offersDownload =
        result.status == UpdateCheckResult::Status::UpdateAvailable && result.downloadUrl.isValid();
    spec.buttonTitles = offersDownload
                            ? QStringList{QStringLiteral("Download"), QStringLiteral("Later")}
                            : QStringList{QStringLiteral("OK")};
    const QUrl url = result.downloadUrl;
    tools_.beginSheet(window_, spec, [this, offersDownload, url](int button, bool) {
        if (offersDownload && button == 0)
            tools_.openUrl(url);
    });
}

} // namespace cleftone
