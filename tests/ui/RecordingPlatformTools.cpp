#include "RecordingPlatformTools.h"

#include <algorithm>

namespace cleftone::test {

namespace {

// The script's next answer, or `otherwise` when it has run out.
template <typename T> T next(std::deque<T>& script, T otherwise = T())
{
    if (script.empty())
        return otherwise;
    T answer = std::move(script.front());
    script.pop_front();
    return answer;
}

std::pair<int, bool> nextAlertAnswer(std::deque<std::pair<int, bool>>& script,
                                     const AlertSpec& spec)
{
    return next(script, {std::max(int(spec.buttonTitles.size()) - 1, 0), spec.checkboxChecked});
}

} // namespace

int RecordingPlatformTools::runAlert(const AlertSpec& spec, bool* checkboxChecked)
{
    calls << "runAlert";
    alerts.append({spec, nullptr});
    const auto [button, checked] = nextAlertAnswer(alertAnswers, spec);
    if (checkboxChecked)
        *checkboxChecked = checked;
    return button;
}

void RecordingPlatformTools::beginSheet(QWidget* window, const AlertSpec& spec,
                                        std::function<void(int button, bool checkboxChecked)> done)
{
    calls << "beginSheet";
    alerts.append({spec, window});
    const auto [button, checked] = nextAlertAnswer(alertAnswers, spec);
    if (done)
        done(button, checked);
}

QString RecordingPlatformTools::runSavePanel(QWidget* parent, const QString& title,
                                             const QString& suggestedName,
                                             const QString& requiredExtension)
{
    calls << "runSavePanel";
    savePanels.append({parent, title, suggestedName, requiredExtension});
    return next(savePanelAnswers);
}

QString RecordingPlatformTools::runFolderPanel(QWidget*, const FolderPanelSpec& spec)
{
    calls << "runFolderPanel";
    folderPanels.append(spec);
    return next(folderPanelAnswers);
}

void RecordingPlatformTools::beginOpenPanel(QWidget*, const OpenPanelSpec& spec,
                                            std::function<void(const QStringList& paths)> done)
{
    calls << "beginOpenPanel";
    openPanels.append(spec);
    const QStringList paths = next(openPanelAnswers);
    if (done)
        done(paths);
}

void RecordingPlatformTools::beginDialogSheet(QWidget*, QDialog* dialog,
                                              std::function<void(int result)> done)
{
    calls << "beginDialogSheet";
    const auto answer = next(dialogAnswers);
    if (!answer) {
        pendingDialogs.append({dialog, std::move(done)});
        return;
    }
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
    calls << "openUrl";
    openedUrls.append(url);
    return openUrlAnswer;
}

void RecordingPlatformTools::beep()
{
    calls << "beep";
    ++beeps;
}

void RecordingPlatformTools::setClipboardText(const QString& text)
{
    calls << "setClipboardText";
    clipboardTexts << text;
}

} // namespace cleftone::test
