#include "app/HiddenFiles.h"

#include "app/DialogProvider.h"
#include "app/FileListModel.h"
#include "app/HostSettings.h"

QAction *MakeShowHiddenAction(QWidget *Owner, TFileListModel *Files, const std::string &SettingsPath,
                              std::function<void()> Refresh)
{
    auto *Action = new QAction(QObject::tr("Show hidden files"), Owner);
    Action->setObjectName(QStringLiteral("ShowHidden1"));
    Action->setCheckable(true);
    Action->setStatusTip(QObject::tr("Show the names that begin with \".\""));
    const bool Shown = ReadHostFlag(SettingsPath, "ShowHidden", false);
    Action->setChecked(Shown);
    Files->SetShowHidden(Shown);
    QObject::connect(Action, &QAction::toggled, Owner, [=](bool On) {
        Files->SetShowHidden(On);
        try {
            WriteHostFlag(SettingsPath, "ShowHidden", On);
        } catch (const EHostSettingsError &E) {
            Dialogs().ShowMessage(Owner, QString::fromStdString(E.what()));
        }
        if (Refresh)
            Refresh();
    });
    return Action;
}
