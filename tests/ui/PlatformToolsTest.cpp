#include "ui/PlatformTools.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
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
#include <gtest/gtest.h>

#include <optional>
#include <utility>

namespace cleftone {
namespace {

QAbstractButton* buttonTitled(QMessageBox* box, const QString& title)
{
    for (QAbstractButton* button : box->buttons())
        if (button->text() == title)
            return button;
    return nullptr;
}

TEST(PlatformToolsTest, RequiredExtensionIsAppendedOnlyWhenMissing)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/tmp/a", "/tmp/a.log"},
        {"/tmp/a.LOG", "/tmp/a.LOG"},
        {"/tmp/a.txt", "/tmp/a.txt.log"},
        {"/tmp/v1.2/a", "/tmp/v1.2/a.log"},
        {"", ""},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(PlatformTools::withRequiredExtension(path, "log"), expected) << path;
}

TEST(PlatformToolsTest, SheetIsWindowModalAndAnswersButtonIndexAndCheckbox)
{
    QWidget window;
    window.show();
    QtPlatformTools tools;
    AlertSpec spec;
    spec.messageText = "Question";
    spec.buttonTitles = {"Add", "Skip", "Cancel"};
    spec.checkboxText = "Apply to all";
    std::optional<std::pair<int, bool>> answer;
    tools.beginSheet(&window, spec, [&](int button, bool checked) { answer = {button, checked}; });

    ASSERT_FALSE(answer) << "a sheet does not block";
    auto* box = window.findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->text(), "Question");
    ASSERT_NE(box->checkBox(), nullptr);
    EXPECT_FALSE(box->checkBox()->isChecked());
    box->checkBox()->setChecked(true);
    ASSERT_NE(buttonTitled(box, "Skip"), nullptr);
    buttonTitled(box, "Skip")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 5000));
    EXPECT_EQ(*answer, std::make_pair(1, true));
}

TEST(PlatformToolsTest, AlertAnswersTheIndexOfThePressedButton)
{
    QtPlatformTools tools;
    AlertSpec spec;
    spec.messageText = "Replace?";
    spec.buttonTitles = {"Cancel", "Replace"};
    spec.defaultButton = 1;
    spec.checkboxText = "Remember";
    spec.checkboxChecked = true;

    // Presses "Replace" once the alert is up; gives up after a bounded time.
    int polls = 0;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->isVisible()) {
            EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
            EXPECT_EQ(static_cast<QAbstractButton*>(box->defaultButton()),
                      buttonTitled(box, "Replace"));
            buttonTitled(box, "Replace")->click();
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
    ASSERT_TRUE(QDir(dir.path()).mkdir("Album"));
    ASSERT_TRUE(QFile(dir.filePath("song.mp3")).open(QIODevice::WriteOnly));

    QWidget window;
    QtPlatformTools tools;
    std::optional<QStringList> chosen;
    tools.beginOpenPanel(&window, {"Add Files", "Add"},
                         [&](const QStringList& paths) { chosen = paths; });
    auto* dialog = window.findChild<QFileDialog*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Add Files");
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Add");
    EXPECT_TRUE(dialog->isModal());

    dialog->setDirectory(dir.path());
    auto* view = dialog->findChild<QTreeView*>("treeView");
    auto* model = dialog->findChild<QFileSystemModel*>();
    ASSERT_NE(view, nullptr);
    ASSERT_NE(model, nullptr);
    const QModelIndex folder = model->index(dir.filePath("Album"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->rowCount(folder.parent()) == 2; }, 5000));
    for (const QModelIndex& index : {folder, model->index(dir.filePath("song.mp3"))})
        view->selectionModel()->select(index,
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QMetaObject::invokeMethod(dialog, "accept");

    ASSERT_TRUE(QTest::qWaitFor([&] { return chosen.has_value(); }, 5000));
    QStringList paths = *chosen;
    paths.sort();
    EXPECT_EQ(paths, (QStringList{dir.filePath("Album"), dir.filePath("song.mp3")}));
}

} // namespace
} // namespace cleftone
