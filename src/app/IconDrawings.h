#pragma once
// The vector drawings behind the program's icons. Each draws into the square
// (0,0)-(16,16) of a painter that is already scaled to the target size;
// Pixels tells the drawing how much detail (labels) the target can carry.
// FileIcons.h turns them into cached icons.

#include <QByteArray>
#include <functional>

class QPainter;

using TIconDrawing = std::function<void(QPainter &P, int Pixels)>;

// The drawing of file-list icon Index (0 .. 38); any other index draws the
// plain page of icon 9.
TIconDrawing FileIconDrawing(int Index);
// A closed folder, or an open one.
void DrawFolderPicture(QPainter &P, bool Open);
// The program's picture.
void DrawProgramPicture(QPainter &P, int Pixels);
// The program's picture as an SVG document of the same shapes.
QByteArray ProgramPictureSvg();
