#pragma once

#include <QIcon>
#include <QImage>

// The program's own pictures: 16 x 16 button pictures in the 16 colours of
// the classic palette, each with a greyed version for the disabled state, and
// the program's icon.
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

// The program's icon, a globe with blue oceans and yellow land: 16, 32, 48,
// 64, 128 and 256 pixels.
QIcon GlobeIcon();
