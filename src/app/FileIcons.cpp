#include "app/FileIcons.h"
#include "app/IconDrawings.h"

#include <QCoreApplication>
#include <QHash>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPixmap>

#include <array>
#include <string_view>
#include <utility>

// ---------------------------------------------------------------------------
// Extension table

namespace {

struct TExtensionRow
{
    std::string_view Extension;
    int Index;
};

// In the order the rows are tried; the first match wins.
constexpr TExtensionRow ExtensionTable[] = {
    {".7zip", 0},  {".access", 1}, {".ace", 2},   {".arj", 3},   {".bat", 4},
    {".cab", 5},   {".chm", 6},    {".css", 7},   {".dat", 8},   {".default", 9},
    {".dll", 10},  {".excell", 11}, {".exe", 12}, {".folder", 13}, {".hlp", 15},
    {".html", 16}, {".htm", 16},   {".xhtml", 16}, {".ini", 17},  {".jar", 18},
    {".image", 19}, {".png", 19},  {".bmp", 19},  {".jpg", 19},  {".tiff", 19},
    {".jpeg", 19}, {".js", 20},    {".mov", 21},  {".video", 22}, {".wmw", 22},
    {".mpeg", 22}, {".mpg", 22},   {".mp4", 22},  {".3gp", 22},  {".mp2", 23},
    {".mp1", 23},  {".aac", 23},   {".ogg", 23},  {".wma", 23},  {".mp3", 23},
    {".mid", 23},  {".midi", 23},  {".pdf", 24},  {".powerpoint", 25}, {".rar", 26},
    {".real", 27}, {".reg", 28},   {".swf", 29},  {".sys", 30},  {".tar", 31},
    {".txt", 32},  {".ttf", 33},   {".word", 34}, {".xml", 35},  {".xsl", 36},
    {".zip", 37},  {".php", 38},
};

constexpr int DefaultIconIndex = 9;

} // namespace

int FileIconIndex(const std::string &Extension)
{
    for (const TExtensionRow &Row : ExtensionTable)
        if (Row.Extension == Extension)
            return Row.Index;
    return DefaultIconIndex;
}

// ---------------------------------------------------------------------------
// Icon engine: draws on demand at the asked pixel size and keeps the result

namespace {

using TDrawing = TIconDrawing;

class TDrawnIconEngine : public QIconEngine
{
public:
    explicit TDrawnIconEngine(TDrawing Drawing) : FDrawing(std::move(Drawing)) {}

    QIconEngine *clone() const override { return new TDrawnIconEngine(FDrawing); }

    QSize actualSize(const QSize &Size, QIcon::Mode, QIcon::State) override { return Size; }

    void paint(QPainter *Painter, const QRect &Rect, QIcon::Mode Mode, QIcon::State State) override
    {
        const qreal Ratio = Painter->device() ? Painter->device()->devicePixelRatioF() : 1.0;
        QPixmap Pix = pixmap(Rect.size() * Ratio, Mode, State);
        Pix.setDevicePixelRatio(Ratio);
        Painter->drawPixmap(Rect, Pix);
    }

    QPixmap pixmap(const QSize &Size, QIcon::Mode Mode, QIcon::State State) override
    {
        if (Size.isEmpty())
            return {};
        const quint64 Key = (quint64(Size.width()) << 32) | (quint64(Size.height()) << 8) |
                            (quint64(Mode) << 1) | quint64(State == QIcon::On);
        auto Found = FCache.constFind(Key);
        if (Found != FCache.constEnd())
            return *Found;
        QPixmap Pix = Mode == QIcon::Disabled ? Disabled(Render(Size)) : Render(Size);
        FCache.insert(Key, Pix);
        return Pix;
    }

    QString key() const override { return QStringLiteral("TDrawnIconEngine"); }

    QPixmap Render(const QSize &Size) const
    {
        QImage Image(Size, QImage::Format_ARGB32_Premultiplied);
        Image.fill(Qt::transparent);
        QPainter P(&Image);
        P.setRenderHint(QPainter::Antialiasing);
        P.setRenderHint(QPainter::TextAntialiasing);
        const int Side = qMin(Size.width(), Size.height());
        P.translate((Size.width() - Side) / 2, (Size.height() - Side) / 2);
        P.scale(Side / 16.0, Side / 16.0);
        FDrawing(P, Side);
        P.end();
        return QPixmap::fromImage(Image);
    }

private:
    // Grey and faded, the way a disabled item should look.
    static QPixmap Disabled(const QPixmap &Source)
    {
        QImage Image = Source.toImage().convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < Image.height(); ++y) {
            QRgb *Line = reinterpret_cast<QRgb *>(Image.scanLine(y));
            for (int x = 0; x < Image.width(); ++x) {
                const int Grey = qGray(Line[x]);
                Line[x] = qRgba(Grey, Grey, Grey, qAlpha(Line[x]) / 2);
            }
        }
        return QPixmap::fromImage(Image);
    }

    TDrawing FDrawing;
    QHash<quint64, QPixmap> FCache;
};

// The cache of every icon. It is emptied when the application object goes,
// so no pixmap outlives the GUI it was made for.
struct TIconStore
{
    std::array<QIcon, FileIconCount> Files;
    std::array<QIcon, 2> Folders;
    QIcon Program;
    bool Made = false;
};

TIconStore &Store()
{
    static TIconStore S;
    return S;
}

void ForgetIcons()
{
    TIconStore &S = Store();
    S = TIconStore();
}

void MakeIcons()
{
    TIconStore &S = Store();
    if (S.Made)
        return;
    for (int i = 0; i < FileIconCount; ++i)
        S.Files[i] = QIcon(new TDrawnIconEngine(FileIconDrawing(i)));
    S.Folders[0] = QIcon(new TDrawnIconEngine([](QPainter &P, int) { DrawFolderPicture(P, false); }));
    S.Folders[1] = QIcon(new TDrawnIconEngine([](QPainter &P, int) { DrawFolderPicture(P, true); }));
    S.Program = QIcon(new TDrawnIconEngine(DrawProgramPicture));
    S.Made = true;
    qAddPostRoutine(ForgetIcons);
}

} // namespace

const QIcon &FileIcon(int Index)
{
    MakeIcons();
    if (Index < 0 || Index >= FileIconCount)
        Index = DefaultIconIndex;
    return Store().Files[Index];
}

const QIcon &FolderIcon(bool Open)
{
    MakeIcons();
    return Store().Folders[Open ? 1 : 0];
}

const QIcon &ProgramIcon()
{
    MakeIcons();
    return Store().Program;
}

QByteArray ProgramIconSvg()
{
    return ProgramPictureSvg();
}

QPixmap RenderProgramIcon(int Pixels)
{
    return TDrawnIconEngine(DrawProgramPicture).Render(QSize(Pixels, Pixels));
}
