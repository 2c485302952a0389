#pragma once

#include "ui/PlatformTools.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <deque>
#include <functional>
#include <utility>

namespace cleftone::test {

/// PlatformTools for tests: records every call and answers from a script, so no dialog ever
/// opens. Unscripted prompts answer as if cancelled: the last button, an empty path or list.
class RecordingPlatformTools : public PlatformTools {
public:
    struct Alert {
        AlertSpec spec;
        QWidget* window = nullptr; ///< the sheet's window; null for an application-modal alert
    };
    struct SavePanel {
        QWidget* parent = nullptr;
        QString title;
        QString suggestedName;
        QString requiredExtension;
    };

    // The script, consumed front first.
    std::deque<std::pair<int, bool>> alertAnswers; ///< {button, checkbox}
    std::deque<QString> savePanelAnswers;
    std::deque<QStringList> openPanelAnswers;
    bool openUrlAnswer = true;

    // What happened, in call order.
    QList<Alert> alerts;
    QList<SavePanel> savePanels;
    QStringList openPanelTitles;
    QList<QUrl> openedUrls;
    int beeps = 0;
    QStringList clipboardTexts;
    /// Every call by name ("runAlert", "beginSheet", "runSavePanel", ...), in order.
    QStringList calls;

    int runAlert(const AlertSpec& spec, bool* checkboxChecked = nullptr) override;
    /// Answers at once, before returning: tests need no event loop for it.
    void beginSheet(QWidget* window, const AlertSpec& spec,
                    std::function<void(int button, bool checkboxChecked)> done) override;
    QString runSavePanel(QWidget* parent, const QString& title, const QString& suggestedName,
                         const QString& requiredExtension) override;
    QStringList runOpenPanel(QWidget* parent, const QString& title) override;
    bool openUrl(const QUrl& url) override;
    void beep() override;
    void setClipboardText(const QString& text) override;

private:
    std::pair<int, bool> nextAlertAnswer(const AlertSpec& spec);
};

} // namespace cleftone::test
