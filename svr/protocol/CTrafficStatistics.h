// CTrafficStatistics: the traffic report of a login. Reads the byte counters of the active
// adapter at login, at each timed report and at logout, and posts the amounts since login, with
// the account and the addresses, to the statistics server: a JSON report, encrypted, wrapped in
// a JSON submit document, encrypted again, as lower-case hexadecimal text.
//
// Owned by the Portal business and used by its work thread only; the counter and time fields
// are not locked.
#pragma once

#include <cstdint>
#include <string>

#include "CAutoString.h"
#include "CSystemControlAdapter.h"

class CTrafficStatistics {
public:
    typedef enum tag_STATISTICS_TYPE { LOGOUT = 0, LOGIN = 1, TIMING = 2 } STATISTICS_TYPE;

    // AES-128 keys and CBC initialisation vectors: the inner layer encrypts the report, the
    // outer layer the submit document that carries it. The statistics server holds the same.
    static constexpr const char* szSecretKey_t = "Ut2Ke8Mv5Dq3Zr7L";
    static constexpr const char* szSecretIV_t = "Pn6Ya1Xg4Ct9Hj2S";
    static constexpr const char* szSecretKey = "Qm3Tz8LwPa5Rk2Vd";
    static constexpr const char* szSecretIV = "Hx7Nc4Jy9Bs1Wf6G";
    // The report is "ostype" 2 (Linux).
    static constexpr int kOsType = 2;
    // Time limit of the post, in milliseconds (connection and whole transfer).
    static constexpr uint64_t kSubmitTimeout = 10000;

    CTrafficStatistics() = default;
    // Tests name their own os-release file and kernel file tree (see CSystemControlAdapter).
    CTrafficStatistics(std::string osReleasePath, std::string procRoot)
        : m_Adapter(std::move(osReleasePath), std::move(procRoot)) {}

    // Takes a counter reading and, for LOGOUT and TIMING, posts the report to url. LOGIN only
    // stores the reading as the start of the login and returns 0. Returns the reading's -1 when
    // the counters cannot be read (nothing sent), BuildToken's -1 when the report cannot be
    // made, -1 when it cannot be encrypted, else the transport's result (0 sent, -1 to -4
    // failed, see CCurlHttp::Perform). Any other type returns the reading's result.
    int NetworkTrafficStatistics(const CAutoString& url, const CAutoString& account,
                                 const CAutoString& schoolId, const CAutoString& ipv4,
                                 const CAutoString& brasIp, int type);

    // The report document, compact JSON. -1 (out untouched) when account, ipv4, start or stop is
    // empty or the document cannot be made.
    int BuildToken(const CAutoString& account, const CAutoString& schoolId, int osType,
                   const CAutoString& ipv4, const CAutoString& brasIp, const CAutoString& start,
                   const CAutoString& stop, const CAutoString& up, const CAutoString& down,
                   int type, int64_t timestamp, CAutoString& out);
    // AES-128-CBC with PKCS#7 padding of plain under key and iv (16 characters each), as
    // lower-case hexadecimal text in out. 0, or -1 (out untouched) for a key or IV of another
    // length.
    int EncryptData(const CAutoString& plain, CAutoString& out, const char* key, const char* iv);
    // Two lower-case hexadecimal digits per byte, high half first.
    static CAutoString Bytes2Hex(const unsigned char* bytes, size_t length);
    // [{"token":token}], compact. 0, or -1 when the document cannot be made.
    int BuildSubmitData(const CAutoString& token, CAutoString& out);
    // The request header lines of the post, each ended by CR LF.
    static CAutoString BuildHTTPHead();
    // POSTs body to url with the header lines, within kSubmitTimeout, not following redirects.
    // The transport's result (CCurlHttp::Perform), or -1 when url or head is empty.
    int SubmitData(const CAutoString& url, const CAutoString& head, const CAutoString& body);

    // Kilobytes in bytes, cut (not rounded) to three decimals, as the report writes them: at
    // most six significant digits, no trailing zeros, exponent form from 1000000 on.
    static std::string KilobyteText(uint64_t bytes);
    // Bytes counted from start to latest; 0 when the counter went back (the adapter was reset).
    static uint64_t CountedSince(uint64_t start, uint64_t latest);

    const CAutoString& StartTime() const { return m_strTrafficStartTime; }
    // The counters of the login reading, which every later report counts from.
    uint64_t TransmitBytesStart() const { return m_un64TransmitBytesStart; }
    uint64_t ReceiveBytesStart() const { return m_un64ReceiveBytesStart; }
    const CAutoString& StatisticsTime() const { return m_strTrafficStatisticsTime; }

private:
    // The counters into the latest-reading fields; the reading's result (0 or -1).
    int ReadCounters();
    // Builds, encrypts and posts one LOGOUT or TIMING report.
    int Report(const CAutoString& url, const CAutoString& account, const CAutoString& schoolId,
               const CAutoString& ipv4, const CAutoString& brasIp, int type);
    static CAutoString LocalTimeText();

    uint64_t m_un64TransmitBytesStart = 0;
    uint64_t m_un64ReceiveBytesStart = 0;
    uint64_t m_un64TransmitBytesStatistics = 0;
    uint64_t m_un64ReceiveBytesStatistics = 0;
    CAutoString m_strTrafficStartTime;
    CAutoString m_strTrafficStatisticsTime;
    CSystemControlAdapter m_Adapter;
};
