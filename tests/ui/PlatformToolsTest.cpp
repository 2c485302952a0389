#include "ui/PlatformTools.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <optional>

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
    for (const auto& [path, expected] : {std::pair{"/tmp/a", "/tmp/a.log"},
                                         {"/tmp/a.LOG", "/tmp/a.LOG"},
                                         {"/tmp/a.txt", "/tmp/a.txt.log"},
                                         {"/tmp/v1.2/a", "/tmp/v1.2/a.log"},
                                         {"", ""}})
        EXPECT_EQ(PlatformTools::withRequiredExtension(path, "log"), expected) << path;
}

// A sheet is window-modal and does not block; an alert is application-modal and does.
TEST(PlatformToolsTest, SheetsAndAlertsAnswerTheButtonIndexAndCheckbox)
{
    QWidget window;
    window.show();
    QtPlatformTools tools;
    AlertSpec spec;
    spec.messageText = "Question";
    spec.buttonTitles = {"Add", "Skip", "Cancel"};
    spec.defaultButton = 2;
    spec.checkboxText = "Apply to all";
    std::optional<std::pair<int, bool>> answer;
    tools.beginSheet(&window, spec, [&](int button, bool checked) { answer = {button, checked}; });
    ASSERT_FALSE(answer);
    auto* box = window.findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->text(), "Question");
    ASSERT_TRUE(box->checkBox() && !box->checkBox()->isChecked());
    box->checkBox()->setChecked(true);
    buttonTitled(box, "Skip")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 5000));
    EXPECT_EQ(*answer, std::make_pair(1, true));

    spec.checkboxChecked = true;
    QTimer poll; // presses "Cancel", the default, once the alert is up
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
            box->defaultButton()->click();
        }
    });
    poll.start(20);
    bool checked = false;
    EXPECT_EQ(tools.runAlert(spec, &checked), 2);
    EXPECT_TRUE(checked);
}

} // namespace
} // namespace cleftone
