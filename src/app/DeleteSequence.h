#pragma once
// Deletes several files of the current remote folder one after another on
// the client's control connection: the next DELE goes once the server has
// answered the last one, whether it deleted the file or refused.

#include <QObject>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ftp/IpFtpWalk.h"

class TDeleteSequence : public QObject
{
    Q_OBJECT

public:
    explicit TDeleteSequence(TIpCustomFtpClient &Client, QObject *Parent = nullptr);
    ~TDeleteSequence() override;

    // False when one runs already or the client is not ready.
    bool Start(const std::vector<std::string> &Names);
    bool Running() const { return FRunning; }

    struct TOutcome
    {
        int Deleted = 0;
        std::vector<std::pair<std::string, std::string>> Refused; // name, the server's reason
        int NotTried = 0;   // the connection ended first
    };
    // From the event loop, once every name had its answer (or the
    // connection ended).
    std::function<void(const TOutcome &Outcome)> OnFinished;

private:
    void Answered(bool Deleted, const std::string &Why);
    void Next();
    void Finish();

    TIpCustomFtpClient &FClient;
    TIpFtpClientHook FHook;
    std::deque<std::string> FNames;
    std::string FCurrent;
    bool FRunning = false;
    bool FWaiting = false; // a DELE is out
    TOutcome FOutcome;
};
