#pragma once
// The program's own pictures, drawn at start so no image files ship with it: the toolbar
// image list, the built-in background, the tray frames, the program icon and the friend mark.

#include <QIcon>
#include <QImage>
#include <QList>

namespace kalvento::widgets {

// Kuvat holds its pictures in pairs: the picture at rest at an odd position and, just before
// it, the highlighted one shown under the mouse. These are the resting positions.
enum KuvatPicture : int {
    kuvatSend = 1,
    kuvatComment = 3,
    kuvatInfo = 5,
    kuvatHelp = 7,
    kuvatOptions = 9,
    kuvatClose = 11,
    kuvatUpdate = 13,
    kuvatPrint = 15,
    kuvatBigMessage = 17,
    kuvatCut = 19,
    kuvatCopy = 21,
    kuvatPaste = 23,
    kuvatSelectAll = 25,
    kuvatOpen = 27,
    kuvatAbort = 29,
};
inline constexpr int kuvatCount = 30;
inline constexpr int kuvatSize = 32;

// The 30 toolbar pictures, 32 by 32 with transparency.
QList<QImage> makeKuvat();
// The built-in background: 100 by 100, opaque, tiles without seams.
QImage makeTausta();
// The two 16 by 16 frames of the flashing new-message icon.
QImage makeIkoni1();
QImage makeIkoni2();
// The 16 by 16 mark drawn beside a friend in the computer list.
QImage makeFrendi();
// The splash picture: a blue band with the icon and the name, and a light band below it
// where the splash window writes the version.
inline constexpr int kSplashWidth = 400;
inline constexpr int kSplashHeight = 210;
inline constexpr int kSplashVersionTop = kSplashHeight - 50; // the light band's text line
QImage makeSplashPicture();
// The program icon at one size (square).
QImage makeProgramIconImage(int size);
QList<int> programIconSizes();
// All sizes in one icon for the window and the tray; needs a QGuiApplication.
QIcon makeProgramIcon();

} // namespace kalvento::widgets
