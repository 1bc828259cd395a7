#pragma once
// The file list's "Show hidden files" toggle: names beginning with "." are
// hidden unless it is on. Its state lives in host.ini as ShowHidden=0|1.

#include <QAction>
#include <QWidget>

#include <functional>
#include <string>

class TFileListModel;

// A checkable action (object name "ShowHidden1") that starts as host.ini
// says and applies itself to Files; each toggle is written back and calls
// Refresh, which lists the folder again so the folder tree follows too.
// A settings file that cannot be written keeps the choice for this run and
// says why in a message box over Owner.
QAction *MakeShowHiddenAction(QWidget *Owner, TFileListModel *Files, const std::string &SettingsPath,
                              std::function<void()> Refresh);
