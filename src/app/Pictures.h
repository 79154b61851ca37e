#pragma once

#include <QIcon>
#include <QImage>

// The program's own pictures: 16 x 16 button pictures in the 16 colours of
// the classic palette, each with a greyed version for the disabled state, and
// the globe of the program's icon.
enum class TPicture {
    pcLitBulb,      // Connect
    pcUnlitBulb,    // Disconnect
    pcRefreshSheet, // the two Refresh buttons: a sheet of paper with yellow rays
    pcClosedFolder, // Create directory
    pcHandDown,     // Download
    pcOpenFolder,   // the two Browse buttons
    pcHandUp,       // Upload
    pcShapesSheet,  // Change mode: a red square, a blue triangle and a yellow circle
};

constexpr int PictureSize = 16;

QImage PictureImage(TPicture APicture, bool AEnabled);
// Normal and disabled versions, for QAbstractButton::setIcon.
QIcon ButtonIcon(TPicture APicture);

QImage GlobeImage(int ASize);
// 16, 24, 32, 48, 64 and 128 pixels.
QIcon GlobeIcon();
