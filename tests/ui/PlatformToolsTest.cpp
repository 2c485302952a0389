#include "ui/PlatformTools.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QWidget>
#include <gtest/gtest.h>

#include <optional>
#include <utility>

namespace cleftone {
namespace {

QAbstractButton* buttonTitled(QMessageBox* box, const QString& title)
{
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == title)
            return button;
    }
    return nullptr;
}

TEST(PlatformToolsTest, RequiredExtensionIsAppendedOnlyWhenMissing)
{
    using P = PlatformTools;
    EXPECT_EQ(P::withRequiredExtension(QStringLiteral("/tmp/a"), QStringLiteral("log")),
              QStringLiteral("/tmp/a.log"));
    EXPECT_EQ(P::withRequiredExtension(QStringLiteral("/tmp/a.LOG"), QStringLiteral("log")),
              QStringLiteral("/tmp/a.LOG"));
    EXPECT_EQ(P::withRequiredExtension(QStringLiteral("/tmp/a.txt"), QStringLiteral("log")),
              QStringLiteral("/tmp/a.txt.log"));
    EXPECT_EQ(P::withRequiredExtension(QStringLiteral("/tmp/v1.2/a"), QStringLiteral("log")),
              QStringLiteral("/tmp/v1.2/a.log"));
    EXPECT_EQ(P::withRequiredExtension(QString(), QStringLiteral("log")), QString());
}

TEST(PlatformToolsTest, SheetIsWindowModalAndAnswersButtonIndexAndCheckbox)
{
    QWidget window;
    window.show();
    QtPlatformTools tools;
    AlertSpec spec;
    spec.messageText = QStringLiteral("Question");
    spec.buttonTitles = {QStringLiteral("Add"), QStringLiteral("Skip"), QStringLiteral("Cancel")};
    spec.checkboxText = QStringLiteral("Apply to all");
    std::optional<std::pair<int, bool>> answer;
    tools.beginSheet(&window, spec, [&](int button, bool checked) { answer = {button, checked}; });

    ASSERT_FALSE(answer) << "a sheet does not block";
    auto* box = window.findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->text(), QStringLiteral("Question"));
    ASSERT_NE(box->checkBox(), nullptr);
    EXPECT_FALSE(box->checkBox()->isChecked());
    box->checkBox()->setChecked(true);
    QAbstractButton* skip = buttonTitled(box, QStringLiteral("Skip"));
    ASSERT_NE(skip, nullptr);
    skip->click();

    const QDeadlineTimer deadline(5000);
    while (!answer && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, std::make_pair(1, true));
}

TEST(PlatformToolsTest, AlertAnswersTheIndexOfThePressedButton)
{
    QtPlatformTools tools;
    AlertSpec spec;
    spec.messageText = QStringLiteral("Replace?");
    spec.buttonTitles = {QStringLiteral("Cancel"), QStringLiteral("Replace")};
    spec.defaultButton = 1;
    spec.checkboxText = QStringLiteral("Remember");
    spec.checkboxChecked = true;

    // Presses "Replace" once the alert is up; gives up (closing it) after a bounded time.
    int polls = 0;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->isVisible()) {
            EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
            EXPECT_EQ(static_cast<QAbstractButton*>(box->defaultButton()),
                      buttonTitled(box, QStringLiteral("Replace")));
            buttonTitled(box, QStringLiteral("Replace"))->click();
            poll.stop();
        } else if (++polls > 250) {
            poll.stop();
            ADD_FAILURE() << "the alert never appeared";
        }
    });
    poll.start();
    bool checked = false;
    EXPECT_EQ(tools.runAlert(spec, &checked), 1);
    EXPECT_TRUE(checked);
}

TEST(PlatformToolsTest, OpenPanelHandsBackFilesAndFoldersChosenTogether)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("Album")));
    QFile song(dir.filePath(QStringLiteral("song.mp3")));
    ASSERT_TRUE(song.open(QIODevice::WriteOnly));
    song.close();

    QWidget window;
    QtPlatformTools tools;
    std::optional<QStringList> chosen;
    tools.beginOpenPanel(&window, {QStringLiteral("Add Files"), QStringLiteral("Add")},
                         [&](const QStringList& paths) { chosen = paths; });
    auto* dialog = window.findChild<QFileDialog*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Add Files"));
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), QStringLiteral("Add"));
    EXPECT_TRUE(dialog->isModal());

    dialog->setDirectory(dir.path());
    auto* view = dialog->findChild<QTreeView*>(QStringLiteral("treeView"));
    auto* model = dialog->findChild<QFileSystemModel*>();
    ASSERT_NE(view, nullptr);
    ASSERT_NE(model, nullptr);
    const QModelIndex folder = model->index(dir.filePath(QStringLiteral("Album")));
    const QModelIndex file = model->index(dir.filePath(QStringLiteral("song.mp3")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->rowCount(folder.parent()) == 2; }, 5000));
    view->selectionModel()->select(folder, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->selectionModel()->select(file, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QMetaObject::invokeMethod(dialog, "accept");

    ASSERT_TRUE(QTest::qWaitFor([&] { return chosen.has_value(); }, 5000));
    QStringList paths = *chosen;
    paths.sort();
    EXPECT_EQ(paths, (QStringList{dir.filePath(QStringLiteral("Album")),
                                  dir.filePath(QStringLiteral("song.mp3"))}));
}

} // namespace
} // namespace cleftone
