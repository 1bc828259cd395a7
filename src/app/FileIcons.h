#pragma once
// The pictures the program draws for itself: the 39 file-list icons, the
// closed and open folder of the tree, and the program's own picture (window,
// desktop entry, About box). Every picture is vector drawing rendered on first
// use at the size and device pixel ratio asked for, then cached, so it stays
// sharp at 16 pixels and at any larger size or scale factor.

#include <QByteArray>
#include <QIcon>
#include <string>

class QPixmap;

// Number of file-list icons; FileIconIndex returns 0 .. FileIconCount - 1.
inline constexpr int FileIconCount = 39;

// The icon index of a file-name extension including its dot (".zip"). The
// comparison is exact and case-sensitive; the first matching row of the table
// wins; any other extension, and the empty one, gives 9. Index 14 is never
// returned (it has a picture all the same).
int FileIconIndex(const std::string &Extension);

// Icon Index of the file list (0 .. 38); an index outside gives the icon 9.
const QIcon &FileIcon(int Index);

// The tree's folder pictures: closed, or open for the selected node.
const QIcon &FolderIcon(bool Open);

// The program's picture.
const QIcon &ProgramIcon();

// The program picture as an SVG document, the same shapes as ProgramIcon().
QByteArray ProgramIconSvg();

// Renders the program picture into a square pixmap of Pixels device pixels
// (for the icon files the desktop uses).
QPixmap RenderProgramIcon(int Pixels);
