#include "app/LeftOutReport.h"

#include "intake/FileScreening.h"
#include "platform/DisplayName.h"
#include "platform/MainThread.h"
#include "platform/PathBytes.h"
#include "ui/PlatformTools.h"

#include <QBoxLayout>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

namespace cleftone {

LeftOutReport::LeftOutReport(QBoxLayout* layout, int index, QWidget* window, PlatformTools& tools,
                             QObject* parent)
    : QObject(parent), window_(window), tools_(tools), panel_(new QWidget),
      label_(new QLabel(panel_)), button_(new QPushButton(tr("Show Files\u2026"), panel_))
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    panel_->setObjectName(QStringLiteral("leftOutPanel"));
    auto* row = new QHBoxLayout(panel_);
    row->setContentsMargins(0, 0, 0, 0);
    label_->setWordWrap(true);
    row->addWidget(label_, 1);
    row->addWidget(button_);
    button_->setAutoDefault(false);
    button_->setAccessibleDescription(tr("Lists the files that were left out, with their kind"));
    connect(button_, &QPushButton::clicked, this, [this] { showFiles(); });
    layout->insertWidget(index, panel_);
    panel_->hide();
}

void LeftOutReport::setPaths(const QStringList& paths)
{
    paths_ = paths;
    panel_->setVisible(!paths.isEmpty());
    label_->setText(
        paths.size() == 1
            ? tr("Left out 1 audio file that Cleftone cannot strip.")
            //: Under the file list after a drop; %1 is the number of files.
            : tr("Left out %1 audio files that Cleftone cannot strip.").arg(paths.size()));
}

void LeftOutReport::showFiles()
{
    auto* dialog = new QDialog(window_);
    dialog->setObjectName(QStringLiteral("leftOutDialog"));
    dialog->setWindowTitle(tr("Files Left Out"));
    auto* column = new QVBoxLayout(dialog);
    auto* message = new QLabel(tr("These files were not added: they hold audio or video in a "
                                  "format that Cleftone cannot strip."),
                               dialog);
    message->setWordWrap(true);
    auto* list = new QTreeWidget(dialog);
    list->setObjectName(QStringLiteral("leftOutList"));
    list->setAccessibleName(tr("Files left out"));
    list->setRootIsDecorated(false);
    list->setHeaderLabels({tr("File"), tr("Reason")});
    for (const QString& path : std::as_const(paths_)) {
        const QString kind = mediaTypeDescription(path);
        //: Why a file was left out: %1 is what it holds, such as "MIDI audio".
        const QString reason = kind.isEmpty()
                                   ? tr("Cleftone cannot strip this format")
                                   : tr("%1: Cleftone cannot strip this format").arg(kind);
        auto* item = new QTreeWidgetItem(list, {displayNameAtPath(path), reason});
        item->setToolTip(0, displayPath(path));
    }
    list->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    column->addWidget(message);
    column->addWidget(list, 1);
    column->addWidget(buttons);
    dialog->resize(560, 320);
    tools_.beginDialogSheet(window_, dialog, [](int) {});
}

} // namespace cleftone
