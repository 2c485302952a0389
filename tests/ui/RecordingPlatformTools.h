#pragma once

#include "ui/PlatformTools.h"

#include <QDialog>
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
/// Main thread only, like the windows it stands in for.
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
    struct PendingDialog {
        QDialog* dialog = nullptr;
        std::function<void(int)> done;
    };

    // The script, consumed front first.
    std::deque<std::pair<int, bool>> alertAnswers; ///< {button, checkbox}
    std::deque<QString> savePanelAnswers;
    std::deque<QStringList> openPanelAnswers;
    std::deque<QString> folderPanelAnswers;
    /// Answers a dialog sheet at once: gets the dialog (to tick its boxes, read its buttons)
    /// and returns its result code. With none left, the sheet stays pending.
    std::deque<std::function<int(QDialog*)>> dialogAnswers;
    bool openUrlAnswer = true;

    // What happened, in call order.
    QList<Alert> alerts;
    QList<SavePanel> savePanels;
    QList<OpenPanelSpec> openPanels;
    QList<FolderPanelSpec> folderPanels;
    QList<PendingDialog> pendingDialogs; ///< dialog sheets not answered yet, oldest first
    /// Ends the oldest pending dialog sheet with `result`, as the user would, and deletes it.
    void finishPendingDialog(int result);
    QList<QUrl> openedUrls;
    int beeps = 0;
    QStringList clipboardTexts;
    QStringList calls; ///< every call by name ("runAlert", "beginSheet", ...), in order

    // Sheets and panels answer before returning (a dialog sheet when scripted): tests need no
    // event loop for them.
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
