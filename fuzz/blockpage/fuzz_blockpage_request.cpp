// libFuzzer target for the block page's request handling: finding the end of
// the request headers and building the redirect target from a request that a
// browser (or anything on the machine) sent to the local HTTP port.
#include "blockpage/BlockPage.h"
#include "fuzz/FuzzSupport.h"

#include <QDateTime>
#include <QUrl>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    quietQtLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    // The first four bytes are the machine's token (-1 included).
    const int token = static_cast<int>((uint32_t(data[0]) << 24) | (uint32_t(data[1]) << 16) |
                                       (uint32_t(data[2]) << 8) | uint32_t(data[3]));
    const QByteArray request(reinterpret_cast<const char*>(data) + 4, static_cast<int>(size - 4));

    const int end = BlockPage::requestEnd(request);
    check(end == -1 || (end > 0 && end <= request.size()));
    const QByteArray head = end > 0 ? request.left(end) : request;
    QString scheme;
    const QString target = BlockPage::createUrl(head, token, &scheme);
    check(scheme.isEmpty() || scheme == QLatin1String("http") || scheme == QLatin1String("https"));
    const QUrl url(target);
    // Whatever came in, the answer is one well-formed HTTP response without
    // a line break smuggled into its Location line.
    const QByteArray response = BlockPage::redirectResponse(url, QDateTime::fromSecsSinceEpoch(0, Qt::UTC));
    const int location = response.indexOf("Location: ");
    if (location >= 0) {
        const int lineEnd = response.indexOf("\r\n", location);
        check(lineEnd > location);
        const QByteArray line = response.mid(location, lineEnd - location);
        check(!line.contains('\n') && !line.contains('\r'));
    }
    return 0;
}
