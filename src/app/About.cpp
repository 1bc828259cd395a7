#include "app/About.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>

#include "app/FileIcons.h"

TAbout *About = nullptr;

TAbout::TAbout(QWidget *Parent) : QDialog(Parent)
{
    setObjectName(QStringLiteral("About"));
    setWindowTitle(QStringLiteral("About"));
    setModal(true);

    Picture = new QLabel(this);
    Picture->setObjectName(QStringLiteral("Picture"));
    // Drawn for the screen's pixel ratio, so it stays sharp on a scaled display.
    const qreal Ratio = devicePixelRatioF();
    QPixmap Pix = RenderProgramIcon(qRound(128 * Ratio));
    Pix.setDevicePixelRatio(Ratio);
    Picture->setPixmap(Pix);
    Picture->setFixedSize(128, 128);
    Picture->setAccessibleName(QStringLiteral("Tolvane FTP program picture"));

    ProductName = new QLabel(QStringLiteral("Tolvane FTP Upload 2.1"), this);
    ProductName->setObjectName(QStringLiteral("ProductName"));
    ProductName->setTextFormat(Qt::PlainText);
    QFont Title = ProductName->font();
    Title.setPointSize(16);
    Title.setBold(true);
    ProductName->setFont(Title);
    ProductName->setWordWrap(true);

    sButton1 = new QPushButton(QStringLiteral("Ok"), this);
    sButton1->setObjectName(QStringLiteral("sButton1"));
    sButton1->setDefault(true);
    connect(sButton1, &QPushButton::clicked, this, &TAbout::sButton1Click);

    auto *Text = new QVBoxLayout;
    Text->addStretch(1);
    Text->addWidget(ProductName);
    Text->addStretch(1);
    auto *Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(sButton1);
    Text->addLayout(Buttons);

    auto *Main = new QHBoxLayout(this);
    Main->setContentsMargins(16, 16, 16, 16);
    Main->setSpacing(20);
    Main->addWidget(Picture, 0, Qt::AlignVCenter);
    Main->addLayout(Text, 1);

    // Fixed dialog border: the client area keeps its size.
    setFixedSize(368, 176);
    setWindowIcon(ProgramIcon());
}

void TAbout::sButton1Click()
{
    accept();
}
