#include "RecordingPlatformTools.h"

namespace cleftone::test {

std::pair<int, bool> RecordingPlatformTools::nextAlertAnswer(const AlertSpec& spec)
{
    if (alertAnswers.empty()) {
        const int buttons = int(spec.buttonTitles.size());
        return {buttons > 0 ? buttons - 1 : 0, spec.checkboxChecked};
    }
    const std::pair<int, bool> answer = alertAnswers.front();
    alertAnswers.pop_front();
    return answer;
}

int RecordingPlatformTools::runAlert(const AlertSpec& spec, bool* checkboxChecked)
{
    calls << QStringLiteral("runAlert");
    alerts.append({spec, nullptr});
    const auto [button, checked] = nextAlertAnswer(spec);
    if (checkboxChecked)
        *checkboxChecked = checked;
    return button;
}

void RecordingPlatformTools::beginSheet(QWidget* window, const AlertSpec& spec,
                                        std::function<void(int button, bool checkboxChecked)> done)
{
    calls << QStringLiteral("beginSheet");
    alerts.append({spec, window});
    const auto [button, checked] = nextAlertAnswer(spec);
    if (done)
        done(button, checked);
}

QString RecordingPlatformTools::runSavePanel(QWidget* parent, const QString& title,
                                             const QString& suggestedName,
                                             const QString& requiredExtension)
{
    calls << QStringLiteral("runSavePanel");
    savePanels.append({parent, title, suggestedName, requiredExtension});
    if (savePanelAnswers.empty())
        return QString();
    const QString path = savePanelAnswers.front();
    savePanelAnswers.pop_front();
    return path;
}

QString RecordingPlatformTools::runFolderPanel(QWidget*, const FolderPanelSpec& spec)
{
    calls << QStringLiteral("runFolderPanel");
    folderPanels.append(spec);
    if (folderPanelAnswers.empty())
        return QString();
    const QString path = folderPanelAnswers.front();
    folderPanelAnswers.pop_front();
    return path;
}

void RecordingPlatformTools::beginOpenPanel(QWidget*, const OpenPanelSpec& spec,
                                            std::function<void(const QStringList& paths)> done)
{
    calls << QStringLiteral("beginOpenPanel");
    openPanels.append(spec);
    QStringList paths;
    if (!openPanelAnswers.empty()) {
        paths = openPanelAnswers.front();
        openPanelAnswers.pop_front();
    }
    if (done)
        done(paths);
}

void RecordingPlatformTools::beginDialogSheet(QWidget*, QDialog* dialog,
                                              std::function<void(int result)> done)
{
    calls << QStringLiteral("beginDialogSheet");
    if (dialogAnswers.empty()) {
        pendingDialogs.append({dialog, std::move(done)});
        return;
    }
    auto answer = std::move(dialogAnswers.front());
    dialogAnswers.pop_front();
    const int result = answer(dialog);
    if (done)
        done(result);
    delete dialog;
}

void RecordingPlatformTools::finishPendingDialog(int result)
{
    if (pendingDialogs.isEmpty())
        return;
    PendingDialog pending = pendingDialogs.takeFirst();
    if (pending.done)
        pending.done(result);
    delete pending.dialog;
}

bool RecordingPlatformTools::openUrl(const QUrl& url)
{
    calls << QStringLiteral("openUrl");
    openedUrls.append(url);
    return openUrlAnswer;
}

void RecordingPlatformTools::beep()
{
    calls << QStringLiteral("beep");
    ++beeps;
}

void RecordingPlatformTools::setClipboardText(const QString& text)
{
    calls << QStringLiteral("setClipboardText");
    clipboardTexts << text;
}

} // namespace cleftone::test
