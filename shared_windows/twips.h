#pragma once

#include <QRect>
#include <QSize>
#include <QString>
#include <QVector>

class QFont;

// Window layouts are kept in twips, 15 to the pixel at 96 dpi, and converted here only, times
// a scale. The windows were laid out for a narrow 8 point face; where the texts of the font in
// use need more room, every position and size grows by the same factor, so the arrangement
// stays as drawn and no caption is cut.
class TwipsLayout {
public:
    // Room taken beside a caption's text.
    static constexpr int MarkPixels = 22;  // check mark or option circle
    static constexpr int FramePixels = 10; // a button's frame

    struct Text {
        QString text;
        int widthTwips;
        int extraPixels = 0; // MarkPixels, FramePixels or nothing
    };

    explicit TwipsLayout(double scale = 1.0) : m_scale(scale) {}

    // The smallest scale, 1 or more, at which every text fits its width in that font.
    static TwipsLayout fitting(const QFont& font, const QVector<Text>& texts);

    double scale() const { return m_scale; }
    int px(int twips) const;
    QRect rect(int left, int top, int width, int height) const;
    QSize size(int width, int height) const;

private:
    double m_scale;
};
