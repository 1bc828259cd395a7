#pragma once
// Settings a socket takes over when it is created: socket options, the
// initial data-socket settings, and the SOCKS proxy to connect through. Each
// socket copies them, so later changes only affect sockets created afterwards.

#include <cstdint>
#include <string>

#include "base/IpUtils.h"

enum TIpSockOptions : uint8_t {
    soBroadcast,
    soDebug,
    soDiscardReceived,
    soDontRoute,
    soEchoReceived,
    soEchoSent,
    soKeepAlive,
    soNoDelay,
    soReuseAddr,
    soStripHighBit,
    soTelnet
};
using TIpSockOptionSet = TIpSet<TIpSockOptions, uint16_t>;

enum TIpLogOptions : uint8_t { loHighData, loLowData, loTelnet };
using TIpLogOptionSet = TIpSet<TIpLogOptions, uint8_t>;

enum TIpReceiveMode : uint8_t { rmLine, rmStream, rmAny };

enum TIpSocksVersion : uint8_t { svSocks4, svSocks4a, svSocks5 };

class TIpBaseInits : public TPersistent
{
public:
    TIpBaseInits() = default;

    TIpSockOptionSet SocketOptions() const { return FSocketOptions; }
    void SetSocketOptions(TIpSockOptionSet Value) { FSocketOptions = Value; }

private:
    TIpSockOptionSet FSocketOptions;
};

// Defaults, shared with data sockets created without a settings record.
inline constexpr uint32_t IpDefFixedLineLength = 80;
inline constexpr uint32_t IpDefIdleTimeout = 0;
inline constexpr char IpDefLineTermChar = '\n';
inline constexpr TIpLineTerminator IpDefLineTerminator = ltCRLF;
inline constexpr TIpLogOptionSet IpDefLogOptions{loHighData, loTelnet};
inline constexpr int32_t IpDefReceiveBufferSize = 4096;
inline constexpr TIpReceiveMode IpDefReceiveMode = rmLine;
inline constexpr int32_t IpDefSendBufferSize = 4096;
inline constexpr bool IpDefStripLineTerminator = false;
inline constexpr uint16_t IpDefSocksPort = 1080;

class TIpDataInits : public TIpBaseInits
{
public:
    TIpDataInits() = default;

    uint32_t FixedLineLength() const { return FFixedLineLength; }
    void SetFixedLineLength(uint32_t Value) { FFixedLineLength = Value; }
    uint32_t IdleTimeout() const { return FIdleTimeout; }
    void SetIdleTimeout(uint32_t Value) { FIdleTimeout = Value; }
    char LineTermChar() const { return FLineTermChar; }
    void SetLineTermChar(char Value) { FLineTermChar = Value; }
    TIpLineTerminator LineTerminator() const { return FLineTerminator; }
    void SetLineTerminator(TIpLineTerminator Value) { FLineTerminator = Value; }
    TIpLogOptionSet LogOptions() const { return FLogOptions; }
    void SetLogOptions(TIpLogOptionSet Value) { FLogOptions = Value; }
    int32_t ReceiveBufferSize() const { return FReceiveBufferSize; }
    void SetReceiveBufferSize(int32_t Value) { FReceiveBufferSize = Value; }
    TIpReceiveMode ReceiveMode() const { return FReceiveMode; }
    void SetReceiveMode(TIpReceiveMode Value) { FReceiveMode = Value; }
    int32_t SendBufferSize() const { return FSendBufferSize; }
    void SetSendBufferSize(int32_t Value) { FSendBufferSize = Value; }
    bool StripLineTerminator() const { return FStripLineTerminator; }
    void SetStripLineTerminator(bool Value) { FStripLineTerminator = Value; }

private:
    uint32_t FFixedLineLength = IpDefFixedLineLength;
    uint32_t FIdleTimeout = IpDefIdleTimeout;
    char FLineTermChar = IpDefLineTermChar;
    TIpLineTerminator FLineTerminator = IpDefLineTerminator;
    TIpLogOptionSet FLogOptions = IpDefLogOptions;
    int32_t FReceiveBufferSize = IpDefReceiveBufferSize;
    TIpReceiveMode FReceiveMode = IpDefReceiveMode;
    int32_t FSendBufferSize = IpDefSendBufferSize;
    bool FStripLineTerminator = IpDefStripLineTerminator;
};

class TIpSocksServerInfo : public TIpBasePersistent
{
public:
    TIpSocksServerInfo() = default;

    // Copies all six settings from another TIpSocksServerInfo under this
    // object's lock; any other source raises EAssignError.
    void Assign(const TPersistent *Source) override;

    const std::string &Address() const { return FAddress; }
    void SetAddress(const std::string &Value) { FAddress = Value; }
    const std::string &Password() const { return FPassword; }
    void SetPassword(const std::string &Value) { FPassword = Value; }
    uint16_t Port() const { return FPort; }
    void SetPort(uint16_t Value) { FPort = Value; }
    TIpSocksVersion SocksVersion() const { return FSocksVersion; }
    void SetSocksVersion(TIpSocksVersion Value) { FSocksVersion = Value; }
    const std::string &UserCode() const { return FUserCode; }
    void SetUserCode(const std::string &Value) { FUserCode = Value; }
    // Version 5: the destination's name goes to the proxy, which looks it
    // up (version 4A always does so; version 4 never can).
    bool RemoteLookup() const { return FRemoteLookup; }
    void SetRemoteLookup(bool Value) { FRemoteLookup = Value; }
    // The proxy is given the name rather than an address.
    bool SendsNames() const
    {
        return !FAddress.empty() && (FSocksVersion == svSocks4a || (FSocksVersion == svSocks5 && FRemoteLookup));
    }

private:
    std::string FAddress;
    std::string FPassword;
    uint16_t FPort = IpDefSocksPort;
    TIpSocksVersion FSocksVersion = svSocks4;
    std::string FUserCode;
    bool FRemoteLookup = false;
};
