#pragma once

#include "ui/PlatformTools.h"

#include <QDialog>
#include <QList>
#include <QStringList>
#include <QUrl>

#include <deque>
#include <functional>
#include <utility>

namespace cleftone::test {

/// PlatformTools for tests: records every call and answers from a script, before returning, so
/// no dialog ever opens. Unscripted prompts answer as if cancelled: the last button, an empty
/// path or list. Main thread only.
class RecordingPlatformTools : public PlatformTools {
public:
    struct Alert {
        AlertSpec spec;
        QWidget* window = nullptr; ///< the sheet's window; null for an application-modal alert
    };
    struct SavePanel {
        QWidget* parent = nullptr;
        QString suggestedName;
        QString requiredExtension;
    };
    struct PendingDialog {
        QDialog* dialog = nullptr;
        std::function<void(int)> done;
    };

    // The script, consumed front first.
    std::deque<std::pair<int, bool>> alertAnswers; ///< {button, checkbox}
    std::deque<QString> savePanelAnswers;
    std::deque<QStringList> openPanelAnswers;
    std::deque<QString> folderPanelAnswers;
    /// Gets the dialog (to tick its boxes, press its buttons) and returns its result code. With
    /// none left, the dialog sheet stays pending.
    std::deque<std::function<int(QDialog*)>> dialogAnswers;
    bool openUrlAnswer = true;

    // What happened, in call order.
    QList<Alert> alerts;
    QList<SavePanel> savePanels;
    QList<OpenPanelSpec> openPanels;
    QList<FolderPanelSpec> folderPanels;
    QList<PendingDialog> pendingDialogs;
    QList<QUrl> openedUrls;
    int beeps = 0;
    QStringList clipboardTexts;
    QStringList calls; ///< every call by name ("runAlert", "beginSheet", ...)

    /// Ends the oldest pending dialog sheet with `result`, as the user would, and deletes it.
    void finishPendingDialog(int result);

    int runAlert(const AlertSpec& spec, bool* checkboxChecked = nullptr) override;
    void beginSheet(QWidget* window, const AlertSpec& spec,
                    std::function<void(int button, bool checkboxChecked)> done) override;
    QString runSavePanel(QWidget* parent, const QString& title, const QString& suggestedName,
                         const QString& requiredExtension) override;
    QString runFolderPanel(QWidget* parent, const FolderPanelSpec& spec) override;
    void beginOpenPanel(QWidget* window, const OpenPanelSpec& spec,
                        std::function<void(const QStringList& paths)> done) override;
    void beginDialogSheet(QWidget* window, QDialog* dialog,
                          std::function<void(int result)> done) override;
    bool openUrl(const QUrl& url) override;
    void beep() override;
    void setClipboardText(const QString& text) override;
};

} // namespace cleftone::test
