#include "ui/EmptyPlaceholderTableView.h"

#include <QImage>
#include <QStringListModel>
#include <QTest>
#include <gtest/gtest.h>

using cleftone::EmptyPlaceholderTableView;
using cleftone::placeholderOrigin;

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

// Centred in the visible area, or the bounds when it is empty; a half pixel rounds down (also
// below zero).
TEST(PlaceholderOriginTest, CentresInTheVisibleAreaOrTheBoundsAndRoundsDown)
{
    const struct {
        QRectF visible;
        QSizeF text;
        QPoint origin;
    } cases[] = {
        {{0, 0, 200, 100}, {50, 20}, {75, 40}},     {{0, 0, 201, 101}, {50, 20}, {75, 40}},
        {{0, 0, 200, 100}, {50.6, 20.2}, {74, 39}}, {{0, 0, 49, 19}, {50, 20}, {-1, -1}},
        {{10, 300, 200, 100}, {50, 20}, {85, 340}}, {{}, {100, 20}, {150, 140}},
        {{30, 30, 0, 80}, {100, 20}, {150, 140}},   {{30, 30, 80, 0}, {100, 20}, {150, 140}},
    };
    for (const auto& each : cases)
        EXPECT_EQ(placeholderOrigin(each.visible, QRectF(0, 0, 400, 300), each.text), each.origin)
            << each.visible.x() << "," << each.visible.width();
}

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
