#include "app/CircularProgress.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPaintEvent>
#include <QTimer>

#include <algorithm>
#include <cmath>

int ProgressPercent(int64_t Position, int64_t Maximum)
{
    if (Maximum <= 0 || Position <= 0)
        return 0;
    if (Position >= Maximum)
        return 100;
    // 128-bit product: Position * 100 overflows 64 bits near the top of the range.
    return static_cast<int>((static_cast<__int128>(Position) * 100) / Maximum);
}

TCircularProgress::TCircularProgress(QWidget *Parent) : QWidget(Parent), FTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("CircularProgress"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    FTimer->setInterval(FAnimationInterval);
    connect(FTimer, &QTimer::timeout, this, &TCircularProgress::Step);
    setAccessibleDescription(PercentText());
}

void TCircularProgress::SetMaximum(int64_t Value)
{
    Value = std::max<int64_t>(Value, 0);
    if (Value == FMaximum)
        return;
    FMaximum = Value;
    Changed();
}

void TCircularProgress::SetPosition(int64_t Value)
{
    if (Value == FPosition)
        return;
    FPosition = Value;
    Changed();
}

void TCircularProgress::SetSegmentStep(int Value)
{
    FSegmentStep = std::max(Value, 1);
}

void TCircularProgress::SetAnimationInterval(int Value)
{
    FAnimationInterval = std::max(Value, 0);
    if (FAnimationInterval > 0)
        FTimer->setInterval(FAnimationInterval);
    else {
        FTimer->stop();
        FShownDegrees = TargetDegrees();
        update();
    }
}

int TCircularProgress::Percent() const
{
    return ProgressPercent(FPosition, FMaximum);
}

QString TCircularProgress::PercentText() const
{
    return QStringLiteral("%1%").arg(Percent());
}

double TCircularProgress::TargetDegrees() const
{
    if (FMaximum <= 0 || FPosition <= 0)
        return 0;
    if (FPosition >= FMaximum)
        return 360;
    return 360.0 * (static_cast<long double>(FPosition) / static_cast<long double>(FMaximum));
}

void TCircularProgress::Changed()
{
    setAccessibleDescription(PercentText());
    // A hidden indicator has nothing to animate: it shows the new position at
    // once when it appears.
    if (FAnimationInterval <= 0 || !isVisible()) {
        FTimer->stop();
        FShownDegrees = TargetDegrees();
    } else if (!FTimer->isActive())
        FTimer->start();
    update();
}

void TCircularProgress::Step()
{
    const double Target = TargetDegrees();
    const double Gap = Target - FShownDegrees;
    // At least the segment step, and a quarter of the way for big jumps, so
    // the arc never lags far behind a fast transfer.
    const double Move = std::max<double>(FSegmentStep, std::abs(Gap) / 4);
    if (std::abs(Gap) <= Move) {
        FShownDegrees = Target;
        FTimer->stop();
    } else
        FShownDegrees += Gap > 0 ? Move : -Move;
    update();
}

void TCircularProgress::showEvent(QShowEvent *Event)
{
    FTimer->stop();
    FShownDegrees = TargetDegrees();
    QWidget::showEvent(Event);
}

QSize TCircularProgress::sizeHint() const
{
    return {56, 56};
}

QSize TCircularProgress::minimumSizeHint() const
{
    return {32, 32};
}

void TCircularProgress::paintEvent(QPaintEvent *)
{
    QPainter P(this);
    P.setRenderHint(QPainter::Antialiasing);
    const int Side = std::min(width(), height());
    const qreal Thickness = std::max(3.0, Side * 0.11);
    const QRectF Ring = QRectF((width() - Side) / 2.0, (height() - Side) / 2.0, Side, Side)
                            .adjusted(Thickness / 2 + 1, Thickness / 2 + 1, -Thickness / 2 - 1,
                                      -Thickness / 2 - 1);

    const QPalette &Pal = palette();
    QColor Track = Pal.color(QPalette::Mid);
    Track.setAlpha(90);
    P.setPen(QPen(Track, Thickness, Qt::SolidLine, Qt::FlatCap));
    P.setBrush(Qt::NoBrush);
    P.drawEllipse(Ring);

    if (FShownDegrees > 0) {
        const bool Whole = FShownDegrees >= 360;
        P.setPen(QPen(Pal.color(QPalette::Highlight), Thickness, Qt::SolidLine,
                      Whole ? Qt::FlatCap : Qt::RoundCap));
        // Clockwise from twelve o'clock; Qt counts sixteenths of a degree,
        // counter-clockwise from three o'clock.
        P.drawArc(Ring, 90 * 16, -static_cast<int>(std::lround(FShownDegrees * 16)));
    }

    QFont Font = font();
    Font.setBold(true);
    // As large as fits inside the ring with "100%".
    int Pixels = std::max(7, static_cast<int>(Side * 0.22));
    const qreal Room = (Ring.width() - Thickness) * 0.82;
    for (; Pixels > 7; --Pixels) {
        Font.setPixelSize(Pixels);
        if (QFontMetricsF(Font).horizontalAdvance(QStringLiteral("100%")) <= Room)
            break;
    }
    Font.setPixelSize(Pixels);
    P.setFont(Font);
    P.setPen(Pal.color(QPalette::WindowText));
    P.drawText(rect(), Qt::AlignCenter, PercentText());
}
