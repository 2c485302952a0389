#include "RecordingPlatformTools.h"

namespace cleftone::test {
namespace {

template <typename T> T next(std::deque<T>& script, T otherwise = T())
{
    if (script.empty())
        return otherwise;
    T answer = std::move(script.front());
    script.pop_front();
    return answer;
}

} // namespace

int RecordingPlatformTools::runAlert(const AlertSpec& spec, bool* checkboxChecked)
{
    calls << "runAlert";
    alerts.append({spec, nullptr});
    const auto [button, checked] =
        next(alertAnswers, {qMax(int(spec.buttonTitles.size()) - 1, 0), spec.checkboxChecked});
    if (checkboxChecked)
        *checkboxChecked = checked;
    return button;
}

void RecordingPlatformTools::beginSheet(QWidget* window, const AlertSpec& spec,
                                        std::function<void(int button, bool checkboxChecked)> done)
{
    bool checked = false;
    const int button = runAlert(spec, &checked);
    calls.last() = "beginSheet";
    alerts.last().window = window;
    if (done)
        done(button, checked);
}

QString RecordingPlatformTools::runSavePanel(QWidget* parent, const QString&,
                                             const QString& suggestedName,
                                             const QString& requiredExtension)
{
    calls << "runSavePanel";
    savePanels.append({parent, suggestedName, requiredExtension});
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
    done(next(openPanelAnswers));
}

void RecordingPlatformTools::beginDialogSheet(QWidget*, QDialog* dialog,
                                              std::function<void(int result)> done)
{
    calls << "beginDialogSheet";
    if (const auto answer = next(dialogAnswers)) {
        done(answer(dialog));
        delete dialog;
    } else {
        pendingDialogs.append({dialog, std::move(done)});
    }
}

void RecordingPlatformTools::finishPendingDialog(int result)
{
    PendingDialog pending = pendingDialogs.takeFirst();
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
