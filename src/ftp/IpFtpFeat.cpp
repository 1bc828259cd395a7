// What the client learns from the server beyond the basic commands: FEAT,
// OPTS UTF8 ON and OPTS MLST as the last steps of the login, MLSD listings with LIST
// as the fall-back for the rest of the session, and the SIZE, MDTM or MLST
// queries that let a download be checked and keep the server's time.

#include "ftp/IpFtpClient.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "ftp/IpFtpMlsd.h"

namespace {

bool StartsWith(const std::string &S, const char *Prefix)
{
    return S.compare(0, std::char_traits<char>::length(Prefix), Prefix) == 0;
}

// The text of a one-line reply after its code, without the line end and
// surrounding blanks.
std::string ReplyValue(const std::string &Text)
{
    std::string V = Text.size() > 4 ? Text.substr(4) : std::string();
    const std::size_t Line = V.find_first_of("\r\n");
    if (Line != std::string::npos)
        V.resize(Line);
    while (!V.empty() && V.back() == ' ')
        V.pop_back();
    std::size_t Lead = 0;
    while (Lead < V.size() && V[Lead] == ' ')
        ++Lead;
    return V.substr(Lead);
}

bool ReadSize(const std::string &S, int64_t &Value)
{
    if (S.empty() || S.size() > 18)
        return false;
    int64_t V = 0;
    for (char C : S) {
        if (C < '0' || C > '9')
            return false;
        V = V * 10 + (C - '0');
    }
    Value = V;
    return true;
}

} // namespace

bool TIpCustomFtpClient::UseMlsd() const
{
    if (!FFeatures.Mlst() || FMlsdRefused)
        return false;
    return FDirectoryTree ? FDirectoryTree->DirectoryStyle() == dsAuto : FPreferMlsd;
}

void TIpCustomFtpClient::LoginAccepted()
{
    FFeatures.Clear();
    FMlsdRefused = false;
    FListedWithMlsd = false;
    FQueryOut.clear();
    // A 230 to a "USER " sent as a raw command is no new session to ask about.
    if (!FQueryFeatures || FFtpState != stLogin) {
        FinishLogin();
        return;
    }
    // Still logging in: nothing else may start until the server has said
    // what it offers, since the first listing depends on it.
    FFeatStage = fsFeat;
    SendCommand("FEAT");
}

void TIpCustomFtpClient::FinishLogin()
{
    FFeatStage = fsOff;
    SetState(stReady);
    FLoggedIn = true;
    DoFtpStatus(fscLogin, std::string());
}

bool TIpCustomFtpClient::FeatureReply(const std::string &Text, int Code)
{
    if (FFeatStage != fsOff) {
        // A closing server ends the login its own way.
        if (Code == 421) {
            FFeatStage = fsOff;
            return false;
        }
        if (Code < 200)
            return true;
        // Any answer but a feature list (500, 502) means none: the login
        // goes on without them. Whatever the OPTS lines get back, the
        // server goes on as it was.
        if (FFeatStage == fsFeat)
            FFeatures.Parse(Code, Text);
        if (FFeatStage == fsFeat && FFeatures.Utf8()) {
            // Names then travel as UTF-8 both ways; they stay bytes here.
            FFeatStage = fsUtf8;
            SendCommand("OPTS UTF8 ON");
            return true;
        }
        if (FFeatStage != fsMlst && FFeatures.Mlst()) {
            // Servers send some facts only when asked (the mode bits, owner
            // and group, for one).
            std::string Wanted;
            for (const std::string &Fact : FFeatures.MlstFacts())
                for (const char *Want : {"type", "size", "modify", "perm", "unix.mode", "unix.owner", "unix.uid",
                                         "unix.group", "unix.gid"})
                    if (Fact == Want)
                        Wanted += Fact + ";";
            if (!Wanted.empty()) {
                FFeatStage = fsMlst;
                SendCommand("OPTS MLST " + Wanted);
                return true;
            }
        }
        FinishLogin();
        return true;
    }

    if (FFtpState == stDirectory && FListedWithMlsd && FTransferCommandSent && (Code == 500 || Code == 502)) {
        // Offered but refused: LIST for this listing and the rest of the session.
        FMlsdRefused = true;
        WriteEventLog("MLSD refused, listing with LIST: " + ReplyValue(Text));
        CleanupTransfer();
        NextTransferSerial();
        ListDir(FListPath, true);
        return true;
    }

    if (!FQueryOut.empty() && FFtpState == stRetrieve && Code >= 200 && Code != 421) {
        // A refused query costs the download nothing: it goes on without.
        std::string Query;
        Query.swap(FQueryOut);
        int64_t Value = -1;
        if (Query == "SIZE" && Code == 213 && ReadSize(ReplyValue(Text), Value)) {
            FRemoteSize = Value;
        } else if (Query == "MDTM" && Code == 213) {
            FRemoteModifyTime = MlsdTimeValue(ReplyValue(Text));
        } else if (Query == "MLST" && Code == 250) {
            // The entry is the continuation line: " facts; name".
            std::size_t Pos = Text.find('\n');
            while (Pos != std::string::npos && Pos + 1 < Text.size()) {
                std::size_t End = Text.find('\n', Pos + 1);
                std::string Line = Text.substr(Pos + 1, (End == std::string::npos ? Text.size() : End) - Pos - 1);
                Pos = End;
                if (!Line.empty() && Line.back() == '\r')
                    Line.pop_back();
                if (!Line.empty() && Line.front() == ' ')
                    Line.erase(0, 1);
                TIpFtpFileInfo Entry;
                Entry.ParseMlsdLine(Line);
                if (Entry.FileKind == fkUnknown)
                    continue;
                FRemoteModifyTime = Entry.ModifyTime;
                if (Entry.FileKind == fkFile && FTransferBinary && !FFeatures.Size())
                    FRemoteSize = Entry.Size;
                break;
            }
        }
        // The size the server gives before the transfer checks a binary
        // download whose 150 reply names none.
        if (FRemoteSize >= 0 && FTransferBinary && FExpectedSize < 0)
            FExpectedSize = FRemoteSize;
        SendNextCommand();
        return true;
    }
    return false;
}

void TIpCustomFtpClient::PlanDownloadQueries()
{
    FQueries.clear();
    FQueryOut.clear();
    FRemoteModifyTime = -1;
    FRemoteSize = -1;
    // What a listing has told already is not asked again.
    const bool Known = !FKnownFile.empty() && FKnownFile == FRemoteFileName;
    FKnownFile.clear();
    if (Known) {
        FRemoteSize = FKnownSize;
        FRemoteModifyTime = FKnownModifyTime;
        if (FRemoteSize >= 0 && FTransferBinary && FExpectedSize < 0)
            FExpectedSize = FRemoteSize;
    }
    // Sizes in ASCII type are not the bytes that arrive; servers refuse
    // SIZE there, or give the size on disk.
    if (FFileType == ftBinary && FFeatures.Size() && FRemoteSize < 0)
        FQueries.push_back("SIZE " + FRemoteFileName);
    if (FRemoteModifyTime >= 0)
        return;
    if (FFeatures.Mdtm())
        FQueries.push_back("MDTM " + FRemoteFileName);
    else if (FFeatures.Mlst())
        FQueries.push_back("MLST " + FRemoteFileName);
}

void TIpCustomFtpClient::PushDownloadQueries()
{
    // Asked after "TYPE " (servers answer SIZE only in binary type), each
    // reply sending the next line.
    for (auto It = FQueries.rbegin(); It != FQueries.rend(); ++It)
        PushCommand(*It);
    FQueries.clear();
}

void TIpCustomFtpClient::NoteQuerySent(const std::string &Line)
{
    if (FFtpState != stRetrieve)
        return;
    for (const char *Word : {"SIZE ", "MDTM ", "MLST "})
        if (StartsWith(Line, Word))
            FQueryOut.assign(Word, 4);
}

void TIpCustomFtpClient::KeepRemoteModifyTime()
{
    if (FRemoteModifyTime < 0 || FLocalFileName.empty())
        return;
    const int64_t Time = FRemoteModifyTime;
    FRemoteModifyTime = -1;
    struct timespec Times[2];
    Times[0].tv_sec = 0;
    Times[0].tv_nsec = UTIME_OMIT; // the access time stays
    Times[1].tv_sec = static_cast<time_t>(Time);
    Times[1].tv_nsec = 0;
    // A file system that keeps no times loses nothing of the download.
    if (::utimensat(AT_FDCWD, FLocalFileName.c_str(), Times, 0) != 0)
        WriteEventLog("Cannot keep the server's time on " + FLocalFileName);
}
