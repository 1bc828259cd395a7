#pragma once
// The transfer progress indicator: a ring whose arc shows how much of the
// whole has been done, with the percentage in its middle. Position and
// maximum are 64-bit byte counts, so files of many gigabytes scale as well as
// small ones. The arc glides to a new position in small steps; whether the
// indicator is shown at all is its owner's business.

#include <QWidget>
#include <cstdint>

class QTimer;

class TCircularProgress : public QWidget
{
    Q_OBJECT

public:
    explicit TCircularProgress(QWidget *Parent = nullptr);

    int64_t Maximum() const { return FMaximum; }
    // A negative maximum counts as 0 (nothing to show).
    void SetMaximum(int64_t Value);
    int64_t Position() const { return FPosition; }
    // Kept as given; shown clamped to 0 .. Maximum().
    void SetPosition(int64_t Value);

    // Degrees the arc moves at least per animation step (1 or more).
    int SegmentStep() const { return FSegmentStep; }
    void SetSegmentStep(int Value);
    // Milliseconds between animation steps; 0 shows every position at once.
    int AnimationInterval() const { return FAnimationInterval; }
    void SetAnimationInterval(int Value);

    // Whole percent done, rounded down, 0 .. 100; 0 while the maximum is 0.
    int Percent() const;
    // The text in the middle, e.g. "37%".
    QString PercentText() const;
    // The arc's current sweep in degrees, 0 .. 360 (it trails the position
    // while it glides).
    double ShownDegrees() const { return FShownDegrees; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *Event) override;
    void showEvent(QShowEvent *Event) override;

private:
    double TargetDegrees() const;
    void Changed();
    void Step();

    int64_t FMaximum = 100;
    int64_t FPosition = 0;
    int FSegmentStep = 2;
    int FAnimationInterval = 50;
    double FShownDegrees = 0;
    QTimer *FTimer;
};

// Whole percent of Position in Maximum, rounded down and clamped to 0 .. 100,
// exact for every 64-bit pair; 0 when Maximum is 0 or less.
int ProgressPercent(int64_t Position, int64_t Maximum);
