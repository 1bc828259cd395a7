#include "app/StatusLine.h"

#include <QLabel>
#include <QStatusBar>

#include <cstdio>

std::string ShortSize(int64_t Bytes)
{
    if (Bytes < 1024)
        return std::to_string(Bytes) + " bytes";
    static const char *const Units[] = {"KiB", "MiB", "GiB", "TiB"};
    double Value = static_cast<double>(Bytes) / 1024.0;
    int Unit = 0;
    while (Value >= 1024.0 && Unit < 3) {
        Value /= 1024.0;
        ++Unit;
    }
    char Text[32];
    std::snprintf(Text, sizeof Text, "%.1f %s", Value, Units[Unit]);
    return Text;
}

std::string TransferSummary(int64_t Bytes, int64_t Total, int64_t ElapsedMs)
{
    std::string Text = ShortSize(Bytes);
    if (Total > 0)
        Text += " of " + ShortSize(Total);
    if (ElapsedMs < 100 || Bytes <= 0)
        return Text;
    const double Rate = static_cast<double>(Bytes) * 1000.0 / static_cast<double>(ElapsedMs);
    Text += ", " + ShortSize(static_cast<int64_t>(Rate)) + "/s";
    if (Total > Bytes && Rate > 0) {
        const int64_t Left = static_cast<int64_t>(static_cast<double>(Total - Bytes) / Rate + 0.999);
        Text += Left >= 3600 ? ", " + std::to_string(Left / 3600) + " h " + std::to_string(Left % 3600 / 60) + " min left"
                : Left >= 60 ? ", " + std::to_string(Left / 60) + " min " + std::to_string(Left % 60) + " s left"
                             : ", " + std::to_string(Left) + " s left";
    }
    return Text;
}

TStatusLine::TStatusLine(QStatusBar *Bar)
    : QObject(Bar), FOutcome(new QLabel(Bar)), FTransfer(new QLabel(Bar)), FSecurity(new QLabel(Bar))
{
    FOutcome->setObjectName(QStringLiteral("StatusOutcome"));
    FOutcome->setTextFormat(Qt::PlainText);
    FOutcome->setAccessibleName(tr("Latest outcome"));
    FTransfer->setObjectName(QStringLiteral("StatusTransfer"));
    FTransfer->setTextFormat(Qt::PlainText);
    FTransfer->setAccessibleName(tr("Transfer"));
    FSecurity->setObjectName(QStringLiteral("StatusSecurity"));
    FSecurity->setTextFormat(Qt::PlainText);
    FSecurity->setAccessibleName(tr("Connection security"));
    // The outcome gives way (its tool tip holds it whole), so that the
    // transfer figures and the connection's security stay readable.
    FOutcome->setMinimumWidth(80);
    FOutcome->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    Bar->addWidget(FOutcome, 1);
    Bar->addPermanentWidget(FTransfer);
    Bar->addPermanentWidget(FSecurity);
}

void TStatusLine::ShowOutcome(const QString &Text)
{
    FOutcome->setText(Text);
    FOutcome->setToolTip(Text);
}

QString TStatusLine::Outcome() const { return FOutcome->text(); }

void TStatusLine::StartTransfer(int64_t Total)
{
    FTotal = Total;
    FSince.start();
    FTransfer->setText(QString::fromStdString(TransferSummary(0, FTotal, 0)));
}

void TStatusLine::ShowProgress(int64_t Bytes)
{
    if (!FSince.isValid())
        FSince.start();
    FTransfer->setText(QString::fromStdString(TransferSummary(Bytes, FTotal, FSince.elapsed())));
}

void TStatusLine::EndTransfer()
{
    FSince.invalidate();
    FTransfer->clear();
}

QString TStatusLine::TransferText() const { return FTransfer->text(); }

void TStatusLine::ShowSecurity(const QString &Text)
{
    FSecurity->setText(Text);
    FSecurity->setToolTip(Text);
}

QString TStatusLine::Security() const { return FSecurity->text(); }
