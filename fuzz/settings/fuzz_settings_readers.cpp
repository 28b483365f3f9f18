// libFuzzer target for the settings readers: the interface map entry parser
// ("name:true") directly, and every reader of the store (interface map, window
// coordinates, token, protocol, addresses, protection state) against a store
// file whose content is the input, as a damaged or hand-edited file would be.
#include "fuzz/FuzzSupport.h"
#include "settings/UserData.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

QString storeFile;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // In memory where the machine has it: a reader that finds a value missing
    // stores its default and saves the file, and each save on a disk waited
    // for the data to reach it (fsync), most of the time of a run.
    const QString shm = QStringLiteral("/dev/shm");
    const QFileInfo memory(shm);
    static QTemporaryDir dir(memory.isDir() && memory.isWritable()
                                 ? shm + QStringLiteral("/corvane-fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/corvane-fuzz-XXXXXX"));
    qputenv("CORVANE_STATE_DIR", QFile::encodeName(dir.path()));
    // Where the store of the agent's settings lives inside the state folder.
    QDir().mkpath(dir.path() + QStringLiteral("/HKEY_USERS/.DEFAULT/Software/Corvane"));
    storeFile = dir.path() + QStringLiteral("/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini");
    quietQtLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));

    UserData::NetInter entry;
    if (UserData::parseNetInter(QString::fromUtf8(bytes), entry))
        check(!entry.name.isEmpty());

    {
        QFile file(storeFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        file.write(bytes);
    }
    UserData::resetMemoryState();
    const QMap<QString, UserData::NetInter> interfaces = UserData::getNetworkInterfaces();
    for (auto it = interfaces.cbegin(); it != interfaces.cend(); ++it)
        check(!it->name.isEmpty());
    const QJsonObject coordinates = UserData::getCoordGui();
    check(coordinates.contains(QStringLiteral("x")) && coordinates.contains(QStringLiteral("y")));
    UserData::getToken();
    // A number naming no transport comes back as it is; the DNS listener
    // treats anything but DoH and DoT as plain UDP.
    UserData::getDnsProtocol();
    UserData::getDnsIpV4();
    UserData::getDnsIpV6();
    UserData::getDnsHost();
    UserData::getControlDNS();
    UserData::getStatusLog();
    UserData::getProfileId();
    UserData::getSaveUid();
    return 0;
}
