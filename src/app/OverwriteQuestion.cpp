#include "app/OverwriteQuestion.h"

#include <QObject>

#include "app/AppRules.h"
#include "app/DialogProvider.h"

std::string NumberedName(const std::string &Name, const std::function<bool(const std::string &)> &Taken)
{
    // A leading dot is part of the name, not an extension (".profile").
    const size_t Dot = Name.find_last_of('.');
    const bool HasExt = Dot != std::string::npos && Dot > 0;
    const std::string Stem = HasExt ? Name.substr(0, Dot) : Name;
    const std::string Ext = HasExt ? Name.substr(Dot) : std::string();
    for (int N = 1;; ++N) {
        std::string Candidate = Stem + " (" + std::to_string(N) + ")" + Ext;
        if (!Taken(Candidate) || N >= 9999)
            return Candidate;
    }
}

TOverwriteDecision AskOverwrite(QWidget *Parent, const std::string &Name, const QString &Where, int64_t SourceSize,
                                const std::function<int64_t(const std::string &)> &SizeOf)
{
    const auto Taken = [&SizeOf](const std::string &Candidate) { return SizeOf(Candidate) >= 0; };
    TOverwriteDecision Result;
    std::string Current = Name;
    for (;;) {
        const int64_t Existing = SizeOf(Current);
        const bool CanResume = SourceSize >= 0 && Existing >= 0 && Existing < SourceSize;
        QString Text = QObject::tr("The file \"%1\" already exists in the %2 (%3 bytes).")
                           .arg(DisplayName(Current), Where)
                           .arg(Existing);
        Text += CanResume ? QObject::tr("\n\nOverwrite it, resume the transfer at byte %1, or transfer under another name?")
                                .arg(Existing)
                          : QObject::tr("\n\nOverwrite it, or transfer under another name?");
        switch (Dialogs().AskOverwrite(Parent, Text, CanResume)) {
        case oaOverwrite:
            Result.Go = true;
            Result.Name = Current;
            return Result;
        case oaResume:
            if (!CanResume)
                return Result;
            Result.Go = true;
            Result.Resume = true;
            Result.RestartAt = Existing;
            Result.Name = Current;
            return Result;
        case oaRename: {
            QString NewName = DisplayName(NumberedName(Current, Taken));
            if (!Dialogs().InputText(Parent, QStringLiteral("Tolvane FTP Uploader"), QObject::tr("New file name:"),
                                     NewName))
                return Result;
            const std::string Chosen = NewName.toStdString();
            if (!IsSafeLocalName(Chosen))
                return Result;
            if (!Taken(Chosen)) {
                Result.Go = true;
                Result.Name = Chosen;
                return Result;
            }
            Current = Chosen;
            break;
        }
        default:
            return Result;
        }
    }
}

TBatchChoice TOverwriteBatch::Decide(const std::string &Name, int64_t SourceSize, int64_t Existing)
{
    const bool CanResume = SourceSize >= 0 && Existing >= 0 && Existing < SourceSize;
    TOverwriteAnswer Answer = FAll;
    if (!FHaveAll) {
        ++FAsked;
        QString Text = QObject::tr("The file \"%1\" already exists in the %2 (%3 bytes).")
                           .arg(DisplayName(Name), FWhere)
                           .arg(Existing);
        Text += CanResume ? QObject::tr("\n\nOverwrite it, resume the transfer at byte %1, transfer under another "
                                        "name, or skip it?")
                                .arg(Existing)
                          : QObject::tr("\n\nOverwrite it, transfer under another name, or skip it?");
        bool All = false;
        Answer = Dialogs().AskOverwrite(FParent, Text, CanResume, &All);
        if (All) {
            FHaveAll = true;
            FAll = Answer;
        }
    }
    switch (Answer) {
    case oaOverwrite:
        return bcOverwrite;
    case oaResume:
        if (CanResume)
            return bcResume;
        return SourceSize >= 0 && Existing == SourceSize ? bcSkip : bcOverwrite;
    case oaRename:
        return bcRename;
    default:
        return bcSkip;
    }
}
