#include "ui/EmptyPlaceholderTableView.h"

#include <QImage>
#include <QStringListModel>
#include <QTest>
#include <gtest/gtest.h>

using cleftone::EmptyPlaceholderTableView;

namespace {

// The box around every pixel of `rect` that differs from its bottom-left one.
QRect inkBox(EmptyPlaceholderTableView& view, QRect rect = QRect())
{
    const QImage image = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    rect = rect.isNull() ? image.rect() : rect;
    QRect box;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (image.pixel(x, y) != image.pixel(0, image.height() - 1))
                box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

TEST(EmptyPlaceholderTableViewTest, TextIsCentredWhileEmptyGoesWithTheFirstRowAndComesBack)
{
    QStringListModel model;
    EmptyPlaceholderTableView view;
    view.setModel(&model);
    view.resize(480, 320);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view, 5000));

    // One line of 18-point type centred in the viewport (not the widget with its headers), up to
    // the side bearings of its first and last glyph.
    const QRect ink = inkBox(view);
    const QPointF centre = QRectF(view.viewport()->rect()).center();
    EXPECT_NEAR(QRectF(ink).center().x(), centre.x(), 4.0);
    EXPECT_NEAR(QRectF(ink).center().y(), centre.y(), 5.0);
    EXPECT_GT(ink.width(), 4 * ink.height());
    EXPECT_TRUE(ink.height() > 10 && ink.height() < 40) << ink.height();

    // Below the first row, so that row's own text does not count.
    model.setStringList({QStringLiteral("Song.mp3")});
    ASSERT_LT(view.rowHeight(0), 60);
    EXPECT_TRUE(inkBox(view, view.viewport()->rect().adjusted(0, 60, 0, -60)).isNull());
    model.removeRows(0, 1);
    EXPECT_EQ(inkBox(view), ink);

    EmptyPlaceholderTableView bare; // without a model
    bare.resize(480, 320);
    EXPECT_FALSE(inkBox(bare).isNull());
}
