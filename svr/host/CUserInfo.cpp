#include "CUserInfo.h"

#include <sys/time.h>

#include <cstdio>
#include <mutex>
#include <random>

#include "CAdapterCard.h"
#include "CInfoCenter.h"
#include "CLog.h"
#include "ISvrInfoCenter.h"

namespace {

// 100-nanosecond intervals from the UUID epoch (1582-10-15) to the Unix epoch.
constexpr uint64_t kUuidEpochOffset = 0x01B21DD213814000ULL;

// What ids made by this process share: the random node and clock sequence chosen on first use,
// and the last timestamp handed out.
struct UuidClock {
    std::mutex lock;
    bool seeded = false;
    uint16_t clockSeq = 0;
    uint16_t nodeHigh = 0;
    uint32_t nodeLow = 0;
    uint64_t lastRaw = 0;
    uint64_t lastStamp = 0;
};

UuidClock& Clock() {
    static UuidClock* const clock = new UuidClock();  // never destroyed: used until exit
    return *clock;
}

uint64_t NowInUuidTicks() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 10000000ULL +
           static_cast<uint64_t>(tv.tv_usec) * 10ULL + kUuidEpochOffset;
}

void Seed(UuidClock& clock) {
    // The time of day alone would give two installations started in the same microsecond the
    // same node; the device's randomness is mixed in.
    std::random_device device;
    std::seed_seq seq{static_cast<uint32_t>(NowInUuidTicks()),
                      static_cast<uint32_t>(NowInUuidTicks() >> 32), device(), device()};
    std::mt19937 generator(seq);
    const uint32_t first = generator();
    const uint32_t second = generator();
    clock.clockSeq = static_cast<uint16_t>(first & 0xFFFF);
    // Bit 8 of the high word is the multicast bit of the first node octet: a random node.
    clock.nodeHigh = static_cast<uint16_t>((first & 0xFFFF) | 0x0100);
    clock.nodeLow = second;
    clock.seeded = true;
}

void PutLittleEndian(unsigned char* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLittleEndian(const unsigned char* in, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

}  // namespace

CUserInfo::CUserInfo(ISvrInfoCenter* info) : m_pInfoCenter(info) {}

ISvrInfoCenter* CUserInfo::Info() {
    return m_pInfoCenter != nullptr ? m_pInfoCenter : CInfoCenter::GetInst();
}

int CUserInfo::Init() {
    m_clientId = GetClientId();
    m_hostName = GetHostName();
    m_version = GetVersion();
    ISvrInfoCenter* info = Info();
    info->SetValue("clientId", m_clientId.c_str());
    info->SetValue("hostName", m_hostName.c_str());
    info->SetValue("version", m_version.c_str());
    if (!info->SetLocalValue("clientId", m_clientId.c_str())) {
        CLog::GetInst()->WriteLog(
            CLog::WARN, "client id %s could not be stored; the next start makes a new one",
            m_clientId.c_str());
    }
    return 1;
}

CAutoString CUserInfo::GetClientId() {
    const CAutoString stored = Info()->GetLocalValue("clientId");
    if (!stored.IsEmpty() && FitsInHeader(stored))
        return stored;
    // The id travels in the "Client-ID" request header: a value that would break the header
    // block (or add lines to it) is replaced; any other is the installation's id and is kept.
    if (!stored.IsEmpty())
        CLog::GetInst()->WriteLog(CLog::WARN,
                                  "stored client id cannot go into a header; making a new one");
    return CreateClientId();
}

CAutoString CUserInfo::GetHostName() {
    CAutoString name("");
    CAdapterCard card;
    if (card.GetHostName(name) != 0)
        return CAutoString("");
    return name;
}

CAutoString CUserInfo::GetVersion() {
    if (m_version.IsEmpty())
        m_version = Info()->GetLocalValue("version");
    return m_version;
}

CAutoString CUserInfo::CreateClientId() {
    _uuid_t uuid;
    uuid_create(&uuid);
    return uuid_to_string(&uuid);
}

void CUserInfo::uuid_create(_uuid_t* uuid) {
    UuidClock& clock = Clock();
    uint64_t stamp = 0;
    uint16_t clockSeq = 0;
    {
        std::lock_guard<std::mutex> guard(clock.lock);
        if (!clock.seeded)
            Seed(clock);
        const uint64_t raw = NowInUuidTicks();
        if (raw < clock.lastRaw) {
            // The clock went back: a new sequence keeps the ids apart from the earlier ones.
            ++clock.clockSeq;
            clock.lastStamp = 0;
        }
        clock.lastRaw = raw;
        // Within one tick (or a coarse clock) the stamp moves on by one per id.
        stamp = raw > clock.lastStamp ? raw : clock.lastStamp + 1;
        clock.lastStamp = stamp;
        clockSeq = clock.clockSeq;
    }
    uuid->data1 = static_cast<uint32_t>(stamp & 0xFFFFFFFFULL);
    uuid->data2 = static_cast<uint16_t>((stamp >> 32) & 0xFFFF);
    uuid->data3 = static_cast<uint16_t>(((stamp >> 48) & 0x0FFF) | 0x1000);
    PutLittleEndian(uuid->data4, clock.nodeLow, 4);
    PutLittleEndian(uuid->data4 + 4, clock.nodeHigh, 2);
    PutLittleEndian(uuid->data4 + 6, static_cast<uint16_t>((clockSeq & 0x3FFF) | 0x8000), 2);
}

CAutoString CUserInfo::uuid_to_string(const _uuid_t* uuid) {
    const unsigned long nodeLow = static_cast<unsigned long>(GetLittleEndian(uuid->data4, 4));
    const unsigned nodeHigh = static_cast<unsigned>(GetLittleEndian(uuid->data4 + 4, 2));
    const unsigned clockSeq = static_cast<unsigned>(GetLittleEndian(uuid->data4 + 6, 2));
    CAutoString text;
    text.Format("%08lx-%04x-%04x-%04x-%04x%08lx", static_cast<unsigned long>(uuid->data1),
                static_cast<unsigned>(uuid->data2), static_cast<unsigned>(uuid->data3), clockSeq,
                nodeHigh, nodeLow);
    return text;
}

bool CUserInfo::FitsInHeader(const CAutoString& text) {
    const char* s = text.c_str();
    for (size_t i = 0; i < text.GetLength(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F)  // CR, LF and every other control character
            return false;
    }
    return true;
}
