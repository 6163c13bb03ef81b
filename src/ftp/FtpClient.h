// Stand-in FTP client with the shape the driver uses; every Connect fails
// as an unreachable server would. The real client replaces this unit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Classes.h"
#include "SysUtils.h"

using TOnErrorEvent = std::function<void(TObject* Sender, std::uint16_t Errno, const std::string& Errmsg)>;

class ESockError : public Exception {
public:
    using Exception::Exception;
};

class TFtpClient : public TComponent {
public:
    explicit TFtpClient(TComponent* AOwner) : TComponent(AOwner) {}

    std::string Host;
    int Port = 21;
    int ReportLevel = 0;
    int ProxyPort = 0;
    std::string Proxy;
    std::string UserID;
    std::string Password;
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    TOnErrorEvent OnError;

    virtual void Connect() { throw ESockError("Connection Failed"); }
    void Mode(int) {}
    void Download(const std::string&, const std::string&) {}
    void Upload(const std::string&, const std::string&) {}
    virtual void Disconnect() {}
    virtual void Abort() {}
};
