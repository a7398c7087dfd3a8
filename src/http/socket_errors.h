#pragma once
// Socket error numbers in the numbering the socket layer reports (10004 "Interrupted system
// call" ... 11004 "No Data"), their texts, and the mapping of Linux errno values and resolver
// results onto them. The table is written down in docs/http.md.

#include <QString>

namespace kalvento::http {

namespace wsa {
constexpr int NoError = 0;
constexpr int Interrupted = 10004;         // EINTR; also a cancelled lookup
constexpr int BadFile = 10009;             // EBADF
constexpr int Access = 10013;              // EACCES, EPERM
constexpr int Fault = 10014;               // EFAULT
constexpr int InvalidArgument = 10022;     // EINVAL
constexpr int TooManyFiles = 10024;        // EMFILE, ENFILE
constexpr int WouldBlock = 10035;          // EAGAIN
constexpr int InProgress = 10036;          // EINPROGRESS
constexpr int Already = 10037;             // EALREADY
constexpr int NotSocket = 10038;           // ENOTSOCK
constexpr int AddressInUse = 10048;        // EADDRINUSE
constexpr int AddressNotAvailable = 10049; // EADDRNOTAVAIL
constexpr int NetworkDown = 10050;         // ENETDOWN
constexpr int NetworkUnreachable = 10051;  // ENETUNREACH
constexpr int ConnectionAborted = 10053;   // ECONNABORTED
constexpr int ConnectionReset = 10054;     // ECONNRESET, EPIPE
constexpr int NoBufferSpace = 10055;       // ENOBUFS, ENOMEM
constexpr int NotConnected = 10057;        // ENOTCONN
constexpr int Shutdown = 10058;            // ESHUTDOWN
constexpr int TimedOut = 10060;            // ETIMEDOUT
constexpr int ConnectionRefused = 10061;   // ECONNREFUSED
constexpr int HostDown = 10064;            // EHOSTDOWN
constexpr int HostUnreachable = 10065;     // EHOSTUNREACH
constexpr int NotInitialised = 10093;
constexpr int HostNotFound = 11001; // EAI_NONAME
constexpr int TryAgain = 11002;     // EAI_AGAIN
constexpr int NoRecovery = 11003;   // EAI_FAIL and other resolver failures
constexpr int NoData = 11004;       // EAI_NODATA, EAI_ADDRFAMILY
// Not a WinSock number: a TLS handshake or certificate check that failed.
constexpr int SecureChannelFailed = 12001;
} // namespace wsa

// The text of a socket error number; "Not a WinSock error" for a number not in the table.
QString WSocketErrorDesc(int error);

// The socket error number of a Linux errno value; an errno without a counterpart is
// returned unchanged (and its text is then "Not a WinSock error").
int socketErrorFromErrno(int errnoValue);

// The socket error number of a getaddrinfo result (EAI_SYSTEM reads errno).
int socketErrorFromResolver(int gaiError, int errnoValue);

// "Error N in function OPERATION" + CR LF + the number's text.
QString socketErrorReport(int error, const QString& operation);

} // namespace kalvento::http
