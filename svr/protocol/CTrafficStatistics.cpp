#include "CTrafficStatistics.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <locale>
#include <memory>
#include <sstream>

#include "CAes.h"
#include "CCurlHttp.h"
#include "CHttpData.h"
#include "CLog.h"

namespace {

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// The compact text of json; null when it cannot be printed.
CAutoString PrintCompact(const cJSON* json) {
    char* text = cJSON_PrintUnformatted(json);
    if (text == nullptr)
        return CAutoString();
    CAutoString out(text);
    cJSON_free(text);
    return out;
}

// cJSON reports a failed member by a null item; every member must have been made.
bool AddText(cJSON* object, const char* name, const CAutoString& value) {
    return cJSON_AddStringToObject(object, name, value.c_str()) != nullptr;
}

bool AddNumber(cJSON* object, const char* name, double value) {
    return cJSON_AddNumberToObject(object, name, value) != nullptr;
}

}  // namespace

CAutoString CTrafficStatistics::LocalTimeText() {
    const time_t now = time(nullptr);
    tm local{};
    char text[32] = "";
    if (localtime_r(&now, &local) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return CAutoString("");
    return CAutoString(text);
}

uint64_t CTrafficStatistics::CountedSince(uint64_t start, uint64_t latest) {
    // A counter that went back was reset with its adapter; what it counted before is lost, and
    // the unsigned difference would report some sixteen million terabytes.
    return latest >= start ? latest - start : 0;
}

std::string CTrafficStatistics::KilobyteText(uint64_t bytes) {
    // Thousandths of a kilobyte in single precision, the fraction cut off, back to kilobytes.
    const auto milli = static_cast<float>(static_cast<double>(bytes) / 1024 * 1000);
    const float kilobytes = std::trunc(milli) / 1000.0f;
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << static_cast<double>(kilobytes);
    return text.str();
}

CAutoString CTrafficStatistics::Bytes2Hex(const unsigned char* bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        hex.push_back(kDigits[bytes[i] >> 4]);
        hex.push_back(kDigits[bytes[i] & 0x0f]);
    }
    return CAutoString(hex);
}

int CTrafficStatistics::EncryptData(const CAutoString& plain, CAutoString& out, const char* key,
                                    const char* iv) {
    std::string cipher;
    if (key == nullptr || iv == nullptr ||
        !CAes::Encrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, key, iv, plain.ToStdString(), cipher))
        return -1;
    out = Bytes2Hex(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size());
    return 0;
}

int CTrafficStatistics::BuildToken(const CAutoString& account, const CAutoString& schoolId,
                                   int osType, const CAutoString& ipv4, const CAutoString& brasIp,
                                   const CAutoString& start, const CAutoString& stop,
                                   const CAutoString& up, const CAutoString& down, int type,
                                   int64_t timestamp, CAutoString& out) {
    if (account.IsEmpty() || ipv4.IsEmpty() || start.IsEmpty() || stop.IsEmpty())
        return -1;
    Json report(cJSON_CreateObject());
    if (!report)
        return -1;
    cJSON* r = report.get();
    const bool made = AddText(r, "account", account) && AddText(r, "schoolid", schoolId) &&
                      AddNumber(r, "ostype", osType) && AddText(r, "ipv4", ipv4) &&
                      AddText(r, "brasip", brasIp) && AddText(r, "start", start) &&
                      AddText(r, "stop", stop) && AddText(r, "up", up) &&
                      AddText(r, "down", down) && AddNumber(r, "stattype", type) &&
                      AddNumber(r, "timestamp", static_cast<double>(timestamp));
    CAutoString text = made ? PrintCompact(r) : CAutoString();
    if (text.IsNull())
        return -1;
    out = text;
    return 0;
}

int CTrafficStatistics::BuildSubmitData(const CAutoString& token, CAutoString& out) {
    Json submit(cJSON_CreateArray());
    cJSON* item = cJSON_CreateObject();
    if (!submit || item == nullptr || !cJSON_AddItemToArray(submit.get(), item)) {
        cJSON_Delete(item);
        return -1;
    }
    if (!AddText(item, "token", token))
        return -1;
    CAutoString text = PrintCompact(submit.get());
    if (text.IsNull())
        return -1;
    out = text;
    return 0;
}

CAutoString CTrafficStatistics::BuildHTTPHead() {
    return CAutoString(
        "Accept: text/javascript, text/html, application/xml, text/xml, */*\r\n"
        "Content-type: text/plain; charset=utf-8\r\n"
        "Accept-Encoding: gzip, deflate\r\n"
        "Connection: close\r\n"
        "Cache-Control: no-cache\r\n");
}

int CTrafficStatistics::SubmitData(const CAutoString& url, const CAutoString& head,
                                   const CAutoString& body) {
    if (url.IsEmpty() || head.IsEmpty())
        return -1;
    CHttpData data(true);
    data.szUrl = url.c_str();
    data.szVerb = "POST";
    data.szHead = head.c_str();
    data.szPostData = body.c_str();
    data.dwPostDataLen = std::strlen(body.c_str());
    data.dwTimeOut = kSubmitTimeout;
    data.bRedirect = false;
    // The report carries the account and its addresses: over https only to the named server.
    data.bVerifyPeer = true;
    return CCurlHttp::Perform(&data);
}

int CTrafficStatistics::ReadCounters() {
    ISystemControl* control = m_Adapter.GetSystemControl();
    if (control == nullptr)
        return 0;  // nothing to read from: the last readings stand
    unsigned long transmitted = 0, received = 0;
    const int read = control->NetworkTrafficStatistics(transmitted, received);
    if (read != 0)
        return read;
    m_un64TransmitBytesStatistics = transmitted;
    m_un64ReceiveBytesStatistics = received;
    return 0;
}

int CTrafficStatistics::NetworkTrafficStatistics(const CAutoString& url, const CAutoString& account,
                                                 const CAutoString& schoolId,
                                                 const CAutoString& ipv4, const CAutoString& brasIp,
                                                 int type) {
    const int read = ReadCounters();
    if (read != 0)
        return read;
    if (type == LOGIN) {
        m_strTrafficStartTime = LocalTimeText();
        m_un64TransmitBytesStart = m_un64TransmitBytesStatistics;
        m_un64ReceiveBytesStart = m_un64ReceiveBytesStatistics;
        return 0;
    }
    if (type != LOGOUT && type != TIMING)
        return read;
    return Report(url, account, schoolId, ipv4, brasIp, type);
}

int CTrafficStatistics::Report(const CAutoString& url, const CAutoString& account,
                               const CAutoString& schoolId, const CAutoString& ipv4,
                               const CAutoString& brasIp, int type) {
    m_strTrafficStatisticsTime = LocalTimeText();
    const std::string up =
        KilobyteText(CountedSince(m_un64TransmitBytesStart, m_un64TransmitBytesStatistics));
    const std::string down =
        KilobyteText(CountedSince(m_un64ReceiveBytesStart, m_un64ReceiveBytesStatistics));
    CAutoString report, token, submit, body;
    const int built = BuildToken(account, schoolId, kOsType, ipv4, brasIp, m_strTrafficStartTime,
                                 m_strTrafficStatisticsTime, CAutoString(up), CAutoString(down),
                                 type, static_cast<int64_t>(time(nullptr)), report);
    if (report.IsEmpty())
        return built;
    // An encryption that fails leaves nothing worth posting: an empty body is no report.
    if (EncryptData(report, token, szSecretKey_t, szSecretIV_t) != 0 ||
        BuildSubmitData(token, submit) != 0 ||
        EncryptData(submit, body, szSecretKey, szSecretIV) != 0) {
        CLog::GetInst()->WriteLog(CLog::INFO, "traffic report (type %d) cannot be encrypted", type);
        return -1;
    }
    return SubmitData(url, BuildHTTPHead(), body);
}
