#include "Pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

using TRows = std::array<const char*, PictureSize>;

// One letter per pixel; '.' is transparent (the classic pictures reserved an
// olive corner pixel for that, which a drawing with alpha does not need).
QColor PaletteColour(char ALetter) {
    static const std::pair<char, QRgb> palette[] = {
        {'k', qRgb(0, 0, 0)},       {'m', qRgb(128, 0, 0)},     {'G', qRgb(0, 128, 0)},
        {'o', qRgb(128, 128, 0)},   {'n', qRgb(0, 0, 128)},     {'d', qRgb(128, 128, 128)},
        {'g', qRgb(192, 192, 192)}, {'r', qRgb(255, 0, 0)},     {'y', qRgb(255, 255, 0)},
        {'b', qRgb(0, 0, 255)},     {'w', qRgb(255, 255, 255)},
    };
    for (const auto& [letter, colour] : palette) {
        if (letter == ALetter) {
            return QColor(colour);
        }
    }
    return Qt::transparent;
}

// clang-format off
constexpr TRows LitBulb = {
    "y.....kkkk.....y",
    ".y..kkyyyykk..y.",
    "...kyywwyyyyk...",
    "...kywyyyyyyk...",
    "..kyywyyyyyyyk..",
    "..kywyyyyyyyyk..",
    "y.kyyyyyyyyyyk.y",
    "..kyyyyyyyyyyk..",
    "...kyyyyyyyyk...",
    ".y.kyyyyyyyyk.y.",
    "....kyyyyyyk....",
    "....kgdgdgdk....",
    "....kdgdgdgk....",
    "....kgdgdgdk....",
    ".....kkkkkk.....",
    "......kddk......",
};
constexpr TRows UnlitBulb = {
    "................",
    "......kkkk......",
    "....kkwwwwkk....",
    "...kwwgwwwwdk...",
    "..kwwgwwwwwwdk..",
    "..kwgwwwwwwwdk..",
    "..kwwwwdwwdwdk..",
    "..kwwwwwddwddk..",
    "...kwwwwddddk...",
    "...kwwwwwdddk...",
    "....kdwwwddk....",
    "....kgdgdgdk....",
    "....kdgdgdgk....",
    "....kgdgdgdk....",
    ".....kkkkkk.....",
    "......kddk......",
};
constexpr TRows RefreshSheet = {
    "..y.............",
    "y.y.y...........",
    ".yyy.kkkkkkk....",
    "yyyyykwwwwwkk...",
    ".yyy.kwwwwwkwk..",
    "y.y.ykwwwwwkkkk.",
    "..y..kwwwwwwwwk.",
    ".....kwddddddwk.",
    ".....kwwwwwwwwk.",
    ".....kwddddddwk.",
    ".....kwwwwwwwwk.",
    ".....kwddddddwk.",
    ".....kwwwwwwwwk.",
    ".....kwddddwwwk.",
    ".....kwwwwwwwwk.",
    ".....kkkkkkkkkk.",
};
constexpr TRows ClosedFolder = {
    "................",
    "................",
    ".kkkkk..........",
    "kyywyyk.........",
    "kyyyyyykkkkkkkk.",
    "kywwwwwwwwwwwwk.",
    "kwyyyyyyyyyyyok.",
    "kwyyyyyyyyyyyok.",
    "kwyyyyyyyyyyyok.",
    "kwyyyyyyyyyyyok.",
    "kwyyyyyyyyyyyok.",
    "kwyyyyyyyyyyyok.",
    "kwyyyyyyyyyyyok.",
    "koooooooooooook.",
    "kkkkkkkkkkkkkkk.",
    "................",
};
constexpr TRows OpenFolder = {
    "................",
    "................",
    ".kkkkk..........",
    "kyywyyk.........",
    "kyyyyyykkkkkkk..",
    "kyyyyyyyyyyyyk..",
    "kyyyyyyyyyyyyk..",
    "kyyyyyyyyyyyyk..",
    "kyyyykkkkkkkkkkk",
    "kyyykwwwwwwwwwk.",
    "kyykyyyyyyyyyk..",
    "kykyyyyyyyyyk...",
    "kkyyyyyyyyyk....",
    "kkkkkkkkkkk.....",
    "................",
    "................",
};
constexpr TRows HandDown = {
    "................",
    "...kkkkkkkk.....",
    "...kbbbbbbk.....",
    "...kbbbbbbk.....",
    "...kkkkkkkk.....",
    "..kwwwwwwwwk....",
    ".kwwwwwwwwwwk...",
    ".kwkwkwkwwwwk...",
    ".kwkwkwkwwwk....",
    "..kkkkkkwwwk....",
    ".......kwwk.....",
    ".......kwwk.....",
    ".......kwwk.....",
    ".......kwwk.....",
    ".......kwwk.....",
    "........kk......",
};
constexpr TRows ShapesSheet = {
    ".kkkkkkkkkk.....",
    ".kwwwwwwwwkk....",
    ".kwwwwwwwwkwk...",
    ".kwmmmmwwwkkkk..",
    ".kwmrrmwwwwwwk..",
    ".kwmrrmwwwnwwk..",
    ".kwmmmmwwnbnwk..",
    ".kwwwwwwnbbbnk..",
    ".kwwwwwnnnnnnk..",
    ".kwwwooowwwwwk..",
    ".kwwoyyyowwwwk..",
    ".kwwoyyyowwwwk..",
    ".kwwoyyyowwwwk..",
    ".kwwwooowwwwwk..",
    ".kwwwwwwwwwwwk..",
    ".kkkkkkkkkkkkk..",
};
// clang-format on

// In the order of TPicture; the upward hand is the downward one flipped.
const TRows* const PictureRows[] = {&LitBulb,  &UnlitBulb,  &RefreshSheet, &ClosedFolder,
                                    &HandDown, &OpenFolder, &HandDown,     &ShapesSheet};

QImage Render(TPicture APicture) {
    QImage image(PictureSize, PictureSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    const TRows& rows = *PictureRows[static_cast<size_t>(APicture)];
    const bool flip = APicture == TPicture::pcHandUp;
    for (int y = 0; y < PictureSize; ++y) {
        const char* row = rows[size_t(flip ? PictureSize - 1 - y : y)];
        for (int x = 0; x < PictureSize && row[x]; ++x) {
            const QColor c = PaletteColour(row[x]);
            if (c.alpha() != 0) {
                p.fillRect(x, y, 1, 1, c);
            }
        }
    }
    return image;
}

// The engraved look of a disabled picture: its dark pixels as a shadow with a
// white highlight one pixel down and right; light pixels vanish into the face.
QImage Greyed(const QImage& ASource) {
    QImage out(ASource.size(), QImage::Format_ARGB32);
    out.fill(Qt::transparent);
    QPainter p(&out);
    for (int pass = 0; pass < 2; ++pass) {
        for (int y = 0; y < ASource.height(); ++y) {
            for (int x = 0; x < ASource.width(); ++x) {
                const QColor c = ASource.pixelColor(x, y);
                if (c.alpha() == 0 || qGray(c.rgb()) >= 160) {
                    continue;
                }
                if (pass == 0) {
                    p.fillRect(x + 1, y + 1, 1, 1, QColor(255, 255, 255));
                } else {
                    p.fillRect(x, y, 1, 1, QColor(128, 128, 128));
                }
            }
        }
    }
    return out;
}

} // namespace

QImage PictureImage(TPicture APicture, bool AEnabled) {
    const QImage image = Render(APicture);
    return AEnabled ? image : Greyed(image);
}

QIcon ButtonIcon(TPicture APicture) {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(PictureImage(APicture, true)), QIcon::Normal);
    icon.addPixmap(QPixmap::fromImage(PictureImage(APicture, false)), QIcon::Disabled);
    return icon;
}

QIcon GlobeIcon() {
    // Rendered at build time from the icon the desktop entry names, so that
    // the window and the menu show the same picture.
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/%1x%1/apps/quorvan-ftp.png").arg(size),
                     QSize(size, size));
    }
    return icon;
}
