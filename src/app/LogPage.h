#pragma once
// The "Log" page: every command sent (the password masked), every server
// reply and every failure the window reports, each with its time, in a
// read-only text area with Copy and Clear.

#include <QWidget>

#include <string>

class QPlainTextEdit;
class QPushButton;

class TLogPage : public QWidget
{
    Q_OBJECT

public:
    explicit TLogPage(QWidget *Parent = nullptr);

    // A server reply: one entry, its lines shown as lines, anything else escaped.
    void AddReply(const std::string &Reply);
    // A line the client sent on the control connection (PASS and ACCT masked).
    void AddCommand(const std::string &Line);
    // A failure or another outcome the window reported.
    void AddNote(const QString &Text);

    QPlainTextEdit *Memo() const { return ReplyMemo; }
    // Copies the selection, or the whole log when nothing is selected.
    void CopyClick();
    void ClearClick();

private:
    void Append(const QString &Mark, const QString &Text);

    QPlainTextEdit *ReplyMemo;
    QPushButton *FCopy;
    QPushButton *FClear;
};
