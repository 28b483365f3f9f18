#include "platform/SystemServices.h"

#include "platform/AdapterSource.h"
#include "platform/MachineInfo.h"
#include "platform/PlatformLogging.h"
#include "platform/windows/WinAdapters.h"
#include "platform/windows/WinMachine.h"

#include <QSocketNotifier>
#include <QString>

#include <winsock2.h>

#include <string>
#include <vector>

namespace {

class WindowsAdapterSource : public AdapterSource
{
public:
    bool list(QVector<AdapterInfo>& adapters) override
    {
        adapters.clear();
        std::vector<WinAdapters::Adapter> found;
        unsigned long error = 0;
        if (!WinAdapters::list(found, &error)) {
            qCWarning(platform) << "GetAdaptersAddresses failed" << error;
            return false;
        }
        adapters.reserve(static_cast<int>(found.size()));
        for (const WinAdapters::Adapter& adapter : found) {
            AdapterInfo info;
            info.name = QString::fromLocal8Bit(adapter.name.c_str());
            info.friendlyName = QString::fromStdWString(adapter.friendlyName);
            info.type = static_cast<quint32>(adapter.type);
            info.up = adapter.up;
            for (const std::string& address : adapter.addresses)
                info.addresses.append(QByteArray(address.data(), static_cast<int>(address.size())));
            adapters.append(info);
        }
        return true;
    }
};

class WindowsMachineInfo : public MachineInfo
{
public:
    bool domainDnsName(QString& domain) override
    {
        std::wstring name;
        const bool asked = WinMachine::domainDnsName(name);
        domain = QString::fromStdWString(name);
        return asked;
    }

    bool consoleUserName(QString& user) override
    {
        std::wstring name;
        const bool known = WinMachine::consoleUserName(name);
        user = QString::fromStdWString(name);
        return known;
    }

    QString productName() override { return QString::fromStdWString(product().productName); }

    quint32 buildNumber() override { return static_cast<quint32>(product().buildNumber); }

private:
    static WinMachine::ProductInfo product()
    {
        WinMachine::ProductInfo info;
        WinMachine::readProductInfo(HKEY_LOCAL_MACHINE, WinMachine::currentVersionKey, info);
        return info;
    }
};

} // namespace

AdapterSource& SystemServices::adapterSource()
{
    static WindowsAdapterSource source;
    return source;
}

MachineInfo& SystemServices::machineInfo()
{
    static WindowsMachineInfo info;
    return info;
}

bool SystemServices::stopSending(qintptr socketDescriptor)
{
    return ::shutdown(static_cast<SOCKET>(socketDescriptor), SD_SEND) == 0;
}

SystemServices::AcceptResult SystemServices::acceptConnection(qintptr listener, qintptr* accepted)
{
    const SOCKET socket = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (socket != INVALID_SOCKET) {
        // The new socket inherits the listener's WSAAsyncSelect, which keeps
        // it from being switched to non-blocking mode when Qt adopts it; a
        // notifier registered and removed again cancels that selection.
        QSocketNotifier cancel(qintptr(socket), QSocketNotifier::Read);
        cancel.setEnabled(false);
        *accepted = qintptr(socket);
        return AcceptResult::Accepted;
    }
    switch (::WSAGetLastError()) {
    case WSAEWOULDBLOCK:
        return AcceptResult::Empty;
    case WSAEINTR:
    case WSAECONNRESET:
        return AcceptResult::Aborted;
    case WSAEMFILE:
    case WSAENOBUFS:
        return AcceptResult::OutOfResources;
    default:
        return AcceptResult::Failed;
    }
}

void SystemServices::closeSocket(qintptr socketDescriptor)
{
    ::closesocket(static_cast<SOCKET>(socketDescriptor));
}
