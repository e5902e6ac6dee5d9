// The update server's answer and the download list it fills. The first byte picks the input: the
// answer as the server sends it, or a download list file as it may stand on disk after a crash
// or a tampering. Recorded packages must only ever reach the fetch step under safe names, and a
// list that was just recorded into must read back.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "CAutoUpdate.h"
#include "CDownloadList.h"
#include "FuzzSupport.h"

using orvane_fuzz::Check;

namespace {

constexpr int64_t kMaxBytes = 1 << 30;

// Marks every pending package downloaded under a path of its own; counts the calls.
int FetchAll(CDownloadList& list, bool namesMustBeSafe) {
    int fetched = 0;
    list.DownloadPending(
        [&](const CAutoString& name, const CAutoString& url, int64_t size, CAutoString& localPath) {
            Check(!name.IsEmpty() && !url.IsEmpty());
            Check(size > 0 && size <= kMaxBytes);
            if (namesMustBeSafe)
                Check(CDownloadList::IsSafeName(name));
            localPath = CAutoString("pkg-") + CAutoString(std::to_string(++fetched));
            return CDownloadList::FETCH_DONE;
        },
        kMaxBytes);
    return fetched;
}

void Answer(CAutoUpdate& update, const std::string& answer) {
    const CAutoString body(answer.data(), answer.size());
    const int packages = update.RecordAnswer(body);
    Check(packages >= 0);
    Check(orvane_fuzz::ReadWhole(update.DownloadDir().ToStdString() + "install.xml") ==
          body.ToStdString());
    CDownloadList list(update.DownloadDir() + "update.xml");
    FetchAll(list, true);
    // Everything fetched was marked downloaded; the file still reads back. (A package whose entry
    // names no file counts but records nothing, so only a list that was written is judged.)
    if (packages > 0 && orvane_fuzz::Exists(update.DownloadDir().ToStdString() + "update.xml"))
        Check(list.Check() != CDownloadList::LIST_UNREADABLE);
}

void StoredList(const CAutoString& path, const std::string& text) {
    orvane_fuzz::WriteWhole(path.ToStdString(), text);
    CDownloadList list(path);
    const CDownloadList::EListState before = list.Check();
    FetchAll(list, false);
    if (before != CDownloadList::LIST_UNREADABLE)
        Check(list.Check() != CDownloadList::LIST_UNREADABLE);
    // Recording into whatever stands there gives a list that reads back with the new item, or
    // fails and leaves the file as it was (a list whose text its own label cannot carry, such as
    // stray bytes under a UTF-16 label): never a half-written or unreadable list.
    const std::string stored = orvane_fuzz::ReadWhole(path.ToStdString());
    if (!list.Record("pkg", "http://update.example/a?b=1&c=\"2\"", "0123abcd", 42)) {
        Check(orvane_fuzz::ReadWhole(path.ToStdString()) == stored);
        return;
    }
    const CDownloadList::EListState after = list.Check();
    Check(after != CDownloadList::LIST_UNREADABLE && after != CDownloadList::LIST_EMPTY);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    CAutoUpdate update(orvane_fuzz::ScratchDir().c_str());
    std::error_code ec;
    std::filesystem::remove_all(update.DownloadDir().c_str(), ec);
    std::filesystem::create_directories(update.DownloadDir().c_str(), ec);
    if (data[0] & 1) {
        StoredList(update.DownloadDir() + "update.xml", text);
    } else {
        Answer(update, text);
    }
    CAutoUpdate::PercentEncode(text.c_str());
    CAutoUpdate::UpdateUrlFrom(text.c_str());
    return 0;
}
