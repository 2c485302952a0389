#include "app/RunPanel.h"

#include "platform/DisplayName.h"
#include "platform/MainThread.h"
#include "platform/PathBytes.h"

#include <QKeySequence>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>

namespace cleftone {

RunPanel::RunPanel(const Widgets& widgets, QObject* parent) : QObject(parent), widgets_(widgets)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    widgets_.progressPanel->hide();
    connect(widgets_.stripButton, &QPushButton::clicked, this, [this] {
        if (stripButtonStops_)
            emit stopRequested();
        else
            emit stripRequested();
    });
    connect(widgets_.clearButton, &QPushButton::clicked, this, [this] { emit clearRequested(); });

    // The Strip/Stop button's keys.
    for (const QKeySequence& keys :
         {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)}) {
        auto* shortcut = new QShortcut(keys, widgets_.window);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (widgets_.stripButton->isEnabled())
                widgets_.stripButton->click();
        });
    }
    auto* stopShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), widgets_.window);
    connect(stopShortcut, &QShortcut::activated, this, [this] {
        if (stripButtonStops_ && widgets_.stripButton->isEnabled())
            emit stopRequested();
    });
}

void RunPanel::setHasFiles(bool hasFiles)
{
    widgets_.stripButton->setEnabled(hasFiles);
    widgets_.clearButton->setEnabled(hasFiles);
}

void RunPanel::setClearEnabled(bool enabled)
{
    widgets_.clearButton->setEnabled(enabled);
}

void RunPanel::setBusy(bool busy)
{
    stripButtonStops_ = busy;
    if (busy) {
        widgets_.stripButton->setText(QStringLiteral("Stop"));
        widgets_.clearButton->setEnabled(false);
        return;
    }
    widgets_.stripButton->setText(QStringLiteral("Strip"));
    widgets_.progressPanel->hide();
    widgets_.progressLabel->clear();
}

void RunPanel::showRunStarted(qsizetype total)
{
    widgets_.progressBar->setRange(0, int(total));
    widgets_.progressBar->setValue(0);
    widgets_.progressPanel->show();
}

void RunPanel::showProgress(qint64 handled, const QString& nextPath)
{
    widgets_.progressBar->setValue(int(handled));
    if (nextPath.isEmpty())
        return;
    widgets_.progressLabel->setText(
        QStringLiteral("Stripping \u201C%1\u201D").arg(displayNameAtPath(nextPath)));
    widgets_.progressLabel->setToolTip(displayPath(nextPath));
}

void RunPanel::showWalking()
{
    widgets_.stripButton->setEnabled(true);
    widgets_.progressBar->setRange(0, 0);
    widgets_.progressLabel->setText(QStringLiteral("Adding files\u2026"));
    widgets_.progressLabel->setToolTip(QString());
    widgets_.progressPanel->show();
}

void RunPanel::showStopping(bool walking)
{
    widgets_.stripButton->setEnabled(false);
    if (!walking)
        widgets_.progressLabel->setText(QStringLiteral("Stopping\u2026"));
}

} // namespace cleftone
