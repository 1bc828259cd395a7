#include "app/IconDrawings.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QStringList>

namespace {

// ---------------------------------------------------------------------------
// Drawing helpers, all in the 16-unit square. Outlines sit on half units so
// that one-unit strokes land on whole pixels at 16 and 32 pixels.

QColor Darker(const QColor &C, int Factor = 140) { return C.darker(Factor); }
QColor Lighter(const QColor &C, int Factor = 150) { return C.lighter(Factor); }

const QColor PaperColor(0xfb, 0xfb, 0xfc);
const QColor EdgeColor(0x7d, 0x84, 0x8f);

void Outline(QPainter &P, const QColor &C, qreal Width = 1.0)
{
    QPen Pen(C, Width);
    Pen.setJoinStyle(Qt::MiterJoin);
    P.setPen(Pen);
}

// A sheet of paper with a folded top-right corner, 11 units wide.
void DrawPage(QPainter &P, const QColor &Edge = EdgeColor)
{
    QPainterPath Sheet;
    Sheet.moveTo(2.5, 0.5);
    Sheet.lineTo(10.5, 0.5);
    Sheet.lineTo(13.5, 3.5);
    Sheet.lineTo(13.5, 15.5);
    Sheet.lineTo(2.5, 15.5);
    Sheet.closeSubpath();
    Outline(P, Edge);
    P.setBrush(PaperColor);
    P.drawPath(Sheet);
    QPainterPath Fold;
    Fold.moveTo(10.5, 0.5);
    Fold.lineTo(10.5, 3.5);
    Fold.lineTo(13.5, 3.5);
    P.setBrush(QColor(0xdd, 0xe1, 0xe6));
    P.drawPath(Fold);
}

// Grey text lines on a page, from row First to row Last (inclusive).
void DrawTextLines(QPainter &P, int First, int Last, const QColor &C = QColor(0x9a, 0xa1, 0xab))
{
    P.setPen(Qt::NoPen);
    P.setBrush(C);
    for (int y = First; y <= Last; y += 2) {
        const qreal Right = (y - First) % 6 == 4 ? 9 : 12;
        P.drawRect(QRectF(4, y, Right - 4, 1));
    }
}

// Text as filled outlines, scaled to fit Box and centred there; glyphs drawn
// as paths stay crisp at every size, unlike hinted screen text.
void DrawGlyph(QPainter &P, const QRectF &Box, const QString &Text, const QColor &C,
               const QString &Family = QStringLiteral("DejaVu Sans"), int Weight = QFont::Bold)
{
    QFont Font(Family);
    Font.setPixelSize(100);
    Font.setWeight(QFont::Weight(Weight));
    QPainterPath Path;
    Path.addText(0, 0, Font, Text);
    const QRectF Bounds = Path.boundingRect();
    if (Bounds.isEmpty())
        return;
    const qreal Scale = qMin(Box.width() / Bounds.width(), Box.height() / Bounds.height());
    P.save();
    P.translate(Box.center());
    P.scale(Scale, Scale);
    P.translate(-Bounds.center());
    P.setPen(Qt::NoPen);
    P.setBrush(C);
    P.drawPath(Path);
    P.restore();
}

// A coloured badge over the lower part of a page carrying a short label.
void DrawBadge(QPainter &P, const QColor &Fill, const QString &Label, const QColor &Ink = Qt::white,
               const QRectF &Box = QRectF(0.5, 7.5, 12, 7))
{
    Outline(P, Darker(Fill));
    P.setBrush(Fill);
    P.drawRoundedRect(Box, 1.5, 1.5);
    DrawGlyph(P, Box.adjusted(1.6, 1.3, -1.6, -1.3), Label, Ink);
}

// ---------------------------------------------------------------------------
// One routine per family of pictures

void DrawDefault(QPainter &P, int)
{
    DrawPage(P);
}

void DrawText(QPainter &P, int)
{
    DrawPage(P);
    DrawTextLines(P, 5, 13);
}

// Office documents: a page of content with the application's letter on a
// coloured tab at the left.
enum TOfficeContent { ocLines, ocGrid, ocChart };

void DrawOffice(QPainter &P, const QColor &Accent, const QString &Letter, TOfficeContent Content)
{
    DrawPage(P);
    P.setPen(Qt::NoPen);
    if (Content == ocLines) {
        P.setBrush(QColor(0x9a, 0xa1, 0xab));
        for (int y = 5; y <= 13; y += 2)
            P.drawRect(QRectF(9, y, 3, 1));
    } else if (Content == ocGrid) {
        P.setBrush(Lighter(Accent, 190));
        P.drawRect(QRectF(8, 5, 5, 9));
        P.setBrush(Accent);
        for (int y = 7; y <= 13; y += 3)
            P.drawRect(QRectF(8, y, 5, 0.8));
        P.drawRect(QRectF(10.5, 5, 0.8, 9));
    } else {
        P.setBrush(Lighter(Accent, 170));
        P.drawEllipse(QRectF(7.5, 6.5, 6, 6));
        P.setBrush(Accent);
        P.drawPie(QRectF(7.5, 6.5, 6, 6), 90 * 16, -120 * 16);
    }
    Outline(P, Darker(Accent));
    P.setBrush(Accent);
    P.drawRoundedRect(QRectF(0.5, 4.5, 9, 9), 1.2, 1.2);
    DrawGlyph(P, QRectF(1.8, 5.8, 6.4, 6.4), Letter, Qt::white);
}

void DrawPdf(QPainter &P, int)
{
    DrawPage(P);
    DrawTextLines(P, 3, 5);
    const QColor Red(0xd3, 0x2f, 0x2f);
    Outline(P, Darker(Red));
    P.setBrush(Red);
    P.drawRoundedRect(QRectF(0.5, 7.5, 12, 7), 1.5, 1.5);
    // The loop of a signature stroke: reads as "PDF" by colour and shape.
    QPainterPath Swoosh;
    Swoosh.moveTo(2.5, 12.5);
    Swoosh.cubicTo(5, 7.5, 8, 8.5, 6.5, 10.5);
    Swoosh.cubicTo(5.5, 12, 9, 13, 10.8, 9.8);
    QPen Pen(Qt::white, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    P.setPen(Pen);
    P.setBrush(Qt::NoBrush);
    P.drawPath(Swoosh);
}

// Help files: a round question-mark badge on a page (hlp) or on a book (chm).
void DrawHelp(QPainter &P, const QColor &Accent, bool Book)
{
    if (Book) {
        const QColor Cover(0x3a, 0x6f, 0xc4);
        Outline(P, Darker(Cover));
        P.setBrush(Cover);
        P.drawRoundedRect(QRectF(2.5, 0.5, 11, 15), 1, 1);
        P.setPen(Qt::NoPen);
        P.setBrush(Lighter(Cover, 170));
        P.drawRect(QRectF(3, 12.5, 10, 2.5));
        P.setBrush(Darker(Cover, 130));
        P.drawRect(QRectF(4, 1, 1, 11.5));
    } else {
        DrawPage(P);
        DrawTextLines(P, 3, 3);
    }
    Outline(P, Darker(Accent));
    P.setBrush(Accent);
    P.drawEllipse(QRectF(4.5, 3.5, 9, 9));
    DrawGlyph(P, QRectF(6.6, 5, 4.8, 6), QStringLiteral("?"), Qt::white);
}

// Archives: a closed box with a zipper down its lid and front; each kind has
// its own colour, and a label once there is room for one.
void DrawArchive(QPainter &P, int Pixels, const QColor &Accent, const QString &Label)
{
    Outline(P, Darker(Accent, 160));
    P.setBrush(Accent);
    P.drawRoundedRect(QRectF(1.5, 4.5, 13, 11), 1, 1);
    P.setBrush(Lighter(Accent, 130));
    P.drawRoundedRect(QRectF(0.5, 1.5, 15, 4), 1, 1);
    // Zipper teeth.
    P.setPen(Qt::NoPen);
    for (int y = 2; y <= 8; ++y) {
        P.setBrush(y % 2 ? QColor(0x30, 0x30, 0x30) : QColor(0xf0, 0xf0, 0xf0));
        P.drawRect(QRectF(7, y, 2, 1));
    }
    // Pull tab.
    Outline(P, QColor(0x30, 0x30, 0x30));
    P.setBrush(QColor(0xe8, 0xe8, 0xe8));
    P.drawRect(QRectF(6.5, 8.5, 3, 3));
    if (Pixels >= 32)
        DrawGlyph(P, QRectF(3, 12.2, 10, 2.4), Label, Qt::white);
}

// Program files: an application window with a title bar.
void DrawExecutable(QPainter &P, int)
{
    const QColor Blue(0x2f, 0x6f, 0xdb);
    Outline(P, Darker(Blue));
    P.setBrush(Qt::white);
    P.drawRoundedRect(QRectF(0.5, 1.5, 15, 13), 1.5, 1.5);
    P.setPen(Qt::NoPen);
    P.setBrush(Blue);
    P.drawRect(QRectF(1, 2, 14, 3));
    P.setBrush(Qt::white);
    P.drawRect(QRectF(12, 3, 2, 1));
    P.setBrush(Lighter(Blue, 170));
    P.drawRect(QRectF(3, 7, 10, 2));
    P.drawRect(QRectF(3, 10, 6, 2));
}

// Batch files: a terminal with a prompt.
void DrawTerminal(QPainter &P, int)
{
    Outline(P, QColor(0x20, 0x20, 0x20));
    P.setBrush(QColor(0x2b, 0x2f, 0x36));
    P.drawRoundedRect(QRectF(0.5, 1.5, 15, 13), 1.5, 1.5);
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0x55, 0x5c, 0x66));
    P.drawRect(QRectF(1, 2, 14, 2));
    QPen Pen(QColor(0x4c, 0xd9, 0x64), 1.5, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
    P.setPen(Pen);
    P.setBrush(Qt::NoBrush);
    P.drawPolyline(QPolygonF({QPointF(3, 6.5), QPointF(6, 9), QPointF(3, 11.5)}));
    P.drawLine(QPointF(7.5, 12), QPointF(12, 12));
}

// A cog wheel centred at (Cx, Cy).
void DrawGear(QPainter &P, qreal Cx, qreal Cy, qreal Radius, const QColor &C)
{
    QPainterPath Gear;
    const int Teeth = 8;
    for (int i = 0; i < Teeth; ++i) {
        QTransform T;
        T.translate(Cx, Cy);
        T.rotate(i * 360.0 / Teeth);
        QPainterPath Tooth;
        Tooth.addRect(QRectF(-Radius * 0.22, -Radius, Radius * 0.44, Radius * 0.5));
        Gear = Gear.united(T.map(Tooth));
    }
    QPainterPath Ring;
    Ring.addEllipse(QPointF(Cx, Cy), Radius * 0.78, Radius * 0.78);
    Gear = Gear.united(Ring);
    QPainterPath Hole;
    Hole.addEllipse(QPointF(Cx, Cy), Radius * 0.32, Radius * 0.32);
    Gear = Gear.subtracted(Hole);
    Outline(P, Darker(C), 0.6);
    P.setBrush(C);
    P.drawPath(Gear);
}

// System files: a gear on a page.
void DrawSystem(QPainter &P, int)
{
    DrawPage(P);
    DrawGear(P, 8, 9.5, 5.2, QColor(0x5f, 0x6b, 0x7a));
}

// Libraries: a puzzle piece, the part that plugs into a program.
void DrawLibrary(QPainter &P, int)
{
    const QColor Teal(0x1f, 0x9e, 0x9a);
    QPainterPath Piece;
    Piece.addRoundedRect(QRectF(1.5, 4.5, 10, 10), 1, 1);
    Piece.addEllipse(QPointF(6.5, 3.2), 2.3, 2.3);
    Piece.addEllipse(QPointF(12.8, 9.5), 2.3, 2.3);
    Piece.setFillRule(Qt::WindingFill);
    Piece = Piece.simplified();
    Outline(P, Darker(Teal));
    P.setBrush(Teal);
    P.drawPath(Piece);
    P.setPen(Qt::NoPen);
    P.setBrush(Lighter(Teal, 160));
    P.drawRect(QRectF(3, 7, 4, 1));
}

// Settings files: a page with slider controls.
void DrawSettings(QPainter &P, int)
{
    DrawPage(P);
    const QColor Accent(0x6d, 0x5f, 0xb3);
    P.setPen(Qt::NoPen);
    const qreal Knobs[] = {9, 5.5, 8};
    for (int i = 0; i < 3; ++i) {
        const qreal y = 5 + i * 3.5;
        P.setBrush(QColor(0xa8, 0xae, 0xb8));
        P.drawRect(QRectF(4, y, 8, 1));
        P.setBrush(Accent);
        P.drawRoundedRect(QRectF(Knobs[i] - 1.2, y - 1.2, 2.4, 3.4), 0.6, 0.6);
    }
}

// Registry files: three stacked blocks.
void DrawRegistry(QPainter &P, int)
{
    const QColor Blue(0x3a, 0x7b, 0xd5);
    const QRectF Blocks[] = {QRectF(1.5, 8.5, 6, 6), QRectF(8.5, 8.5, 6, 6), QRectF(5, 1.5, 6, 6)};
    for (const QRectF &B : Blocks) {
        Outline(P, Darker(Blue));
        P.setBrush(Blue);
        P.drawRect(B);
        P.setPen(Qt::NoPen);
        P.setBrush(Lighter(Blue, 150));
        P.drawRect(QRectF(B.left() + 0.5, B.top() + 0.5, B.width() - 1, 1.5));
    }
}

// Data files: ones and zeros on a page.
void DrawData(QPainter &P, int)
{
    DrawPage(P);
    const QColor Ink(0x3d, 0x8b, 0x6d);
    DrawGlyph(P, QRectF(3.6, 4.2, 8.8, 4.6), QStringLiteral("01"), Ink,
              QStringLiteral("DejaVu Sans Mono"));
    DrawGlyph(P, QRectF(3.6, 9.8, 8.8, 4.6), QStringLiteral("10"), Ink,
              QStringLiteral("DejaVu Sans Mono"));
}

// Databases: a cylinder.
void DrawDatabase(QPainter &P, int)
{
    const QColor Maroon(0xa4, 0x37, 0x3a);
    Outline(P, Darker(Maroon));
    P.setBrush(Maroon);
    QPainterPath Body;
    Body.moveTo(2.5, 3.5);
    Body.lineTo(2.5, 13);
    Body.arcTo(QRectF(2.5, 10.5, 11, 5), 180, 180);
    Body.lineTo(13.5, 3.5);
    Body.closeSubpath();
    P.drawPath(Body);
    P.setBrush(Lighter(Maroon, 160));
    P.drawEllipse(QRectF(2.5, 1, 11, 5));
    Outline(P, Lighter(Maroon, 140));
    P.setBrush(Qt::NoBrush);
    P.drawArc(QRectF(2.5, 5.5, 11, 5), 180 * 16, 180 * 16);
}

// Web pages: a globe with meridians.
void DrawGlobe(QPainter &P, int)
{
    const QColor Sea(0x2a, 0x8f, 0xd8);
    Outline(P, Darker(Sea));
    P.setBrush(Sea);
    P.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0x5c, 0xc1, 0x5a));
    QPainterPath Land;
    Land.moveTo(4, 3);
    Land.cubicTo(7, 2, 8, 5, 6, 7);
    Land.cubicTo(4, 9, 6, 12, 5, 13.5);
    Land.cubicTo(2, 12, 1.5, 6, 4, 3);
    Land.moveTo(10, 6);
    Land.cubicTo(13, 5, 14.5, 8, 13.5, 10);
    Land.cubicTo(12.5, 12, 10, 11, 10, 9);
    Land.closeSubpath();
    P.drawPath(Land);
    QPen Grid(QColor(255, 255, 255, 170), 0.8);
    P.setPen(Grid);
    P.setBrush(Qt::NoBrush);
    P.drawEllipse(QRectF(4.5, 0.8, 7, 14.4));
    P.drawLine(QPointF(1, 8), QPointF(15, 8));
}

// Markup: angle brackets with a slash, drawn as strokes so they stay sharp.
void DrawMarkupMark(QPainter &P, const QRectF &Box)
{
    QPen Pen(Qt::white, 1.3, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
    P.setPen(Pen);
    P.setBrush(Qt::NoBrush);
    const qreal Mid = Box.center().y(), H = Box.height() / 2;
    P.drawPolyline(QPolygonF({QPointF(Box.left() + 2.2, Mid - H), QPointF(Box.left(), Mid),
                              QPointF(Box.left() + 2.2, Mid + H)}));
    P.drawPolyline(QPolygonF({QPointF(Box.right() - 2.2, Mid - H), QPointF(Box.right(), Mid),
                              QPointF(Box.right() - 2.2, Mid + H)}));
    P.drawLine(QPointF(Box.center().x() + 1, Mid - H), QPointF(Box.center().x() - 1, Mid + H));
}

// Code: angle brackets or braces on a page, in the language's colour.
void DrawCode(QPainter &P, const QColor &Accent, const QString &Glyph)
{
    DrawPage(P);
    DrawTextLines(P, 3, 3);
    const QRectF Box(0.5, 6.5, 13, 8);
    Outline(P, Darker(Accent));
    P.setBrush(Accent);
    P.drawRoundedRect(Box, 1.5, 1.5);
    if (Glyph == QStringLiteral("</>"))
        DrawMarkupMark(P, QRectF(3, 8.6, 8, 3.8));
    else
        DrawGlyph(P, Box.adjusted(2.2, 1.3, -2.2, -1.3), Glyph, Qt::white);
}

// JavaScript: the yellow square with dark letters.
void DrawScript(QPainter &P, int)
{
    DrawPage(P);
    DrawTextLines(P, 3, 5);
    DrawBadge(P, QColor(0xf0, 0xc4, 0x19), QStringLiteral("JS"), QColor(0x22, 0x22, 0x22),
              QRectF(0.5, 6.5, 13, 8));
}

// PHP: the indigo oval.
void DrawPhp(QPainter &P, int)
{
    const QColor Indigo(0x6a, 0x73, 0xb8);
    DrawPage(P);
    DrawTextLines(P, 3, 3);
    Outline(P, Darker(Indigo));
    P.setBrush(Indigo);
    P.drawEllipse(QRectF(0.5, 6.5, 15, 8));
    DrawGlyph(P, QRectF(2.3, 8.2, 11.4, 4.6), QStringLiteral("php"), Qt::white);
}

// Java archives: a steaming cup.
void DrawJava(QPainter &P, int)
{
    const QColor Cup(0xe7, 0x6f, 0x00);
    Outline(P, Darker(Cup));
    P.setBrush(Cup);
    QPainterPath Body;
    Body.moveTo(1.5, 7.5);
    Body.lineTo(11.5, 7.5);
    Body.lineTo(11.5, 10);
    Body.cubicTo(11.5, 13.5, 9.5, 14.5, 6.5, 14.5);
    Body.cubicTo(3.5, 14.5, 1.5, 13.5, 1.5, 10);
    Body.closeSubpath();
    P.drawPath(Body);
    P.setBrush(Qt::NoBrush);
    QPen Handle(Darker(Cup), 1.4);
    P.setPen(Handle);
    P.drawArc(QRectF(10, 8, 5, 4), 90 * 16, -180 * 16);
    QPen Steam(QColor(0x4a, 0x6f, 0xa5), 1.1, Qt::SolidLine, Qt::RoundCap);
    P.setPen(Steam);
    for (qreal x : {4.5, 8.0}) {
        QPainterPath Wisp;
        Wisp.moveTo(x, 6);
        Wisp.cubicTo(x - 1.5, 4.5, x + 1.5, 3, x, 1);
        P.drawPath(Wisp);
    }
}

// Pictures: a framed landscape with a sun.
void DrawImage(QPainter &P, int)
{
    Outline(P, QColor(0x5d, 0x66, 0x72));
    P.setBrush(QColor(0x8e, 0xcb, 0xf5));
    P.drawRoundedRect(QRectF(0.5, 2.5, 15, 11), 1, 1);
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0xff, 0xc8, 0x2e));
    P.drawEllipse(QRectF(10, 4, 3.5, 3.5));
    P.setBrush(QColor(0x3f, 0xa3, 0x4d));
    QPainterPath Hills;
    Hills.moveTo(1, 13);
    Hills.lineTo(1, 11);
    Hills.lineTo(5.5, 6.5);
    Hills.lineTo(9, 10);
    Hills.lineTo(11, 8.5);
    Hills.lineTo(15, 12);
    Hills.lineTo(15, 13);
    Hills.closeSubpath();
    P.drawPath(Hills);
}

// Videos: a strip of film with a play mark, in the format's colour.
void DrawFilm(QPainter &P, const QColor &Frame)
{
    Outline(P, QColor(0x1e, 0x1e, 0x1e));
    P.setBrush(QColor(0x2e, 0x2e, 0x2e));
    P.drawRoundedRect(QRectF(0.5, 1.5, 15, 13), 1, 1);
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0xe8, 0xe8, 0xe8));
    for (int x = 2; x <= 13; x += 3) {
        P.drawRect(QRectF(x, 2.5, 1.5, 1.5));
        P.drawRect(QRectF(x, 12, 1.5, 1.5));
    }
    P.setBrush(Frame);
    P.drawRect(QRectF(1, 5, 14, 6));
    P.setBrush(Qt::white);
    P.drawPolygon(QPolygonF({QPointF(6, 5.8), QPointF(10.8, 8), QPointF(6, 10.2)}));
}

// Streaming media: a round play button with a ring.
void DrawStream(QPainter &P, int)
{
    const QColor Blue(0x1f, 0x4e, 0x9c);
    Outline(P, QColor(0xf0, 0x8a, 0x24), 1.5);
    P.setBrush(Blue);
    P.drawEllipse(QRectF(1, 1, 14, 14));
    P.setPen(Qt::NoPen);
    P.setBrush(Qt::white);
    P.drawPolygon(QPolygonF({QPointF(6, 4.5), QPointF(11.5, 8), QPointF(6, 11.5)}));
}

// Audio: two beamed notes.
void DrawAudio(QPainter &P, int)
{
    const QColor Magenta(0xb0, 0x3a, 0xa8);
    P.setPen(Qt::NoPen);
    P.setBrush(Magenta);
    P.drawEllipse(QRectF(1, 10.5, 5, 4));
    P.drawEllipse(QRectF(9, 9, 5, 4));
    P.drawRect(QRectF(4.6, 2.5, 1.4, 10));
    P.drawRect(QRectF(12.6, 1, 1.4, 10));
    QPainterPath Beam;
    Beam.moveTo(4.6, 2.5);
    Beam.lineTo(14, 1);
    Beam.lineTo(14, 3.8);
    Beam.lineTo(4.6, 5.3);
    Beam.closeSubpath();
    P.drawPath(Beam);
}

// Flash: the red rounded square with a white f.
void DrawFlash(QPainter &P, int)
{
    const QColor Red(0xc6, 0x1f, 0x28);
    Outline(P, Darker(Red));
    P.setBrush(Red);
    P.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 3, 3);
    DrawGlyph(P, QRectF(5, 3.5, 6, 9), QStringLiteral("f"), Qt::white, QStringLiteral("DejaVu Serif"));
}

// Fonts: a large serif letter on a page.
void DrawFont(QPainter &P, int)
{
    DrawPage(P);
    DrawGlyph(P, QRectF(3.6, 4, 9, 10.5), QStringLiteral("A"), QColor(0x2b, 0x2b, 0x2b),
              QStringLiteral("DejaVu Serif"));
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0xd3, 0x2f, 0x2f));
    P.drawRect(QRectF(3.5, 14, 9, 1));
}

// Shortcuts: a curved arrow over a page.
void DrawShortcut(QPainter &P, int)
{
    DrawPage(P);
    DrawTextLines(P, 3, 5);
    Outline(P, QColor(0x40, 0x40, 0x40));
    P.setBrush(Qt::white);
    P.drawRect(QRectF(0.5, 8.5, 7, 7));
    QPen Pen(QColor(0x1f, 0x6f, 0xd0), 1.4, Qt::SolidLine, Qt::FlatCap);
    P.setPen(Pen);
    P.setBrush(Qt::NoBrush);
    QPainterPath Curve;
    Curve.moveTo(2.5, 14);
    Curve.cubicTo(2.5, 11.5, 3.5, 11, 5.5, 11);
    P.drawPath(Curve);
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0x1f, 0x6f, 0xd0));
    P.drawPolygon(QPolygonF({QPointF(4.6, 9), QPointF(7.2, 11), QPointF(4.6, 13)}));
}

// A folder; open shows the front flap tilted back.
void DrawFolder(QPainter &P, bool Open)
{
    const QColor Back(0xe0, 0x9f, 0x1f);
    const QColor Front(0xf7, 0xc4, 0x48);
    Outline(P, Darker(Back, 130));
    P.setBrush(Back);
    QPainterPath Rear;
    Rear.moveTo(0.5, 13.5);
    Rear.lineTo(0.5, 2.5);
    Rear.lineTo(5.5, 2.5);
    Rear.lineTo(7, 4);
    Rear.lineTo(14.5, 4);
    Rear.lineTo(14.5, 13.5);
    Rear.closeSubpath();
    P.drawPath(Rear);
    if (Open) {
        P.setPen(Qt::NoPen);
        P.setBrush(Qt::white);
        P.drawRect(QRectF(2, 5, 11, 6));
        Outline(P, Darker(Back, 130));
        P.setBrush(Front);
        QPainterPath Flap;
        Flap.moveTo(0.5, 13.5);
        Flap.lineTo(3, 7.5);
        Flap.lineTo(15.5, 7.5);
        Flap.lineTo(13.5, 13.5);
        Flap.closeSubpath();
        P.drawPath(Flap);
    } else {
        P.setBrush(Front);
        P.drawRoundedRect(QRectF(0.5, 5.5, 14, 8), 0.8, 0.8);
        P.setPen(Qt::NoPen);
        P.setBrush(Lighter(Front, 115));
        P.drawRect(QRectF(1, 6, 13, 1));
    }
}

// The program's picture: shapes kept as data (below) so that the SVG file for
// the desktop is made from exactly the same drawing.
namespace Program {
const QRectF Tile(0.5, 0.5, 15, 15);
const QRectF Shine(0.5, 0.5, 15, 8);
constexpr qreal Radius = 3.4;
const QColor TileTop(0x1d, 0x9b, 0xb0);
const QColor TileBottom(0x23, 0x4e, 0xc4);
constexpr int ShineAlpha = 60;
// Whole-pixel edges at 16 pixels wherever a line is straight.
const QPolygonF Tray({QPointF(4, 10), QPointF(4, 13), QPointF(12, 13), QPointF(12, 10)});
constexpr qreal TrayWidth = 2;
const QPolygonF Arrow({QPointF(8, 2), QPointF(12.5, 7), QPointF(10, 7), QPointF(10, 11),
                       QPointF(6, 11), QPointF(6, 7), QPointF(3.5, 7)});
const QColor ArrowFill(0xff, 0xb3, 0x2e);
const QColor ArrowEdge(0xb0, 0x6a, 0x00);
constexpr qreal ArrowEdgeWidth = 0.2;
} // namespace Program

} // namespace

void DrawProgramPicture(QPainter &P, int)
{
    using namespace Program;
    QLinearGradient Fill(0, 0, 16, 16);
    Fill.setColorAt(0, TileTop);
    Fill.setColorAt(1, TileBottom);
    P.setPen(Qt::NoPen);
    P.setBrush(Fill);
    P.drawRoundedRect(Tile, Radius, Radius);
    QLinearGradient Gloss(0, 0, 0, 8);
    Gloss.setColorAt(0, QColor(255, 255, 255, ShineAlpha));
    Gloss.setColorAt(1, QColor(255, 255, 255, 0));
    P.setBrush(Gloss);
    P.drawRoundedRect(Shine, Radius, Radius);
    P.setPen(QPen(Qt::white, TrayWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    P.setBrush(Qt::NoBrush);
    P.drawPolyline(Tray);
    P.setPen(QPen(ArrowEdge, ArrowEdgeWidth));
    P.setBrush(ArrowFill);
    P.drawPolygon(Arrow);
}

static QString SvgPoints(const QPolygonF &Points)
{
    QStringList Pairs;
    for (const QPointF &Pt : Points)
        Pairs << QStringLiteral("%1,%2").arg(Pt.x()).arg(Pt.y());
    return Pairs.join(QLatin1Char(' '));
}

void DrawFolderPicture(QPainter &P, bool Open)
{
    DrawFolder(P, Open);
}

TIconDrawing FileIconDrawing(int Index)
{
    auto Archive = [](QColor C, QString L) {
        return [C, L](QPainter &P, int Px) { DrawArchive(P, Px, C, L); };
    };
    auto Office = [](QColor C, QString L, TOfficeContent K) {
        return [C, L, K](QPainter &P, int) { DrawOffice(P, C, L, K); };
    };
    auto Code = [](QColor C, QString G) { return [C, G](QPainter &P, int) { DrawCode(P, C, G); }; };
    auto Film = [](QColor C) { return [C](QPainter &P, int) { DrawFilm(P, C); }; };
    auto Help = [](QColor C, bool Book) { return [C, Book](QPainter &P, int) { DrawHelp(P, C, Book); }; };

    switch (Index) {
    case 0: return Archive(QColor(0x4a, 0x4a, 0x4a), QStringLiteral("7Z"));
    case 1: return DrawDatabase;
    case 2: return Archive(QColor(0x2a, 0x9d, 0x8f), QStringLiteral("ACE"));
    case 3: return Archive(QColor(0x7d, 0x8f, 0x2a), QStringLiteral("ARJ"));
    case 4: return DrawTerminal;
    case 5: return Archive(QColor(0x3f, 0x78, 0xc0), QStringLiteral("CAB"));
    case 6: return Help(QColor(0xf0, 0x8a, 0x24), true);
    case 7: return Code(QColor(0x26, 0x5d, 0xd6), QStringLiteral("{}"));
    case 8: return DrawData;
    case 9: return DrawDefault;
    case 10: return DrawLibrary;
    case 11: return Office(QColor(0x1f, 0x7a, 0x45), QStringLiteral("X"), ocGrid);
    case 12: return DrawExecutable;
    case 13: return [](QPainter &P, int) { DrawFolder(P, false); };
    case 14: return DrawShortcut;
    case 15: return Help(QColor(0xe0, 0xa1, 0x00), false);
    case 16: return DrawGlobe;
    case 17: return DrawSettings;
    case 18: return DrawJava;
    case 19: return DrawImage;
    case 20: return DrawScript;
    case 21: return Film(QColor(0x2f, 0x8f, 0xe8));
    case 22: return Film(QColor(0xe5, 0x3b, 0x3b));
    case 23: return DrawAudio;
    case 24: return DrawPdf;
    case 25: return Office(QColor(0xd3, 0x52, 0x30), QStringLiteral("P"), ocChart);
    case 26: return Archive(QColor(0x7b, 0x4f, 0xb8), QStringLiteral("RAR"));
    case 27: return DrawStream;
    case 28: return DrawRegistry;
    case 29: return DrawFlash;
    case 30: return DrawSystem;
    case 31: return Archive(QColor(0xa0, 0x6c, 0x3a), QStringLiteral("TAR"));
    case 32: return DrawText;
    case 33: return DrawFont;
    case 34: return Office(QColor(0x2b, 0x5f, 0xb4), QStringLiteral("W"), ocLines);
    case 35: return Code(QColor(0xe0, 0x73, 0x10), QStringLiteral("</>"));
    case 36: return Code(QColor(0x2e, 0x9a, 0x48), QStringLiteral("</>"));
    case 37: return Archive(QColor(0xe6, 0xa8, 0x17), QStringLiteral("ZIP"));
    case 38: return DrawPhp;
    default: return DrawDefault;
    }
}

QByteArray ProgramPictureSvg()
{
    using namespace Program;
    const QString Svg = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" viewBox=\"0 0 16 16\">\n"
        "  <title>Tolvane FTP Uploader</title>\n"
        "  <defs>\n"
        "    <linearGradient id=\"tile\" x1=\"0\" y1=\"0\" x2=\"16\" y2=\"16\" gradientUnits=\"userSpaceOnUse\">\n"
        "      <stop offset=\"0\" stop-color=\"%1\"/>\n"
        "      <stop offset=\"1\" stop-color=\"%2\"/>\n"
        "    </linearGradient>\n"
        "    <linearGradient id=\"shine\" x1=\"0\" y1=\"0\" x2=\"0\" y2=\"8\" gradientUnits=\"userSpaceOnUse\">\n"
        "      <stop offset=\"0\" stop-color=\"#ffffff\" stop-opacity=\"%3\"/>\n"
        "      <stop offset=\"1\" stop-color=\"#ffffff\" stop-opacity=\"0\"/>\n"
        "    </linearGradient>\n"
        "  </defs>\n"
        "  <rect x=\"%4\" y=\"%5\" width=\"%6\" height=\"%7\" rx=\"%8\" fill=\"url(#tile)\"/>\n"
        "  <rect x=\"%9\" y=\"%10\" width=\"%11\" height=\"%12\" rx=\"%8\" fill=\"url(#shine)\"/>\n"
        "  <polyline points=\"%13\" fill=\"none\" stroke=\"#ffffff\" stroke-width=\"%14\""
        " stroke-linecap=\"round\" stroke-linejoin=\"round\"/>\n"
        "  <polygon points=\"%15\" fill=\"%16\" stroke=\"%17\" stroke-width=\"%18\"/>\n"
        "</svg>\n")
        .arg(TileTop.name(), TileBottom.name())
        .arg(ShineAlpha / 255.0, 0, 'f', 3)
        .arg(Tile.x()).arg(Tile.y()).arg(Tile.width()).arg(Tile.height()).arg(Radius)
        .arg(Shine.x()).arg(Shine.y()).arg(Shine.width()).arg(Shine.height())
        .arg(SvgPoints(Tray)).arg(TrayWidth)
        .arg(SvgPoints(Arrow), ArrowFill.name(), ArrowEdge.name())
        .arg(ArrowEdgeWidth);
    return Svg.toUtf8();
}
