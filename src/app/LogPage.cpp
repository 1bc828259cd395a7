#include "app/LogPage.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTime>
#include <QVBoxLayout>

#include "app/AppRules.h"
#include "ftp/IpFtpProtocol.h"

TLogPage::TLogPage(QWidget *Parent) : QWidget(Parent)
{
    setObjectName(QStringLiteral("LogPage"));
    ReplyMemo = new QPlainTextEdit(this);
    ReplyMemo->setObjectName(QStringLiteral("ReplyMemo"));
    ReplyMemo->setReadOnly(true);
    ReplyMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ReplyMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    // A server that talks forever must not eat the machine's memory.
    ReplyMemo->setMaximumBlockCount(20000);
    ReplyMemo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    ReplyMemo->setAccessibleName(tr("Server log"));

    FCopy = new QPushButton(tr("C&opy"), this);
    FCopy->setObjectName(QStringLiteral("LogCopy"));
    FCopy->setToolTip(tr("Copy the selected lines, or the whole log"));
    FClear = new QPushButton(tr("C&lear"), this);
    FClear->setObjectName(QStringLiteral("LogClear"));
    FClear->setToolTip(tr("Empty the log"));
    connect(FCopy, &QPushButton::clicked, this, [this] { CopyClick(); });
    connect(FClear, &QPushButton::clicked, this, [this] { ClearClick(); });

    auto *Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(FCopy);
    Buttons->addWidget(FClear);
    auto *Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(6, 6, 6, 6);
    Layout->addWidget(ReplyMemo, 1);
    Layout->addLayout(Buttons);
}

void TLogPage::Append(const QString &Mark, const QString &Text)
{
    const QString Time = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    ReplyMemo->appendPlainText(Time + QLatin1Char(' ') + Mark + QLatin1Char(' ') + Text);
}

void TLogPage::AddReply(const std::string &Reply)
{
    QStringList Lines;
    size_t Start = 0;
    while (Start <= Reply.size()) {
        size_t End = Reply.find('\n', Start);
        if (End == std::string::npos)
            End = Reply.size();
        std::string Line = Reply.substr(Start, End - Start);
        if (!Line.empty() && Line.back() == '\r')
            Line.pop_back();
        if (End < Reply.size() || !Line.empty())
            Lines.append(DisplayName(Line));
        Start = End + 1;
    }
    while (Lines.size() > 1 && Lines.back().isEmpty())
        Lines.removeLast();
    // Continuation lines line up under the first one.
    Append(QStringLiteral("<"), Lines.join(QStringLiteral("\n           ")));
}

void TLogPage::AddCommand(const std::string &Line) { Append(QStringLiteral(">"), DisplayName(FtpMaskedCommand(Line))); }

void TLogPage::AddNote(const QString &Text) { Append(QStringLiteral("!"), Text); }

void TLogPage::CopyClick()
{
    const QString Selected = ReplyMemo->textCursor().selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    QApplication::clipboard()->setText(Selected.isEmpty() ? ReplyMemo->toPlainText() : Selected);
}

void TLogPage::ClearClick() { ReplyMemo->clear(); }
