#include "socket/IpTelnet.h"

#include <cstring>

void IpTelnetSetDefaults(TIpTelnetSets Sets)
{
    Sets.LocalWilling.reset();
    Sets.LocalEnabled.reset();
    Sets.RemoteWilling.reset();
    Sets.RemoteEnabled.reset();
    for (uint8_t Option : {IpTelnetOptBinary, IpTelnetOptSuppressGoAhead, IpTelnetOptStatus,
                           IpTelnetOptTerminalType, IpTelnetOptWindowSize})
        Sets.LocalWilling.set(Option);
    for (uint8_t Option : {IpTelnetOptBinary, IpTelnetOptEcho, IpTelnetOptSuppressGoAhead})
        Sets.RemoteWilling.set(Option);
}

TIpTelnetAnswer IpTelnetAnswerOption(TIpTelnetSets Sets, uint8_t Command, uint8_t Option)
{
    TIpTelnetAnswer A;
    auto Reply = [&A](uint8_t Cmd) {
        A.Reply = true;
        A.ReplyCommand = Cmd;
    };
    switch (Command) {
    case IpTelnetWILL:
        if (Sets.RemoteEnabled.test(Option))
            break;
        if (Sets.RemoteWilling.test(Option)) {
            Sets.RemoteEnabled.set(Option);
            Reply(IpTelnetDO);
        } else {
            Reply(IpTelnetDONT);
        }
        break;
    case IpTelnetWONT:
        if (Sets.RemoteEnabled.test(Option)) {
            Sets.RemoteEnabled.reset(Option);
            Reply(IpTelnetDONT);
        }
        break;
    case IpTelnetDO:
        if (Sets.LocalEnabled.test(Option))
            break;
        if (Sets.LocalWilling.test(Option)) {
            Sets.LocalEnabled.set(Option);
            A.SendWindowSize = Option == IpTelnetOptWindowSize;
            Reply(IpTelnetWILL);
        } else {
            Reply(IpTelnetWONT);
        }
        break;
    case IpTelnetDONT:
        if (Sets.LocalEnabled.test(Option)) {
            Sets.LocalEnabled.reset(Option);
            Reply(IpTelnetWONT);
        }
        break;
    default:
        return A;
    }
    A.Handled = true;
    return A;
}

std::string IpTelnetCommand(uint8_t Command, uint8_t Option)
{
    return std::string{char(IpTelnetIAC), char(Command), char(Option)};
}

std::string IpTelnetEscape(const void *Data, size_t Len)
{
    const uint8_t *B = static_cast<const uint8_t *>(Data);
    std::string Out;
    if (Len == 0 || B == nullptr)
        return Out;
    Out.reserve(Len + Len / 16 + 1);
    for (size_t I = 0; I < Len; ++I) {
        Out.push_back(char(B[I]));
        if (B[I] == IpTelnetIAC)
            Out.push_back(char(IpTelnetIAC));
    }
    return Out;
}

namespace {

std::string SubBegin(uint8_t Option, bool WithIs)
{
    std::string S{char(IpTelnetIAC), char(IpTelnetSB), char(Option)};
    if (WithIs)
        S.push_back(char(IpTelnetIs));
    return S;
}

void SubEnd(std::string &S)
{
    S.push_back(char(IpTelnetIAC));
    S.push_back(char(IpTelnetSE));
}

} // namespace

std::string IpTelnetStatusReport(const TIpTelnetOptionSet &LocalEnabled, const TIpTelnetOptionSet &RemoteEnabled)
{
    std::string S = SubBegin(IpTelnetOptStatus, true);
    for (unsigned Option = 0; Option <= IpTelnetStatusLastOption; ++Option) {
        if (LocalEnabled.test(Option)) {
            S.push_back(char(IpTelnetWILL));
            S.push_back(char(Option));
        }
        if (RemoteEnabled.test(Option)) {
            S.push_back(char(IpTelnetDO));
            S.push_back(char(Option));
        }
    }
    SubEnd(S);
    return S;
}

std::string IpTelnetTerminalTypeReply(const std::string &Name)
{
    std::string S = SubBegin(IpTelnetOptTerminalType, true);
    S += IpTelnetEscape(Name.data(), Name.size());
    SubEnd(S);
    return S;
}

std::string IpTelnetWindowSizeReply(const std::string &SizeBytes)
{
    std::string S = SubBegin(IpTelnetOptWindowSize, false);
    S += IpTelnetEscape(SizeBytes.data(), SizeBytes.size());
    SubEnd(S);
    return S;
}

std::string IpTelnetSubReply(const TIpTelnetSets &Sets, const std::string &Text, bool TelnetOn,
                             const std::string &TerminalType)
{
    if (Text.size() < 2 || uint8_t(Text[1]) != IpTelnetSend)
        return {};
    switch (uint8_t(Text[0])) {
    case IpTelnetOptStatus:
        if (TelnetOn && Sets.LocalEnabled.test(IpTelnetOptStatus))
            return IpTelnetStatusReport(Sets.LocalEnabled, Sets.RemoteEnabled);
        return {};
    case IpTelnetOptTerminalType:
        if (Sets.LocalEnabled.test(IpTelnetOptTerminalType))
            return IpTelnetTerminalTypeReply(TerminalType);
        return {};
    default:
        return {};
    }
}

int32_t IpTelnetFilter(std::string &Pending, uint8_t *Bytes, int32_t N, const TIpTelnetOptionHandler &OnOption,
                       const TIpTelnetSubHandler &OnSub)
{
    if (Bytes == nullptr || N <= 0)
        return 0;
    if (Pending.empty() && std::memchr(Bytes, IpTelnetIAC, size_t(N)) == nullptr)
        return N;

    // Work on a copy of what was pending plus this read, writing the output
    // over the caller's bytes. Bytes held back from earlier reads are always
    // the start of one unfinished command, which yields no more output than
    // the new bytes that finish it, so the output fits in the caller's N.
    std::string Work;
    Work.swap(Pending);
    Work.append(reinterpret_cast<const char *>(Bytes), size_t(N));
    const uint8_t *W = reinterpret_cast<const uint8_t *>(Work.data());
    const size_t Len = Work.size();
    size_t I = 0;
    size_t Out = 0;
    std::string Keep;  // what waits for the next read

    while (I < Len) {
        if (W[I] != IpTelnetIAC) {
            const void *Next = std::memchr(W + I, IpTelnetIAC, Len - I);
            const size_t End = Next ? size_t(static_cast<const uint8_t *>(Next) - W) : Len;
            std::memmove(Bytes + Out, W + I, End - I);
            Out += End - I;
            I = End;
            continue;
        }
        if (I + 1 >= Len) {
            Keep.assign(Work, I, std::string::npos);
            break;
        }
        const uint8_t Cmd = W[I + 1];
        if (Cmd == IpTelnetIAC) {
            Bytes[Out++] = IpTelnetIAC;
            I += 2;
            continue;
        }
        if (Cmd == IpTelnetSB) {
            size_t Se = std::string::npos;
            for (size_t J = I + 2; J + 1 < Len; ++J) {
                if (W[J] == IpTelnetIAC && W[J + 1] == IpTelnetSE) {
                    Se = J;
                    break;
                }
            }
            if (Se == std::string::npos) {
                if (Len - I - 2 <= IpTelnetMaxSubnegotiation) {
                    Keep.assign(Work, I, std::string::npos);
                } else {
                    // Too long to be a subnegotiation this side answers:
                    // drop its content, keep looking for its end.
                    Keep.assign({char(IpTelnetIAC), char(IpTelnetSB)});
                    if (W[Len - 1] == IpTelnetIAC)
                        Keep.push_back(char(IpTelnetIAC));
                }
                break;
            }
            const std::string Text(Work, I + 2, Se - (I + 2));
            I = Se + 2;
            if (OnSub)
                OnSub(Text);
            continue;
        }
        if (I + 2 >= Len) {
            Keep.assign(Work, I, std::string::npos);
            break;
        }
        const bool Consumed = OnOption ? OnOption(Cmd, W[I + 2]) : false;
        I += Consumed ? 3 : 2;
    }
    // Should a handler have filtered a later read meanwhile, what that left
    // pending comes after ours in the stream.
    Keep.append(Pending);
    Pending.swap(Keep);
    return int32_t(Out);
}
