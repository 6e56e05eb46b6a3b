#include "shared_windows/twips.h"

#include <QFontMetrics>

#include <cmath>

TwipsLayout TwipsLayout::fitting(const QFont& font, const QVector<Text>& texts)
{
    const QFontMetrics metrics(font);
    double scale = 1.0;
    for (const Text& t : texts) {
        // A pixel of margin so antialiased edges are not cut.
        const double needed = metrics.horizontalAdvance(t.text) + t.extraPixels + 2;
        scale = std::max(scale, needed * 15.0 / t.widthTwips);
    }
    return TwipsLayout(scale);
}

int TwipsLayout::px(int twips) const
{
    return int(std::lround(twips * m_scale / 15.0));
}

QRect TwipsLayout::rect(int left, int top, int width, int height) const
{
    return QRect(px(left), px(top), px(width), px(height));
}

QSize TwipsLayout::size(int width, int height) const
{
    return QSize(px(width), px(height));
}
