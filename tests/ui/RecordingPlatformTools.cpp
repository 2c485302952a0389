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

QStringList RecordingPlatformTools::runOpenPanel(QWidget*, const QString& title)
{
    calls << QStringLiteral("runOpenPanel");
    openPanelTitles << title;
    if (openPanelAnswers.empty())
        return {};
    const QStringList paths = openPanelAnswers.front();
    openPanelAnswers.pop_front();
    return paths;
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
