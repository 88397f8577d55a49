#include "errnocodes.h"
#include "socketcalls.h"
#include "socketerrors.h"

#include <QTest>

#include <cerrno>

namespace {

struct ExpectedMessage
{
    int code;
    const char *name;
    const char *message;
};

// What the user must see for each WinSock code, word for word.
constexpr ExpectedMessage kExpectedMessages[] = {
    {10004, "WSAEINTR", "Interrupted system call"},
    {10009, "WSAEBADF", "Bad file number"},
    {10013, "WSAEACCES", "Permission denied"},
    {10014, "WSAEFAULT", "Bad address"},
    {10022, "WSAEINVAL", "Invalid argument"},
    {10024, "WSAEMFILE", "Too many open files"},
    {10035, "WSAEWOULDBLOCK", "Operation would block"},
    {10036, "WSAEINPROGRESS", "Operation now in progress"},
    {10037, "WSAEALREADY", "Operation already in progress"},
    {10038, "WSAENOTSOCK", "Socket operation on non-socket"},
    {10039, "WSAEDESTADDRREQ", "Destination address required"},
    {10040, "WSAEMSGSIZE", "Message too long"},
    {10041, "WSAEPROTOTYPE", "Protocol wrong type for socket"},
    {10042, "WSAENOPROTOOPT", "Protocol not available"},
    {10043, "WSAEPROTONOSUPPORT", "Protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT", "Socket type not supported"},
    {10045, "WSAEOPNOTSUPP", "Operation not supported on socket"},
    {10046, "WSAEPFNOSUPPORT", "Protocol family not supported"},
    {10047, "WSAEAFNOSUPPORT", "Address family not supported by protocol family"},
    {10048, "WSAEADDRINUSE", "Address already in use"},
    {10049, "WSAEADDRNOTAVAIL", "Can't assign requested address"},
    {10050, "WSAENETDOWN", "Network is down"},
    {10051, "WSAENETUNREACH", "Network is unreachable"},
    {10052, "WSAENETRESET", "Network dropped connection on reset"},
    {10053, "WSAECONNABORTED", "Software caused connection abort"},
    {10054, "WSAECONNRESET", "Connection reset by peer"},
    {10055, "WSAENOBUFS", "No buffer space available"},
    {10056, "WSAEISCONN", "Socket is already connected"},
    {10057, "WSAENOTCONN", "Socket is not connected"},
    {10058, "WSAESHUTDOWN", "Can't send after socket shutdown"},
    {10059, "WSAETOOMANYREFS", "Too many references: can't splice"},
    {10060, "WSAETIMEDOUT", "Connection timed out"},
    {10061, "WSAECONNREFUSED", "Connection refused"},
    {10062, "WSAELOOP", "Too many levels of symbolic links"},
    {10063, "WSAENAMETOOLONG", "File name too long"},
    {10064, "WSAEHOSTDOWN", "Host is down"},
    {10065, "WSAEHOSTUNREACH", "No route to host"},
    {10066, "WSAENOTEMPTY", "Directory not empty"},
    {10067, "WSAEPROCLIM", "Too many processes"},
    {10068, "WSAEUSERS", "Too many users"},
    {10069, "WSAEDQUOT", "Disc quota exceeded"},
    {10070, "WSAESTALE", "Stale NFS file handle"},
    {10071, "WSAEREMOTE", "Too many levels of remote in path"},
    {10091, "WSASYSNOTREADY", "Network sub-system is unusable"},
    {10092, "WSAVERNOTSUPPORTED", "WinSock DLL cannot support this application"},
    {10093, "WSANOTINITIALISED", "WinSock not initialized"},
    {11001, "WSAHOST_NOT_FOUND", "Host not found"},
    {11002, "WSATRY_AGAIN", "Non-authoritative host not found"},
    {11003, "WSANO_RECOVERY", "Non-recoverable error"},
    {11004, "WSANO_DATA", "No Data"},
};

bool IsKnownCode(int code)
{
    for (const ExpectedMessage &expected : kExpectedMessages) {
        if (expected.code == code)
            return true;
    }
    return false;
}

} // namespace

class TestSocketErrors final : public QObject
{
    Q_OBJECT

private slots:
    void tableHoldsFiftyCodes();
    void messages_data();
    void messages();
    void unknownCodes_data();
    void unknownCodes();
    void startupFailureNames_data();
    void startupFailureNames();
    void errnoMapping_data();
    void errnoMapping();
    void lastErrorComesFromErrno_data();
    void lastErrorComesFromErrno();
};

void TestSocketErrors::tableHoldsFiftyCodes()
{
    QCOMPARE(int(SocketErrorMessages().size()), 50);
    for (const SocketErrorMessage &entry : SocketErrorMessages())
        QVERIFY2(IsKnownCode(entry.code), qPrintable(QString::number(entry.code)));
}

void TestSocketErrors::messages_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");

    for (const ExpectedMessage &expected : kExpectedMessages) {
        QTest::newRow(expected.name) << expected.code
                                     << QString::fromLatin1(expected.message) + QStringLiteral(", ")
                                            + QString::number(expected.code);
    }
}

void TestSocketErrors::messages()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(SocketErrorText(code)), text);
}

void TestSocketErrors::unknownCodes_data()
{
    QTest::addColumn<int>("code");

    for (int code : {10100, 0, 1, 10000, 10003, 10005, 10072, 10090, 10094, 11000, 11005, 99999}) {
        QVERIFY(!IsKnownCode(code));
        QTest::addRow("%d", code) << code;
    }
}

void TestSocketErrors::unknownCodes()
{
    QFETCH(int, code);
    QCOMPARE(QString::fromStdString(SocketErrorText(code)), QStringLiteral(", ") + QString::number(code));
}

void TestSocketErrors::startupFailureNames_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");

    QTest::newRow("10014") << 10014 << QStringLiteral("WSAEFAULT");
    QTest::newRow("10036") << 10036 << QStringLiteral("WSAEINPROGRESS");
    QTest::newRow("10067") << 10067 << QStringLiteral("WSAEPROCLIM");
    QTest::newRow("10091") << 10091 << QStringLiteral("WSASYSNOTREADY");
    QTest::newRow("10092") << 10092 << QStringLiteral("WSAVERNOTSUPPORTED");
    QTest::newRow("12345") << 12345 << QStringLiteral("WSAERROR");
    QTest::newRow("10093") << 10093 << QStringLiteral("WSAERROR");
    QTest::newRow("10013") << 10013 << QStringLiteral("WSAERROR");
    QTest::newRow("1") << 1 << QStringLiteral("WSAERROR");
    QTest::newRow("-1") << -1 << QStringLiteral("WSAERROR");
}

void TestSocketErrors::startupFailureNames()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    QCOMPARE(QString::fromStdString(StartupFailureText(code)), name);
}

void TestSocketErrors::errnoMapping_data()
{
    QTest::addColumn<int>("errnoValue");
    QTest::addColumn<int>("winsockCode");

    QTest::newRow("EPERM") << EPERM << 10013;
    QTest::newRow("EACCES") << EACCES << 10013;
    QTest::newRow("EAGAIN") << EAGAIN << 10035;
    QTest::newRow("EWOULDBLOCK") << EWOULDBLOCK << 10035;
    QTest::newRow("EMSGSIZE") << EMSGSIZE << 10040;
    QTest::newRow("ENOBUFS") << ENOBUFS << 10055;
    QTest::newRow("ENOMEM") << ENOMEM << 10055;
    QTest::newRow("EINTR") << EINTR << 10004;
    QTest::newRow("EBADF") << EBADF << 10009;
    QTest::newRow("EFAULT") << EFAULT << 10014;
    QTest::newRow("EINVAL") << EINVAL << 10022;
    QTest::newRow("EMFILE") << EMFILE << 10024;
    QTest::newRow("EINPROGRESS") << EINPROGRESS << 10036;
    QTest::newRow("EALREADY") << EALREADY << 10037;
    QTest::newRow("ENOTSOCK") << ENOTSOCK << 10038;
    QTest::newRow("EDESTADDRREQ") << EDESTADDRREQ << 10039;
    QTest::newRow("EPROTOTYPE") << EPROTOTYPE << 10041;
    QTest::newRow("ENOPROTOOPT") << ENOPROTOOPT << 10042;
    QTest::newRow("EPROTONOSUPPORT") << EPROTONOSUPPORT << 10043;
    QTest::newRow("ESOCKTNOSUPPORT") << ESOCKTNOSUPPORT << 10044;
    QTest::newRow("EOPNOTSUPP") << EOPNOTSUPP << 10045;
    QTest::newRow("EPFNOSUPPORT") << EPFNOSUPPORT << 10046;
    QTest::newRow("EAFNOSUPPORT") << EAFNOSUPPORT << 10047;
    QTest::newRow("EADDRINUSE") << EADDRINUSE << 10048;
    QTest::newRow("EADDRNOTAVAIL") << EADDRNOTAVAIL << 10049;
    QTest::newRow("ENETDOWN") << ENETDOWN << 10050;
    QTest::newRow("ENETUNREACH") << ENETUNREACH << 10051;
    QTest::newRow("ENETRESET") << ENETRESET << 10052;
    QTest::newRow("ECONNABORTED") << ECONNABORTED << 10053;
    QTest::newRow("ECONNRESET") << ECONNRESET << 10054;
    QTest::newRow("EISCONN") << EISCONN << 10056;
    QTest::newRow("ENOTCONN") << ENOTCONN << 10057;
    QTest::newRow("ESHUTDOWN") << ESHUTDOWN << 10058;
    QTest::newRow("ETOOMANYREFS") << ETOOMANYREFS << 10059;
    QTest::newRow("ETIMEDOUT") << ETIMEDOUT << 10060;
    QTest::newRow("ECONNREFUSED") << ECONNREFUSED << 10061;
    QTest::newRow("ELOOP") << ELOOP << 10062;
    QTest::newRow("ENAMETOOLONG") << ENAMETOOLONG << 10063;
    QTest::newRow("EHOSTDOWN") << EHOSTDOWN << 10064;
    QTest::newRow("EHOSTUNREACH") << EHOSTUNREACH << 10065;
    QTest::newRow("ENOTEMPTY") << ENOTEMPTY << 10066;
    QTest::newRow("EUSERS") << EUSERS << 10068;
    QTest::newRow("EDQUOT") << EDQUOT << 10069;
    QTest::newRow("ESTALE") << ESTALE << 10070;
    QTest::newRow("EREMOTE") << EREMOTE << 10071;
}

void TestSocketErrors::errnoMapping()
{
    QFETCH(int, errnoValue);
    QFETCH(int, winsockCode);
    QCOMPARE(WinSockCodeFromErrno(errnoValue), winsockCode);
}

void TestSocketErrors::lastErrorComesFromErrno_data()
{
    QTest::addColumn<int>("errnoValue");
    QTest::addColumn<QString>("text");

    QTest::newRow("EPERM") << EPERM << QStringLiteral("Permission denied, 10013");
    QTest::newRow("EACCES") << EACCES << QStringLiteral("Permission denied, 10013");
    QTest::newRow("EAGAIN") << EAGAIN << QStringLiteral("Operation would block, 10035");
    QTest::newRow("EMSGSIZE") << EMSGSIZE << QStringLiteral("Message too long, 10040");
    QTest::newRow("ENOBUFS") << ENOBUFS << QStringLiteral("No buffer space available, 10055");
    QTest::newRow("ENOMEM") << ENOMEM << QStringLiteral("No buffer space available, 10055");
    QTest::newRow("ECONNREFUSED") << ECONNREFUSED << QStringLiteral("Connection refused, 10061");
    QTest::newRow("EADDRNOTAVAIL") << EADDRNOTAVAIL << QStringLiteral("Can't assign requested address, 10049");
}

void TestSocketErrors::lastErrorComesFromErrno()
{
    QFETCH(int, errnoValue);
    QFETCH(QString, text);
    errno = errnoValue;
    const QString actual = QString::fromStdString(SocketErrorTextFromErrno(SystemSocketCalls().LastError()));
    QCOMPARE(actual, text);
}

QTEST_APPLESS_MAIN(TestSocketErrors)
#include "tst_socketerrors.moc"
