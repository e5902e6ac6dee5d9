#include "CStatsServer.h"

#include <openssl/evp.h>

#include <memory>

#include "SimHttpUtil.h"

namespace {

const char kInnerKey[] = "Ut2Ke8Mv5Dq3Zr7L";
const char kInnerIv[] = "Pn6Ya1Xg4Ct9Hj2S";
const char kOuterKey[] = "Qm3Tz8LwPa5Rk2Vd";
const char kOuterIv[] = "Hx7Nc4Jy9Bs1Wf6G";

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool HexToBytes(const std::string& hex, std::string& out) {
    if (hex.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

}  // namespace

void CStatsServer::Register(httplib::Server& server) {
    server.Post("/stats",
                [this](const httplib::Request& q, httplib::Response& r) { Report(q, r); });
}

bool CStatsServer::DecryptHex(const std::string& hex, const char* key, const char* iv,
                              std::string& plain) {
    std::string data;
    if (!HexToBytes(hex, data) || data.empty() || data.size() % 16 != 0)
        return false;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr,
                                   reinterpret_cast<const unsigned char*>(key),
                                   reinterpret_cast<const unsigned char*>(iv)) != 1)
        return false;
    std::string out(data.size() + 16, '\0');
    int n1 = 0, n2 = 0;
    auto* dst = reinterpret_cast<unsigned char*>(&out[0]);
    if (EVP_DecryptUpdate(ctx.get(), dst, &n1, reinterpret_cast<const unsigned char*>(data.data()),
                          static_cast<int>(data.size())) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), dst + n1, &n2) != 1)
        return false;
    out.resize(static_cast<size_t>(n1 + n2));
    plain = out;
    return true;
}

JsonPtr CStatsServer::OpenReport(const std::string& body, std::string& error) {
    std::string submit, report;
    if (!DecryptHex(body, kOuterKey, kOuterIv, submit)) {
        error = "outer layer does not decrypt";
        return nullptr;
    }
    JsonPtr array(cJSON_Parse(submit.c_str()));
    cJSON* first = array && cJSON_IsArray(array.get()) && cJSON_GetArraySize(array.get()) == 1
                       ? cJSON_GetArrayItem(array.get(), 0)
                       : nullptr;
    cJSON* token = first ? cJSON_GetObjectItemCaseSensitive(first, "token") : nullptr;
    if (!cJSON_IsString(token)) {
        error = "submit document is not [{\"token\": text}]";
        return nullptr;
    }
    if (!DecryptHex(token->valuestring, kInnerKey, kInnerIv, report)) {
        error = "inner layer does not decrypt";
        return nullptr;
    }
    JsonPtr parsed(cJSON_Parse(report.c_str()));
    if (!cJSON_IsObject(parsed.get())) {
        error = "report is not a JSON object";
        return nullptr;
    }
    return parsed;
}

void CStatsServer::Report(const httplib::Request& req, httplib::Response& res) {
    JsonPtr rec = simhttp::NewRecord("stats", req);
    cJSON_AddStringToObject(rec.get(), "raw_body", req.body.c_str());
    auto fault = m_ctx.faults.Next("stats");
    if (fault)
        cJSON_AddStringToObject(rec.get(), "fault", fault->rule.c_str());
    if (!fault || !m_injector.Apply(*fault, req, res)) {
        std::string error;
        JsonPtr report = OpenReport(req.body, error);
        if (report) {
            cJSON_AddItemToObject(rec.get(), "report", report.release());
            res.status = 200;
            res.set_content("{\"code\":0}", "application/json");
        } else {
            cJSON_AddStringToObject(rec.get(), "error", error.c_str());
            res.status = 400;
            res.set_content("{\"code\":1}", "application/json");
        }
    }
    cJSON_AddNumberToObject(rec.get(), "status", res.status);
    m_ctx.log.Append(std::move(rec));
}
