// Writes the program picture as the desktop's icon files: an SVG and PNGs of
// the usual sizes, in the hicolor theme's layout under the folder given.
//   tolvane-export-icons OUTDIR
// gives OUTDIR/scalable/apps/tolvane-ftp.svg and OUTDIR/NxN/apps/tolvane-ftp.png.

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>

#include "app/FileIcons.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    // Drawing needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication App(argc, argv);
    const QString Out = QString::fromLocal8Bit(argv[1]);

    const QString SvgFolder = Out + QStringLiteral("/scalable/apps");
    QFile Svg(SvgFolder + QStringLiteral("/tolvane-ftp.svg"));
    if (!QDir().mkpath(SvgFolder) || !Svg.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        Svg.write(ProgramIconSvg()) < 0 || !Svg.flush()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(Svg.fileName()));
        return 1;
    }
    Svg.close();

    for (int Size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString Folder = Out + QStringLiteral("/%1x%1/apps").arg(Size);
        const QString File = Folder + QStringLiteral("/tolvane-ftp.png");
        if (!QDir().mkpath(Folder) || !RenderProgramIcon(Size).save(File, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(File));
            return 1;
        }
    }
    return 0;
}
