#pragma once
// The "Set file permission" dialog: nine boxes for read, write and execute of
// owner, group and others, the octal mode they make, and "Ok" that asks the
// server to apply the mode to the file selected in the main window. The
// dialog talks to the main window only through TFilePermissionHost.

#include <QDialog>
#include <string>

#include "ftp/IpFtpList.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// What the dialog needs of the main window.
struct TFilePermissionHost
{
    virtual const TIpFtpFileInfo *SelectedEntry() const = 0; // nullptr: none
    virtual std::string RemoteFolderPath() const = 0;         // bytes of RemoteFolder
    virtual void SendFtpCommand(const std::string &Line) = 0;
    virtual void ChangeDir(const std::string &Path) = 0;
    virtual void RepaintNow() = 0;
    virtual ~TFilePermissionHost() = default;
};

// "0" followed by the octal digit of each set (read 4, write 2, execute 1):
// owner, group, others. Read and write for the owner and read for the rest
// give "0644".
std::string PermissionModeText(TIpFtpPermissions Owner, TIpFtpPermissions Group,
                               TIpFtpPermissions Other);

// A mode the field may send: one to four octal digits.
bool IsPermissionMode(const QString &Text);

class TFilePermission : public QDialog
{
    Q_OBJECT

public:
    explicit TFilePermission(QWidget *Parent = nullptr);

    void SetHost(TFilePermissionHost *Host) { FHost = Host; }
    TFilePermissionHost *Host() const { return FHost; }

    // Takes the selected entry's name and permissions (when there is one)
    // and recomputes the field; runs each time the dialog is shown.
    void FormShow();
    // The field from the nine boxes; every box's click runs it.
    void Recompute();
    // Ok: sends the mode for the file, refreshes the folder, closes.
    void sButton1Click();
    // Cancel: closes; nothing is sent.
    void sButton2Click();

    // The file the shown mode is for, as the server named it; empty while no
    // entry was selected when the dialog opened.
    const std::string &FileName() const { return FFileName; }

    QLabel *SelectedFile;
    QCheckBox *Read1, *Write1, *Execute1;
    QCheckBox *Read2, *Write2, *Execute2;
    QCheckBox *Read3, *Write3, *Execute3;
    QLineEdit *chmod;
    QPushButton *sButton1;
    QPushButton *sButton2;

protected:
    void showEvent(QShowEvent *Event) override;

private:
    void CreateWidgets();
    void CreateLayout();
    void UpdateOkButton();
    void ShowFileName(const std::string &Name);

    TFilePermissionHost *FHost = nullptr;
    std::string FFileName;
    bool FHasFile = false;
};

extern TFilePermission *FilePermission;
