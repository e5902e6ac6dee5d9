#include "CStatsServer.h"

#include "CAes.h"
#include "CTrafficStatistics.h"
#include "SimHttpUtil.h"

namespace {

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

// Copies a member of the report to the top of the record, so tests read it in one step.
void Lift(cJSON* rec, const cJSON* report, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(report, name);
    if (item != nullptr)
        cJSON_AddItemToObject(rec, name, cJSON_Duplicate(item, 1));
}

// A stalled answer waits this long at most, or until the simulator stops.
constexpr long kStallMs = 60000;

}  // namespace

void CStatsServer::Register(httplib::Server& server) {
    server.Post("/stats",
                [this](const httplib::Request& q, httplib::Response& r) { Report(q, r); });
}

bool CStatsServer::DecryptHex(const std::string& hex, const char* key, const char* iv,
                              std::string& plain) {
    std::string data;
    if (!HexToBytes(hex, data) || data.empty())
        return false;
    return CAes::Decrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, key, iv, data, plain);
}

JsonPtr CStatsServer::OpenReport(const std::string& body, std::string& error) {
    std::string submit, report;
    if (!DecryptHex(body, CTrafficStatistics::szSecretKey, CTrafficStatistics::szSecretIV,
                    submit)) {
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
    if (!DecryptHex(token->valuestring, CTrafficStatistics::szSecretKey_t,
                    CTrafficStatistics::szSecretIV_t, report)) {
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
            for (const char* name : {"stattype", "up", "down", "start", "stop", "timestamp"})
                Lift(rec.get(), report.get(), name);
            cJSON_AddItemToObject(rec.get(), "report", report.release());
            res.status = 200;
            res.set_content("{\"code\":0}", "application/json");
        } else {
            cJSON_AddStringToObject(rec.get(), "error", error.c_str());
            res.status = 400;
            res.set_content("{\"code\":1}", "application/json");
        }
    }
    const bool stall = m_ctx.statsStall.load();
    if (stall)
        cJSON_AddTrueToObject(rec.get(), "stalled");
    cJSON_AddNumberToObject(rec.get(), "status", res.status);
    m_ctx.log.Append(std::move(rec));
    // Recorded first, so a test sees the report that its client then gives up on.
    if (stall)
        m_ctx.Sleep(kStallMs);
}
