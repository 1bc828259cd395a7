#pragma once
// The About box: the program's picture, its name and version, and "Ok".

#include <QDialog>

class QLabel;
class QPushButton;

class TAbout : public QDialog
{
    Q_OBJECT

public:
    explicit TAbout(QWidget *Parent = nullptr);

    // Ok: closes the box.
    void sButton1Click();

    QLabel *Picture;
    QLabel *ProductName;
    QPushButton *sButton1;
};

extern TAbout *About;
