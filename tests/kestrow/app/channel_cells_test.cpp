// The "Timer" text and the painted "Progress" cell, pixel by pixel.
#include "kestrow/app/channel_model.h"
#include "kestrow/app/progress_delegate.h"

#include <QImage>
#include <QPainter>
#include <QStandardItemModel>
#include <QStyleOptionViewItem>
#include <gtest/gtest.h>

namespace kestrow::app {
namespace {

TEST(TimerText, HoursUnpaddedMinutesAndSecondsPadded) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0, "0:00:00"}, {65, "0:01:05"}, {3725, "1:02:05"}, {36000, "10:00:00"}, {359999, "99:59:59"}};
    for (auto [seconds, shown] : cases) EXPECT_EQ(FormatTimer(seconds), shown) << seconds;
}

TEST(ColourValues, ReadAsBlueGreenRed) {
    EXPECT_EQ(ColourFromBgr(0xFF0000), QColor(0, 0, 255));
    EXPECT_EQ(ColourFromBgr(0x00C800), QColor(0, 200, 0));
    EXPECT_EQ(ColourFromBgr(0x0000FF), QColor(255, 0, 0));
}

// Paints one progress cell of 200 x 32 pixels onto white.
QImage PaintCell(int percent, QColor bar, bool selected) {
    QStandardItemModel model(1, 1);
    model.setData(model.index(0, 0), percent, kPercentRole);
    model.setData(model.index(0, 0), bar, kBarColourRole);
    QImage image(200, 32, QImage::Format_RGB32);
    image.fill(Qt::white);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 200, 32);
    option.palette.setColor(QPalette::Base, Qt::white);
    option.palette.setColor(QPalette::Text, Qt::black);
    if (selected) option.state |= QStyle::State_Selected;
    QPainter painter(&image);
    ProgressDelegate().paint(&painter, option, model.index(0, 0));
    return image;
}

TEST(ProgressCell, BarRestAndOutlineSitWhereTheyShould) {
    struct Case {
        int percent;
        bool selected;
        QRgb bar, rest;
    };
    // Inner area: x 6..193 (188 pixels), y 6..25; the bar covers percent * 188 / 100.
    const Case cases[] = {
        {50, false, 0x00FF00, kProgressRestColour},
        {50, true, kProgressSelectedBarColour, 0xFFFFFF},
        {100, false, 0x00FF00, 0x00FF00},
        {0, false, kProgressRestColour, kProgressRestColour},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.percent);
        QImage image = PaintCell(c.percent, QColor(0x00FF00), c.selected);
        const int barEnd = 6 + c.percent * 188 / 100;  // first pixel after the bar
        EXPECT_EQ(image.pixel(2, 2) & 0xFFFFFF, 0xFFFFFFu);    // margin untouched
        EXPECT_EQ(image.pixel(5, 15) & 0xFFFFFF, 0x000000u);   // outline
        EXPECT_EQ(image.pixel(194, 15) & 0xFFFFFF, 0x000000u);
        EXPECT_EQ(image.pixel(7, 7) & 0xFFFFFF, c.bar);        // left corner, clear of the text
        EXPECT_EQ(image.pixel(192, 24) & 0xFFFFFF, c.rest);    // right corner
        if (c.percent > 0 && c.percent < 100) {
            EXPECT_EQ(image.pixel(barEnd - 1, 7) & 0xFFFFFF, c.bar);
            EXPECT_EQ(image.pixel(barEnd, 7) & 0xFFFFFF, c.rest);
        }
    }
}

TEST(ProgressCell, TextReadsInTheWindowColourOverTheBarAndTheTextColourOverTheRest) {
    // Blue bar, grey rest: white text pixels can only come from the text over
    // the bar, dark ones only from the text over the rest (glyph edges blend).
    auto count = [](const QImage& image, bool light) {
        int n = 0;
        for (int y = 6; y < 26; ++y)
            for (int x = 6; x < 194; ++x) {
                QColor c = QColor::fromRgb(image.pixel(x, y));
                n += light ? (c.red() > 245 && c.green() > 245 && c.blue() > 245)
                           : (c.red() < 100 && c.green() < 100 && c.blue() < 100);
            }
        return n;
    };
    QImage full = PaintCell(100, QColor(0, 0, 255), false);
    QImage none = PaintCell(0, QColor(0, 0, 255), false);
    EXPECT_GT(count(full, true), 0);
    EXPECT_EQ(count(full, false), 0);
    EXPECT_GT(count(none, false), 0);
    EXPECT_EQ(count(none, true), 0);
}

}  // namespace
}  // namespace kestrow::app
